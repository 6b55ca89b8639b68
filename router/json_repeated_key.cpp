#include "json_repeated_key.h"

#include "amqp/hex_digit.h"

#include <algorithm>
#include <cstring>

// QJsonDocument's name comparison, as found by comparing with it member by
// member. Its sign orders the sort; zero makes two names one.
//
// - A name without a backslash is kept as its UTF-8 bytes; two of them
//   compare as strncmp over the shorter length (unsigned bytes, and a NUL
//   byte in both at the same place ends the comparison there), then the
//   shorter first: "a\0b" and "a\0c" are the same name.
// - A name with any escape is kept decoded as UTF-16: the UTF-8 between the
//   escapes too, a surrogate pair for a code point above U+FFFF, one code unit
//   for each `\u` (a lone surrogate stays one), a backslash before a byte
//   below 0x80 stands for that byte (b f n r t for the control characters).
//   A backslash before a byte above 0x7F: QJsonDocument reads that byte as a
//   negative char, takes it for a code point beyond U+FFFF and splits it into
//   the code units U+D7BF and U+DC00 + (0x300 | byte). Two such names compare
//   by code units, then the shorter first.
// - Bytes against code units compare as code points: the UTF-8 decoded, the
//   UTF-16 with pairs joined and a lone surrogate read as U+FFFD. The first
//   difference decides, else the one with code points left is the greater.
//
// The lookup compares each name with "modem_id" by its bytes or code units,
// then the shorter first.

namespace {

using Byte = unsigned char;

int shorter_first(size_t a, size_t b)
{
    return a < b ? -1 : a > b ? 1 : 0;
}

// One code point of valid UTF-8 at p, which moves past it.
char32_t next_code_point(const Byte*& p)
{
    const Byte lead = *p++;
    if (lead < 0x80)
        return lead;
    const int follow = lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    char32_t c = lead & (0x3F >> follow);
    for (int i = 0; i < follow; ++i)
        c = (c << 6) | (*p++ & 0x3F);
    return c;
}

// One code point of UTF-16 at p, which moves past it: a surrogate pair
// joined, a lone surrogate read as U+FFFD.
char32_t next_code_point(const char16_t*& p, const char16_t* end)
{
    const char16_t unit = *p++;
    if (unit < 0xD800 || unit > 0xDFFF)
        return unit;
    if (unit <= 0xDBFF && p < end && *p >= 0xDC00 && *p <= 0xDFFF)
        return 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (*p++ - 0xDC00);
    return 0xFFFD;
}

int compare_bytes(const Byte* a, size_t a_size, const Byte* b, size_t b_size)
{
    const size_t common = std::min(a_size, b_size);
    for (size_t i = 0; i < common; ++i) {
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;
        if (a[i] == 0)
            break;
    }
    return shorter_first(a_size, b_size);
}

int compare_units(const char16_t* a, size_t a_size, const char16_t* b, size_t b_size)
{
    const size_t common = std::min(a_size, b_size);
    for (size_t i = 0; i < common; ++i)
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;
    return shorter_first(a_size, b_size);
}

int compare_code_points(const Byte* a, size_t a_size, const char16_t* b, size_t b_size)
{
    const Byte* const a_end = a + a_size;
    const char16_t* const b_end = b + b_size;
    while (a < a_end && b < b_end) {
        const char32_t x = next_code_point(a);
        const char32_t y = next_code_point(b, b_end);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return int(a < a_end) - int(b < b_end);
}

// A name, as bytes or code units, against ASCII text. QJsonDocument compares
// raw names with it as code points; against ASCII, bytes give the same sign.
template <typename Unit>
int compare_with_ascii(const Unit* name, size_t size, const char* ascii, size_t ascii_size)
{
    const size_t common = std::min(size, ascii_size);
    for (size_t i = 0; i < common; ++i)
        if (unsigned(name[i]) != Byte(ascii[i]))
            return unsigned(name[i]) < Byte(ascii[i]) ? -1 : 1;
    return shorter_first(size, ascii_size);
}

} // namespace

RepeatedKeyLookup::RepeatedKeyLookup(const char* body)
    : body_(reinterpret_cast<const Byte*>(body))
{
}

void RepeatedKeyLookup::add_member(const char* name, size_t size)
{
    const Byte* p = reinterpret_cast<const Byte*>(name);
    const Byte* const end = p + size;
    if (!std::memchr(p, '\\', size)) {
        names_.push_back(Name{size_t(p - body_), size, false, -1});
        return;
    }
    const size_t at = units_.size();
    while (p < end) {
        if (*p != '\\') {
            const char32_t c = next_code_point(p);
            if (c > 0xFFFF) {
                units_.push_back(char16_t(0xD800 + ((c - 0x10000) >> 10)));
                units_.push_back(char16_t(0xDC00 + ((c - 0x10000) & 0x3FF)));
            } else {
                units_.push_back(char16_t(c));
            }
            continue;
        }
        const Byte c = p[1];
        p += 2;
        switch (c) {
        case 'b': units_.push_back(u'\b'); break;
        case 'f': units_.push_back(u'\f'); break;
        case 'n': units_.push_back(u'\n'); break;
        case 'r': units_.push_back(u'\r'); break;
        case 't': units_.push_back(u'\t'); break;
        case 'u':
            // json_decision checked the four digits.
            units_.push_back(char16_t(hex_digit_value(p[0]) << 12 | hex_digit_value(p[1]) << 8
                                      | hex_digit_value(p[2]) << 4 | hex_digit_value(p[3])));
            p += 4;
            break;
        default:
            if (c < 0x80) {
                units_.push_back(c);
            } else {
                units_.push_back(0xD7BF);
                units_.push_back(char16_t(0xDC00 + (0x300 | c)));
            }
            break;
        }
    }
    names_.push_back(Name{at, units_.size() - at, true, -1});
}

void RepeatedKeyLookup::set_modem_id(qint32 modem_id)
{
    names_.back().modem_id = modem_id;
}

int RepeatedKeyLookup::compare(const Name& a, const Name& b) const
{
    if (!a.utf16 && !b.utf16)
        return compare_bytes(body_ + a.at, a.size, body_ + b.at, b.size);
    if (a.utf16 && b.utf16)
        return compare_units(units_.data() + a.at, a.size, units_.data() + b.at, b.size);
    if (!a.utf16)
        return compare_code_points(body_ + a.at, a.size, units_.data() + b.at, b.size);
    return -compare_code_points(body_ + b.at, b.size, units_.data() + a.at, a.size);
}

int RepeatedKeyLookup::compare_with_modem_id(const Name& name) const
{
    static constexpr char modem_id[] = "modem_id";
    constexpr size_t modem_id_size = sizeof modem_id - 1;
    if (name.utf16)
        return compare_with_ascii(units_.data() + name.at, name.size, modem_id, modem_id_size);
    return compare_with_ascii(body_ + name.at, name.size, modem_id, modem_id_size);
}

qint32 RepeatedKeyLookup::modem_id() const
{
    // The members in the order written, behind a stop at index 0. Given the
    // same comparisons, libstdc++'s std::sort (which Qt was built with too)
    // makes the same moves as QJsonDocument's. Where QJsonDocument's insertion
    // step would walk past the first member (possible only where inconsistent
    // comparisons meet the heap sort that std::sort falls back to, and
    // undefined there), this one stops at the first member instead.
    const size_t stop = names_.size();
    std::vector<size_t> order(names_.size() + 1);
    order[0] = stop;
    for (size_t i = 0; i < names_.size(); ++i)
        order[i + 1] = i;
    std::sort(order.begin() + 1, order.end(), [&](size_t a, size_t b) {
        return b != stop && (a == stop || compare(names_[a], names_[b]) < 0);
    });
    // Of each run of equal names the last stays, in sorted order.
    const auto kept = std::unique(order.rbegin(), order.rend() - 1, [&](size_t a, size_t b) {
                          return compare(names_[a], names_[b]) == 0;
                      }).base();
    const auto found = std::lower_bound(kept, order.end(), 0, [&](size_t name, int) {
        return compare_with_modem_id(names_[name]) < 0;
    });
    return found != order.end() && compare_with_modem_id(names_[*found]) == 0 ? names_[*found].modem_id : -1;
}
