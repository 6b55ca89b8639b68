// The JSON decision alone, in MB/s of body, against two parsers deciding the
// same thing in the same run: simdjson (parse, then look up "modem_id") and
// QJsonDocument (the definition of the decision). Bodies of 300 B to 16 MiB:
// arrays of device records with numbers, strings, escapes and nesting, under a
// top-level object with "modem_id".
//
//   bench_json_decision [rounds]     default 5; prints the median of the rounds
#include "router/json_decision.h"
#include "stopwatch.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <simdjson.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

std::string body_of(size_t size)
{
    std::string out = "{\"modem_id\":4711,\"records\":[";
    for (long i = 0; out.size() + 160 < size; ++i) {
        out += "{\"seq\":" + std::to_string(i) + ",\"rssi\":-" + std::to_string(60 + i % 40) + ".5,\"snr\":"
               + std::to_string(i % 13) + ",\"ok\":" + (i % 3 ? "true" : "false")
               + ",\"tag\":\"uplink \\\"" + std::to_string(i * 7919 % 1000) + "\\\" caf\xc3\xa9\",\"pos\":[" +
               std::to_string(i % 90) + ".25," + std::to_string(i % 180) + ".5e0]},";
    }
    out.back() = ']';
    out += '}';
    return out;
}

bool own(const std::string& body)
{
    return json_decision(body.data(), body.size()).modem_id == 4711;
}

bool qt(const QByteArray& body)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    return error.error == QJsonParseError::NoError && doc.object().value(QLatin1String("modem_id")).toInt() == 4711;
}

bool fast(simdjson::dom::parser& parser, const simdjson::padded_string& body)
{
    simdjson::dom::element root;
    if (parser.parse(body).get(root) != simdjson::SUCCESS)
        return false;
    int64_t id = 0;
    return root["modem_id"].get(id) == simdjson::SUCCESS && id == 4711;
}

// MB/s over repeats of `decide` that take at least 0.2 s, median of `rounds`.
double rate(size_t bytes, int rounds, const std::function<bool()>& decide)
{
    if (!decide()) {
        std::fprintf(stderr, "a decision went wrong\n");
        std::exit(1);
    }
    std::vector<double> rates;
    for (int r = 0; r < rounds; ++r) {
        bench::Stopwatch watch;
        watch.start();
        long repeats = 0;
        double seconds = 0;
        const long batch = long(std::max<size_t>(1, (1 << 20) / bytes)); // the clock is read once per MiB
        do {
            for (long i = 0; i < batch; ++i)
                decide();
            repeats += batch;
            seconds = watch.elapsed().wallSeconds;
        } while (seconds < 0.2);
        rates.push_back(double(bytes) * double(repeats) / seconds / 1e6);
    }
    std::sort(rates.begin(), rates.end());
    return rates[rates.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    simdjson::dom::parser parser;
    std::printf("| body | own MB/s | simdjson MB/s | QJsonDocument MB/s | own/simdjson | own/QJsonDocument |\n");
    std::printf("|---|---|---|---|---|---|\n");
    const std::pair<const char*, size_t> sizes[] = {
        {"300 B", 300}, {"4 KiB", 4 << 10}, {"64 KiB", 64 << 10}, {"1 MiB", 1 << 20}, {"16 MiB", 16 << 20}};
    for (const auto& [name, size] : sizes) {
        const std::string body = body_of(size);
        const QByteArray qbody(body.data(), int(body.size()));
        const simdjson::padded_string padded(body);
        const double o = rate(body.size(), rounds, [&] { return own(body); });
        const double s = rate(body.size(), rounds, [&] { return fast(parser, padded); });
        const double q = rate(body.size(), rounds, [&] { return qt(qbody); });
        std::printf("| %s | %.0f | %.0f | %.0f | %.2f | %.2f |\n", name, o, s, q, o / s, o / q);
        std::fflush(stdout);
    }
    return 0;
}
