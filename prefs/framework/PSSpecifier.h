// One row of a settings list, as described by a specifier property list:
// its properties, its cell kind and the controller that reads and writes
// its value.
#pragma once

#include "platform/ports/Value.h"

#include <QString>

#include <memory>
#include <string>

namespace plinthora::prefs {

class PSListController;

enum class PSCellType { Group, Switch, Segment, LinkList, Slider, Button, TitleValue, StaticText };

// "PSSwitchCell" and friends; an unknown name is a static text row.
PSCellType cellTypeNamed(const std::string& name);

class PSSpecifier {
public:
    explicit PSSpecifier(Value::Dict properties, PSListController* target = nullptr);

    PSCellType cellType() const { return cellType_; }
    PSListController* target() const { return target_; }

    // "id", else "key", else "label".
    std::string identifier() const;

    // nullptr when the row has no such property.
    const Value* propertyForKey(const std::string& key) const;
    void setProperty(const std::string& key, Value value);
    // The property's text, or "" when it is absent or not a text.
    std::string stringProperty(const std::string& key) const;
    const Value::Dict& properties() const { return properties_; }

private:
    Value::Dict properties_;
    PSListController* target_;
    PSCellType cellType_;
};

using SpecifierPtr = std::shared_ptr<PSSpecifier>;

// Boolean and number readings of a row value, as switches and sliders see
// them: a boolean, or a number that is on when not zero; texts holding a
// number count as that number.
bool valueIsOn(const Value& v);
double valueAsReal(const Value& v);

// A text of the row list (label, footer, choice title) as the user's
// language shows it: the list's own text under Chinese, else its
// translation.
QString rowText(const std::string& text);

// File names are bytes, and not every name is valid UTF-8. A name in a
// QString keeps each byte that is not part of a valid sequence as the lone
// surrogate U+DC00 + byte, so a name goes from the folder through the
// picker into the preferences file unchanged.
QString textFromBytes(const std::string& bytes);
std::string bytesFromText(const QString& text);
// The text as a label shows it: kept bytes written as \xNN.
QString shownText(const QString& text);

}  // namespace plinthora::prefs
