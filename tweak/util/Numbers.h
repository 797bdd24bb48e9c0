#pragma once

#include <string>

namespace plinthora {

// The leading decimal number of a string, as the platform's string readers
// take it (optional white space and sign, digits, fraction, exponent); 0
// when there is none. "inf", "nan" and hex floats are no numbers here.
double leadingDecimal(const std::string& s);

}  // namespace plinthora
