#include "util/Numbers.h"

#include <cctype>
#include <cstdlib>

namespace plinthora {

double leadingDecimal(const std::string& s) {
    const char* begin = s.c_str();
    char* end = nullptr;
    double d = std::strtod(begin, &end);
    if (end == begin) return 0.0;
    for (const char* p = begin; p < end; ++p)
        if (std::isalpha(static_cast<unsigned char>(*p)) && *p != 'e' && *p != 'E') return 0.0;
    return d;
}

}  // namespace plinthora
