// Differential fuzz target: the service's JSON decision against QJsonDocument's
// on the same bytes (text or not, and the device number). The bytes are also
// decided a second time where they lie in a larger buffer with other bytes
// behind them, which must not change anything. Then the bytes drive the build
// of an object with "modem_id" spelt two or three ways among 2 to 60 members
// (now and then up to 3000), whose names mix raw and escaped characters of
// every kind, and that object is decided by both too. Any difference aborts
// with both answers.
#include "router/json_decision.h"
#include "support/qt_json_decision.h"

#include <QByteArray>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace {

// Numbers from the input's bytes, and once they are used up from a generator
// seeded with all of them, so that a short input still builds a large object.
class Draw {
public:
    Draw(const uint8_t* data, size_t size)
        : p_(data), end_(data + size)
    {
        for (size_t i = 0; i < size; ++i)
            state_ = (state_ ^ data[i]) * 0x100000001b3u;
    }

    // A number below n (n <= 65536).
    unsigned below(unsigned n)
    {
        unsigned r = 0;
        if (p_ + 2 <= end_) {
            r = unsigned(p_[0]) << 8 | p_[1];
            p_ += 2;
        } else {
            state_ += 0x9e3779b97f4a7c15u; // splitmix64
            uint64_t z = state_;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
            r = unsigned((z ^ (z >> 31)) & 0xffff);
        }
        return r % n;
    }

private:
    const uint8_t* p_;
    const uint8_t* end_;
    uint64_t state_ = 0xcbf29ce484222325u;
};

// Pieces of member names: the same characters raw and escaped from every
// plane, lone surrogates, a raw NUL, escaped bytes above 0x7F, and parts of
// "modem_id", so that the names sort close to it and compare equal across
// spellings.
const std::string name_pieces[] = {
    "m", "o", "d", "e", "_", "i", "modem_i", "modem_id", "modem_ie", "modem", "\\u006d", "\\_", "\\/", "\\n",
    std::string(1, '\0'), "\\u0000", "\x01", "\x7f", "\xc3\xa9", "\\u00e9", "\xc2\x80", "\\u0080",
    "\xe4\xb8\xad", "\\u4e2d", "\xed\x9f\xbf", "\\ud7ff", "\xee\x80\x80", "\\ue000", "\xef\xa3\xbf",
    "\\uf8ff", "\xef\xbf\xbd", "\\ufffd", "\xef\xbf\xbf", "\\uffff", "\xf0\x90\x80\x80", "\\ud800\\udc00",
    "\xf0\x9f\x98\x80", "\\ud83d\\ude00", "\xf3\xb0\x80\x80", "\\udb80\\udc00", "\xf4\x8f\xbf\xbf",
    "\\udbff\\udfff", "\\ud800", "\\udbff", "\\udc00", "\\udfff", "\\\x80", "\\\xbf", "\\\xc0", "\\\xff",
};

const char* const modem_id_spellings[] = {
    "modem_id", "modem_i\\u0064", "\\u006dodem_id", "modem\\_id",
    "\\u006d\\u006f\\u0064\\u0065\\u006d\\u005f\\u0069\\u0064",
};

std::string generated_object(Draw& draw)
{
    const unsigned members = draw.below(16) == 0 ? 61 + draw.below(2940) : 2 + draw.below(59);
    // Names from the first few pieces only, now and then, so that equal names are common.
    const unsigned piece_kinds = 2 + draw.below(unsigned(std::size(name_pieces)) - 1);
    std::vector<std::string> names(members);
    for (std::string& name : names)
        for (unsigned i = draw.below(4); i > 0; --i)
            name += name_pieces[draw.below(piece_kinds)];
    for (unsigned i = 2 + draw.below(2); i > 0; --i)
        names[draw.below(members)] = modem_id_spellings[draw.below(unsigned(std::size(modem_id_spellings)))];
    std::string out = "{";
    for (unsigned i = 0; i < members; ++i)
        out += (i ? ",\"" : "\"") + names[i] + "\":" + std::to_string(i);
    return out + "}";
}

void check(const char* what, const char* bytes, size_t size, const JsonDecision& own)
{
    const JsonDecision reference = qt_json_decision(QByteArray::fromRawData(bytes, int(size)));
    if (own.text != reference.text || own.modem_id != reference.modem_id) {
        std::fprintf(stderr, "the decisions on %s differ: own text=%d modem_id=%d, QJsonDocument text=%d modem_id=%d\n",
                     what, int(own.text), int(own.modem_id), int(reference.text), int(reference.modem_id));
        std::abort();
    }
}

} // namespace

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
    check("the input", bytes, size, own);
    Draw draw(data, size);
    const std::string object = generated_object(draw);
    check("the object built from the input", object.data(), object.size(),
          json_decision(object.data(), object.size()));
    return 0;
}
