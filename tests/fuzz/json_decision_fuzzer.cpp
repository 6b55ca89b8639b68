// Differential fuzz target: the fast JSON decision against QJsonDocument's,
// on the same bytes. Whenever the fast parser decides, it must say what
// QJsonDocument says (text or not, and the device number); any difference
// aborts with both answers.
#include "router/json_decision.h"

#include <QByteArray>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray body = QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size));
    const std::optional<JsonDecision> fast = fast_json_decision(body);
    // The same bytes with spare room behind them, filled with the input's own
    // bytes, are parsed in place: what lies behind the end must not matter.
    QByteArray roomy(int(size) + 64, '"');
    for (size_t at = 0; size && at < size_t(roomy.size()); at += size)
        std::memcpy(roomy.data() + at, data, std::min(size, size_t(roomy.size()) - at));
    roomy.resize(int(size));
    const std::optional<JsonDecision> in_place = fast_json_decision(roomy);
    if (fast.has_value() != in_place.has_value()
        || (fast && (fast->text != in_place->text || fast->modem_id != in_place->modem_id))) {
        std::fprintf(stderr, "the decision in place differs from the one on a copy\n");
        std::abort();
    }
    if (!fast)
        return 0;
    const JsonDecision reference = qt_json_decision(body);
    if (fast->text != reference.text || fast->modem_id != reference.modem_id) {
        std::fprintf(stderr, "the decisions differ: fast text=%d modem_id=%d, QJsonDocument text=%d modem_id=%d\n",
                     int(fast->text), int(fast->modem_id), int(reference.text), int(reference.modem_id));
        std::abort();
    }
    return 0;
}
