#include "util/Numbers.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace plinthora {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Where a decimal number that is too large or too small for a double lies:
// the position of its first significant digit against the decimal point,
// plus its exponent. Positive means it overflowed.
long decimalMagnitude(const char* p, const char* end) {
    long intDigits = 0, leadingFractionZeros = 0;
    bool seenNonZero = false;
    for (; p < end && isDigit(*p); ++p)
        if (seenNonZero || *p != '0') {
            seenNonZero = true;
            ++intDigits;
        }
    if (p < end && *p == '.')
        for (++p; p < end && isDigit(*p); ++p) {
            if (*p != '0') seenNonZero = true;
            if (!seenNonZero) ++leadingFractionZeros;
        }
    long exponent = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool negative = p < end && *p == '-';
        if (p < end && (*p == '+' || *p == '-')) ++p;
        for (; p < end && isDigit(*p); ++p) exponent = std::min(exponent * 10 + (*p - '0'), 1L << 40);
        if (negative) exponent = -exponent;
    }
    return (intDigits > 0 ? intDigits : -leadingFractionZeros) + exponent;
}

}  // namespace

// std::from_chars rather than strtod: a file means the same number whatever
// locale the process runs in (a Qt application takes the user's, and under
// a comma-decimal one strtod stops at the '.').
double leadingDecimal(const std::string& s) {
    const char* p = s.data();
    const char* end = p + s.size();
    while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    // from_chars would also take "inf", "nan" and a second sign.
    if (p == end || !(isDigit(*p) || (*p == '.' && p + 1 < end && isDigit(p[1])))) return 0.0;
    double d = 0.0;
    const auto [stop, error] = std::from_chars(p, end, d, std::chars_format::general);
    if (error == std::errc::result_out_of_range)
        d = decimalMagnitude(p, stop) > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    else if (error != std::errc())
        return 0.0;
    return negative ? -d : d;
}

std::string fixedDecimal(double value, int decimals) {
    // Wide enough for any double in fixed notation with its decimals.
    char buf[400];
    const auto [end, error] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    return error == std::errc() ? std::string(buf, end) : std::string();
}

}  // namespace plinthora
