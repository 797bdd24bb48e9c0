#include "prefs/framework/MemoryWarning.h"

namespace plinthora::prefs {

MemoryWarningCenter& MemoryWarningCenter::instance() {
    static MemoryWarningCenter center;
    return center;
}

}  // namespace plinthora::prefs
