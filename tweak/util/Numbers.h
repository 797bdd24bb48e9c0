#pragma once

#include <string>

namespace plinthora {

// The leading decimal number of a string, as the platform's string readers
// take it (optional white space and sign, digits, fraction, exponent); 0
// when there is none. "inf", "nan" and hex floats are no numbers here.
double leadingDecimal(const std::string& s);

// `value` with exactly `decimals` digits after a '.', whatever the locale
// (what "%.*f" writes in the C locale).
std::string fixedDecimal(double value, int decimals);

}  // namespace plinthora
