#include "host/daemon/MethodTable.h"

#include "platform/ports/Platform.h"

namespace plinthora::host {

void MethodTable::define(const std::string& className, const std::string& selector, Implementation impl) {
    std::lock_guard lock(mutex_);
    methods_[{className, selector}] = std::move(impl);
}

bool MethodTable::hasMethod(const std::string& className, const std::string& selector) const {
    std::lock_guard lock(mutex_);
    return methods_.count({className, selector}) != 0;
}

bool MethodTable::hasClass(const std::string& className) const {
    std::lock_guard lock(mutex_);
    auto it = methods_.lower_bound({className, std::string()});
    return it != methods_.end() && it->first.first == className;
}

bool MethodTable::hookMessage(const std::string& className, const std::string& selector, Implementation replacement,
                              Implementation* original) {
    std::lock_guard lock(mutex_);
    auto it = methods_.find({className, selector});
    if (it == methods_.end()) return false;
    Implementation displaced = std::exchange(it->second, std::move(replacement));
    if (original) *original = std::move(displaced);
    return true;
}

std::any MethodTable::send(HostObject self, const std::string& className, const std::string& selector,
                           std::any argument) {
    Implementation impl;
    {
        // Copied out so an implementation may send further messages (or a
        // hook be installed meanwhile) without the lock held.
        std::lock_guard lock(mutex_);
        auto it = methods_.find({className, selector});
        if (it == methods_.end()) {
            debugLog("host: %s does not respond to %s", className.c_str(), selector.c_str());
            return {};
        }
        impl = it->second;
    }
    return impl(self, std::move(argument));
}

}  // namespace plinthora::host
