#include "prefs/framework/PSSpecifier.h"

#include <QString>

namespace plinthora::prefs {

PSCellType cellTypeNamed(const std::string& name) {
    static const std::pair<const char*, PSCellType> kinds[] = {
        {"PSGroupCell", PSCellType::Group},         {"PSSwitchCell", PSCellType::Switch},
        {"PSSegmentCell", PSCellType::Segment},     {"PSLinkListCell", PSCellType::LinkList},
        {"PSSliderCell", PSCellType::Slider},       {"PSButtonCell", PSCellType::Button},
        {"PSTitleValueCell", PSCellType::TitleValue},
    };
    for (const auto& [n, t] : kinds)
        if (name == n) return t;
    return PSCellType::StaticText;
}

PSSpecifier::PSSpecifier(Value::Dict properties, PSListController* target)
    : properties_(std::move(properties)), target_(target) {
    cellType_ = cellTypeNamed(stringProperty("cell"));
}

std::string PSSpecifier::identifier() const {
    for (const char* k : {"id", "key", "label"})
        if (std::string s = stringProperty(k); !s.empty()) return s;
    return {};
}

const Value* PSSpecifier::propertyForKey(const std::string& key) const {
    auto it = properties_.find(key);
    return it == properties_.end() ? nullptr : &it->second;
}

void PSSpecifier::setProperty(const std::string& key, Value value) { properties_[key] = std::move(value); }

std::string PSSpecifier::stringProperty(const std::string& key) const {
    const Value* v = propertyForKey(key);
    return v && v->isString() ? v->asString() : std::string();
}

bool valueIsOn(const Value& v) {
    if (v.isBool()) return v.asBool();
    return valueAsReal(v) != 0.0;
}

double valueAsReal(const Value& v) {
    switch (v.kind()) {
    case Value::Kind::Bool: return v.asBool() ? 1.0 : 0.0;
    case Value::Kind::Integer:
    case Value::Kind::Real: return v.asReal();
    case Value::Kind::String: {
        // The C library would follow the user's decimal comma; QString does not.
        bool ok = false;
        double d = QString::fromStdString(v.asString()).trimmed().toDouble(&ok);
        return ok ? d : 0.0;
    }
    default: return 0.0;
    }
}

}  // namespace plinthora::prefs
