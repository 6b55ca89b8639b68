#pragma once

// The value of a hexadecimal digit of either case; -1 for any other byte.
// Inline and constexpr: the JSON scanner calls it for every digit of a \u
// escape, percent escapes in broker URLs use it too.
constexpr int hex_digit_value(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
