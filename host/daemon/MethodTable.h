// The host's table of classes and instance methods. Every host event that
// the tweak may hook is sent through this table, so a replacement installed
// with hookMessage runs in place of the host's own implementation, and the
// replacement holds the one it displaced and calls it itself.
#pragma once

#include "platform/ports/Media.h"

#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace plinthora::host {

class MethodTable : public HookRuntime {
public:
    // Adds (or redefines) a method; the class comes into being with its
    // first method.
    void define(const std::string& className, const std::string& selector, Implementation impl);

    bool hasMethod(const std::string& className, const std::string& selector) const;
    bool hasClass(const std::string& className) const;

    bool hookMessage(const std::string& className, const std::string& selector, Implementation replacement,
                     Implementation* original) override;
    // A message to a missing class or method is dropped (and logged), the
    // way the host would ignore an event nobody implements; the result is
    // then empty.
    std::any send(HostObject self, const std::string& className, const std::string& selector,
                  std::any argument = {}) override;

private:
    using Key = std::pair<std::string, std::string>;
    mutable std::mutex mutex_;
    std::map<Key, Implementation> methods_;
};

}  // namespace plinthora::host
