#include "prefs/framework/PSSpecifier.h"

#include <QCoreApplication>

#include <QString>

namespace plinthora::prefs {

PSCellType cellTypeNamed(const std::string& name) {
    static const std::pair<const char*, PSCellType> kinds[] = {
        {"PSGroupCell", PSCellType::Group},           {"PSSwitchCell", PSCellType::Switch},
        {"PSSegmentCell", PSCellType::Segment},       {"PSLinkListCell", PSCellType::LinkList},
        {"PSSliderCell", PSCellType::Slider},         {"PSButtonCell", PSCellType::Button},
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

QString rowText(const std::string& text) { return QCoreApplication::translate("Root", text.c_str()); }

namespace {

constexpr char16_t kKeptByte = 0xDC00;

// Length of the valid UTF-8 sequence at p (of n bytes left), or 0.
size_t validSequence(const unsigned char* p, size_t n) {
    const unsigned c = p[0];
    if (c < 0x80) return 1;
    size_t len;
    unsigned min;
    if (c >= 0xC2 && c <= 0xDF)
        len = 2, min = 0x80;
    else if (c >= 0xE0 && c <= 0xEF)
        len = 3, min = 0x800;
    else if (c >= 0xF0 && c <= 0xF4)
        len = 4, min = 0x10000;
    else
        return 0;
    if (n < len) return 0;
    unsigned cp = c & (0x7F >> len);
    for (size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and values beyond Unicode are not text.
    if (cp < min || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
    return len;
}

}  // namespace

QString textFromBytes(const std::string& bytes) {
    QString out;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t i = 0;
    while (i < bytes.size()) {
        const size_t len = validSequence(p + i, bytes.size() - i);
        if (len == 0) {
            out += QChar(char16_t(kKeptByte + p[i]));
            ++i;
        } else {
            out += QString::fromUtf8(reinterpret_cast<const char*>(p + i), qsizetype(len));
            i += len;
        }
    }
    return out;
}

std::string bytesFromText(const QString& text) {
    std::string out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        const bool high = QChar::isHighSurrogate(u) && i + 1 < text.size() && text[i + 1].isLowSurrogate();
        if (!high && u >= kKeptByte + 0x80 && u <= kKeptByte + 0xFF) {
            out += char(u - kKeptByte);
            continue;
        }
        const QByteArray utf8 = text.mid(i, high ? 2 : 1).toUtf8();
        out.append(utf8.constData(), size_t(utf8.size()));
        if (high) ++i;
    }
    return out;
}

QString shownText(const QString& text) {
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        const bool pairEnd = i > 0 && text[i - 1].isHighSurrogate();
        if (!pairEnd && u >= kKeptByte + 0x80 && u <= kKeptByte + 0xFF)
            out += QStringLiteral("\\x%1").arg(unsigned(u - kKeptByte), 2, 16, QLatin1Char('0'));
        else
            out += text[i];
    }
    return out;
}

}  // namespace plinthora::prefs
