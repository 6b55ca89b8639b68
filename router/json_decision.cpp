#include "json_decision.h"

#include "amqp/hex_digit.h"
#include "json_repeated_key.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>

// The rules below are the ones QJsonDocument (Qt 5.15) applies, as found by
// comparing the two on generated and fuzzed bodies; QJsonDocument itself
// builds a whole tree for every body and keeps memory after some of them, so
// the service decides with this single pass instead.
//
// - White space is blank, tab, line feed and carriage return; a UTF-8 byte
//   order mark counts only at the very first byte.
// - The top level is one object or array; containers nest at most 1024 deep.
// - Strings take any byte below 0x80 as it is (control characters and NUL
//   too), well-formed UTF-8 above it (noncharacters allowed; overlong forms,
//   surrogates and code points above U+10FFFF refused), `\u` with four hex
//   digits (lone surrogates allowed), and a backslash before any other byte
//   stands for that byte (`\_` is `_`).
// - A number is scanned loosely (`-`, then `0` or any run of digits, then `.`
//   and digits, then `e` or `E`, a sign and digits, each part optional) and
//   must then read whole as a decimal floating-point number that is neither
//   infinite nor zero from non-zero digits: `1.`, `.5e1` and `-.5` are
//   numbers, `1e400`, `1e-400`, `-`, `1e` and `.` are not.
// - A top-level "modem_id" may be written with escapes (`modem_i\u0064`).
//   When it repeats, QJsonDocument does not take the last one: it sorts the
//   members of each object by name, keeps the last of equal names and looks
//   the key up by binary search. Since its sort is unstable beyond 16 members
//   and its name comparison depends on how each name is written, the pass
//   counts the top-level "modem_id" members, and when there are two or more a
//   second pass hands all top-level names to RepeatedKeyLookup, which repeats
//   those steps.

namespace {

using Byte = unsigned char;

constexpr int max_depth = 1024;

bool is_blank(Byte c)
{
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

const Byte* skip_blanks(const Byte* p, const Byte* end)
{
    while (p < end && *p <= ' ' && is_blank(*p))
        ++p;
    return p;
}

bool is_digit(Byte c)
{
    return c >= '0' && c <= '9';
}

// Eight bytes at once: the index of the first that ends a string, starts an
// escape or leaves ASCII, 8 when none does. (x - 0x01..) & ~x & 0x80.. marks
// the zero bytes of x; bytes above a zero byte may be marked falsely, but the
// lowest mark is always right, and on a little-endian machine that is the
// first byte in memory.
constexpr uint64_t ones = 0x0101010101010101u;
constexpr uint64_t highs = 0x8080808080808080u;
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the lowest byte of a loaded word must be the first");

uint64_t zero_bytes(uint64_t w)
{
    return (w - ones) & ~w & highs;
}

int first_special(const Byte* p)
{
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    const uint64_t marks = (zero_bytes(w ^ (ones * '"')) | zero_bytes(w ^ (ones * '\\')) | w) & highs;
    return marks == 0 ? 8 : __builtin_ctzll(marks) / 8;
}

// One UTF-8 sequence of two to four bytes starting at p (a byte >= 0x80);
// the position after it, or nullptr when it is not well-formed.
const Byte* skip_utf8(const Byte* p, const Byte* end)
{
    const Byte lead = *p;
    int follow = 0;
    Byte low = 0x80;
    Byte high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        follow = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        follow = 2;
        low = lead == 0xE0 ? 0xA0 : 0x80;  // overlong below
        high = lead == 0xED ? 0x9F : 0xBF; // surrogates above
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        follow = 3;
        low = lead == 0xF0 ? 0x90 : 0x80;  // overlong below
        high = lead == 0xF4 ? 0x8F : 0xBF; // beyond U+10FFFF above
    } else {
        return nullptr;
    }
    if (end - p <= follow || p[1] < low || p[1] > high)
        return nullptr;
    for (int i = 2; i <= follow; ++i)
        if ((p[i] & 0xC0) != 0x80)
            return nullptr;
    return p + follow + 1;
}

// An escape, p after its backslash: the position after it, or nullptr. The
// code unit it stands for goes to *unit.
const Byte* read_escape(const Byte* p, const Byte* end, unsigned* unit)
{
    if (p == end)
        return nullptr;
    if (*p != 'u') {
        // Any byte other than these five stands for itself.
        switch (*p) {
        case 'b': *unit = '\b'; break;
        case 'f': *unit = '\f'; break;
        case 'n': *unit = '\n'; break;
        case 'r': *unit = '\r'; break;
        case 't': *unit = '\t'; break;
        default: *unit = *p; break;
        }
        return p + 1;
    }
    if (end - p < 5)
        return nullptr;
    unsigned value = 0;
    for (int i = 1; i <= 4; ++i) {
        const int digit = hex_digit_value(p[i]);
        if (digit < 0)
            return nullptr;
        value = value * 16 + unsigned(digit);
    }
    *unit = value;
    return p + 5;
}

// A string, p after its opening quote: the position after its closing quote,
// or nullptr when it is not a valid string.
const Byte* skip_string(const Byte* p, const Byte* end)
{
    for (;;) {
        if (end - p >= 8) {
            const int plain = first_special(p);
            p += plain;
            if (plain == 8)
                continue;
        } else if (p == end) {
            return nullptr;
        }
        const Byte c = *p;
        if (c == '"')
            return p + 1;
        unsigned unit = 0;
        if (c == '\\')
            p = read_escape(p + 1, end, &unit);
        else if (c < 0x80)
            ++p;
        else
            p = skip_utf8(p, end);
        if (!p)
            return nullptr;
    }
}

// A key of the top-level object, p after its opening quote, as skip_string;
// *modem_id tells whether it reads "modem_id", escapes decoded.
const Byte* read_top_key(const Byte* p, const Byte* end, bool* modem_id)
{
    static constexpr char name[] = "modem_id";
    constexpr int name_size = sizeof name - 1;
    if (end - p > name_size && std::memcmp(p, name, name_size) == 0 && p[name_size] == '"') {
        *modem_id = true;
        return p + name_size + 1;
    }
    int matched = 0; // code units equal to the name's so far, while `same`
    bool same = true;
    const auto take = [&](unsigned unit) {
        same = same && matched < name_size && unit == Byte(name[matched]);
        ++matched;
    };
    for (;;) {
        if (p == end)
            return nullptr;
        const Byte c = *p;
        if (c == '"') {
            *modem_id = same && matched == name_size;
            return p + 1;
        }
        if (c == '\\') {
            unsigned unit = 0;
            p = read_escape(p + 1, end, &unit);
            take(unit);
        } else if (c < 0x80) {
            take(c);
            ++p;
        } else {
            p = skip_utf8(p, end);
            same = false;
        }
        if (!p)
            return nullptr;
    }
}

// Whether a number with these digits is a finite double that is not zero from
// non-zero digits: decided from the place of its first non-zero digit where
// that is clear, else by converting it.
bool in_range(const Byte* first, const Byte* last, const Byte* int_digits, const Byte* int_end,
              const Byte* frac_digits, const Byte* frac_end, const Byte* exp_digits, const Byte* exp_end, bool exp_minus)
{
    if (exp_end - exp_digits <= 4) {
        int exponent = 0;
        for (const Byte* d = exp_digits; d < exp_end; ++d)
            exponent = exponent * 10 + (*d - '0');
        if (exp_minus)
            exponent = -exponent;
        // The value lies in [10^(e-1), 10^e): a double, not zero, for -322 <= e <= 308.
        long e = 0;
        if (int_end > int_digits && *int_digits != '0') {
            e = long(int_end - int_digits) + exponent;
        } else {
            const Byte* d = frac_digits;
            while (d < frac_end && *d == '0')
                ++d;
            if (d == frac_end)
                return true; // zero written with zeros only
            e = -long(d - frac_digits) + exponent;
        }
        if (e >= -322 && e <= 308)
            return true;
    }
    // from_chars rounds correctly, reads no locale, allocates nothing, and
    // reports both an infinite result and zero from non-zero digits as out of range.
    double value = 0;
    const char* const end = reinterpret_cast<const char*>(last);
    const std::from_chars_result read = std::from_chars(reinterpret_cast<const char*>(first), end, value);
    return read.ec == std::errc() && read.ptr == end;
}

// A number, p at its first byte: the position after it, or nullptr when the
// bytes do not read as one. Its value goes to *value unless value is null.
const Byte* read_number(const Byte* p, const Byte* end, double* value)
{
    const Byte* const start = p;
    if (p < end && *p == '-')
        ++p;
    const Byte* const int_digits = p;
    if (p < end && *p == '0')
        ++p;
    else
        while (p < end && is_digit(*p))
            ++p;
    const Byte* const int_end = p;
    const Byte* frac_digits = p;
    if (p < end && *p == '.') {
        frac_digits = ++p;
        while (p < end && is_digit(*p))
            ++p;
    }
    const Byte* const frac_end = p;
    bool exponent = false;
    bool exp_minus = false;
    const Byte* exp_digits = p;
    if (p < end && (*p == 'e' || *p == 'E')) {
        exponent = true;
        ++p;
        if (p < end && (*p == '+' || *p == '-'))
            exp_minus = *p++ == '-';
        exp_digits = p;
        while (p < end && is_digit(*p))
            ++p;
    }
    // At least one digit before the exponent, and one in it when there is one.
    if (int_end == int_digits && frac_end == frac_digits)
        return nullptr;
    if (exponent && p == exp_digits)
        return nullptr;
    const bool whole = frac_end == int_end && !exponent;
    if (value && whole && int_end - int_digits <= 15) {
        // The common case: a short whole number is exact in a double.
        int64_t n = 0;
        for (const Byte* d = int_digits; d < int_end; ++d)
            n = n * 10 + (*d - '0');
        *value = double(start == int_digits ? n : -n);
        return p;
    }
    if (value) {
        const char* const last = reinterpret_cast<const char*>(p);
        const std::from_chars_result read = std::from_chars(reinterpret_cast<const char*>(start), last, *value);
        return read.ec == std::errc() && read.ptr == last ? p : nullptr;
    }
    if (whole && int_end - int_digits <= 308)
        return p;
    return in_range(start, p, int_digits, int_end, frac_digits, frac_end, exp_digits, p, exp_minus) ? p : nullptr;
}

const Byte* skip_literal(const Byte* p, const Byte* end)
{
    const size_t left = size_t(end - p);
    switch (*p) {
    case 't': return left >= 4 && std::memcmp(p, "true", 4) == 0 ? p + 4 : nullptr;
    case 'f': return left >= 5 && std::memcmp(p, "false", 5) == 0 ? p + 5 : nullptr;
    default: return left >= 4 && std::memcmp(p, "null", 4) == 0 ? p + 4 : nullptr;
    }
}

qint32 modem_id_of(double d)
{
    if (!(d >= std::numeric_limits<qint32>::min() && d <= std::numeric_limits<qint32>::max()) || std::trunc(d) != d)
        return 0;
    return static_cast<qint32>(d);
}

// The decision, with the device from the last top-level "modem_id"; those
// members are counted in *modem_ids. With a lookup, it gets every top-level
// member's name, and the device that each "modem_id" member's value gives.
JsonDecision decide(const Byte* p, const Byte* const end, size_t* modem_ids, RepeatedKeyLookup* lookup)
{
    const JsonDecision not_text;
    if (end - p >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF)
        p += 3;
    p = skip_blanks(p, end);
    if (p == end || (*p != '{' && *p != '['))
        return not_text;
    const bool top_object = *p == '{';

    bool object[max_depth + 1]; // object[d]: the container at depth d is an object; set before it is read
    int depth = 0;
    qint32 modem_id = -1;
    bool modem_value = false; // the value about to be read is the top-level "modem_id"
    enum class Expect { Value, Key, End };
    Expect expect = Expect::Value;
    for (;;) {
        switch (expect) {
        case Expect::Value: {
            if (p == end)
                return not_text;
            const Byte c = *p;
            if (c == '{' || c == '[') {
                if (depth == max_depth)
                    return not_text;
                object[++depth] = c == '{';
                if (modem_value) {
                    modem_id = 0;
                    if (lookup)
                        lookup->set_modem_id(modem_id);
                }
                modem_value = false;
                p = skip_blanks(p + 1, end);
                if (p < end && *p == (c == '{' ? '}' : ']')) {
                    ++p;
                    --depth;
                    expect = Expect::End;
                } else {
                    expect = c == '{' ? Expect::Key : Expect::Value;
                }
                continue;
            }
            double number = 0;
            if (c == '"')
                p = skip_string(p + 1, end);
            else if (c == 't' || c == 'f' || c == 'n')
                p = skip_literal(p, end);
            else
                p = read_number(p, end, modem_value ? &number : nullptr);
            if (!p)
                return not_text;
            if (modem_value) {
                modem_id = c == '"' || c == 't' || c == 'f' || c == 'n' ? 0 : modem_id_of(number);
                if (lookup)
                    lookup->set_modem_id(modem_id);
            }
            modem_value = false;
            expect = Expect::End;
            continue;
        }
        case Expect::Key:
            if (p == end || *p != '"')
                return not_text;
            if (depth == 1 && top_object) {
                const Byte* const name = p + 1;
                p = read_top_key(name, end, &modem_value);
                if (!p)
                    return not_text;
                *modem_ids += modem_value;
                if (lookup)
                    lookup->add_member(reinterpret_cast<const char*>(name), size_t(p - 1 - name));
            } else {
                p = skip_string(p + 1, end);
                if (!p)
                    return not_text;
            }
            p = skip_blanks(p, end);
            if (p == end || *p != ':')
                return not_text;
            p = skip_blanks(p + 1, end);
            expect = Expect::Value;
            continue;
        case Expect::End:
            // After a value: the end of the text at depth 0, else a comma or
            // the end of the enclosing container.
            p = skip_blanks(p, end);
            if (depth == 0)
                return p == end ? JsonDecision{true, modem_id} : not_text;
            if (p == end)
                return not_text;
            if (*p == ',') {
                p = skip_blanks(p + 1, end);
                expect = object[depth] ? Expect::Key : Expect::Value;
            } else if (*p == (object[depth] ? '}' : ']')) {
                ++p;
                --depth;
            } else {
                return not_text;
            }
            continue;
        }
    }
}

} // namespace

JsonDecision json_decision(const char* data, size_t size)
{
    const Byte* const begin = reinterpret_cast<const Byte*>(data);
    size_t modem_ids = 0;
    JsonDecision decision = decide(begin, begin + size, &modem_ids, nullptr);
    if (decision.text && modem_ids > 1) {
        // Rare, and only here memory is allocated: a second pass hands every
        // top-level member to the lookup, which finds the one QJsonDocument does.
        RepeatedKeyLookup lookup(data);
        decide(begin, begin + size, &modem_ids, &lookup);
        decision.modem_id = lookup.modem_id();
    }
    return decision;
}
