// Property lists (libplist, XML and binary) and JSON (nlohmann-json) to and
// from Value. Numbers read and write the same in every locale.
#pragma once

#include "platform/ports/Ports.h"

#include <optional>
#include <string>

namespace plinthora::linux_platform {

class LibplistPropertyLists : public PropertyLists {
public:
    std::optional<Value> parse(const std::string& bytes) const override;
    std::string toXml(const Value& root) const override;
};

class NlohmannJson : public Json {
public:
    std::optional<Value> parse(const std::string& bytes) const override;
};

}  // namespace plinthora::linux_platform
