// Differential fuzz target: the service's JSON decision against QJsonDocument's
// on the same bytes (text or not, and the device number). The bytes are also
// decided a second time where they lie in a larger buffer with other bytes
// behind them, which must not change anything. Any difference aborts with
// both answers.
#include "router/json_decision.h"
#include "support/qt_json_decision.h"

#include <QByteArray>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* bytes = reinterpret_cast<const char*>(data);
    const JsonDecision own = json_decision(bytes, size);
    // Behind the end: the input's own bytes again, then closing brackets, so
    // that reading past the end would often complete a text.
    std::vector<char> roomy(bytes, bytes + size);
    for (size_t i = 0; i < 64; ++i)
        roomy.push_back(size && i < 32 ? bytes[i % size] : "]}"[i % 2]);
    const JsonDecision in_place = json_decision(roomy.data(), size);
    if (own.text != in_place.text || own.modem_id != in_place.modem_id) {
        std::fprintf(stderr, "the decision with other bytes behind the body differs\n");
        std::abort();
    }
    const JsonDecision reference = qt_json_decision(QByteArray::fromRawData(bytes, int(size)));
    if (own.text != reference.text || own.modem_id != reference.modem_id) {
        std::fprintf(stderr, "the decisions differ: own text=%d modem_id=%d, QJsonDocument text=%d modem_id=%d\n",
                     int(own.text), int(own.modem_id), int(reference.text), int(reference.modem_id));
        std::abort();
    }
    return 0;
}
