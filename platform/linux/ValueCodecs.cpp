#include "platform/linux/ValueCodecs.h"

#include <nlohmann/json.hpp>
#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <utility>

namespace plinthora::linux_platform {

// ---- property lists --------------------------------------------------------

namespace {

// The text of a dictionary key, up to its first NUL. libplist 2.2 reads a
// key only through a getter that asserts when the key holds a NUL (which a
// damaged binary file can make), so the key node is written out as XML,
// where its bytes appear whole, and taken back from there.
std::string keyOf(plist_t keyNode) {
    char* xml = nullptr;
    uint32_t len = 0;
    plist_to_xml(keyNode, &xml, &len);
    const std::string text(xml ? xml : "", xml ? len : 0);
    plist_to_xml_free(xml);
    const size_t open = text.find("<key>"), close = text.rfind("</key>");
    if (open == std::string::npos || close == std::string::npos || close < open + 5) return {};
    std::string key;
    for (size_t i = open + 5; i < close; ++i) {
        char c = text[i];
        if (c == '&') {
            static const std::pair<const char*, char> entities[] = {
                {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
            for (const auto& [name, ch] : entities) {
                if (text.compare(i, std::strlen(name), name) == 0) {
                    c = ch;
                    i += std::strlen(name) - 1;
                    break;
                }
            }
        }
        if (c == '\0') break;
        key += c;
    }
    return key;
}

// libplist reads and writes reals with the C library, which follows the
// process's locale once a Qt application has set the user's: under a
// comma-decimal one "<real>0.37</real>" would read as 0. The codecs run in
// the "C" locale on the calling thread only, so nothing else in the
// process changes.
class CLocaleScope {
public:
    CLocaleScope() : previous_(c() ? ::uselocale(c()) : nullptr) {}
    ~CLocaleScope() {
        if (previous_) ::uselocale(previous_);
    }
    CLocaleScope(const CLocaleScope&) = delete;
    CLocaleScope& operator=(const CLocaleScope&) = delete;

private:
    static locale_t c() {
        static const locale_t loc = ::newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
        return loc;
    }
    locale_t previous_;
};

Value fromPlist(plist_t node) {
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return Value::boolean(b != 0);
    }
    case PLIST_UINT: {
        // libplist keeps integers as unsigned 64-bit; negative ones come
        // back as their two's complement.
        uint64_t u = 0;
        plist_get_uint_val(node, &u);
        return Value::integer(static_cast<int64_t>(u));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return Value::real(d);
    }
    case PLIST_STRING: {
        // plist_get_string_val asserts (aborting the process) on a string
        // with a NUL inside, which a damaged or hostile file can hold. The
        // string ends at its first NUL, as a C reader and our writer see it.
        uint64_t len = 0;
        const char* s = plist_get_string_ptr(node, &len);
        return Value::string(s ? std::string(s, ::strnlen(s, len)) : std::string());
    }
    case PLIST_DATA: {
        char* d = nullptr;
        uint64_t len = 0;
        plist_get_data_val(node, &d, &len);
        Value v = Value::data(std::string(d ? d : "", d ? len : 0));
        std::free(d);
        return v;
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        // Property-list dates count from 2001-01-01.
        return Value::date(978307200.0 + sec + usec / 1e6);
    }
    case PLIST_ARRAY: {
        Value::Array a;
        uint32_t n = plist_array_get_size(node);
        for (uint32_t i = 0; i < n; ++i) a.push_back(fromPlist(plist_array_get_item(node, i)));
        return Value::array(std::move(a));
    }
    case PLIST_DICT: {
        Value::Dict d;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (;;) {
            // Asking for the key here would assert on a key with a NUL
            // inside; the key is read from its own node instead.
            plist_t item = nullptr;
            plist_dict_next_item(node, it, nullptr, &item);
            if (!item) break;
            d[keyOf(plist_dict_item_get_key(item))] = fromPlist(item);
        }
        std::free(it);
        return Value::dict(std::move(d));
    }
    case PLIST_UID: {
        // An archiver's object reference has no reading of its own. As the
        // dictionary the XML form spells it, it reads as no value (a default)
        // and is written back as the same reference.
        uint64_t uid = 0;
        plist_get_uid_val(node, &uid);
        return Value::dict({{"CF$UID", Value::integer(static_cast<int64_t>(uid))}});
    }
    default: return Value();
    }
}

plist_t toPlist(const Value& v) {
    switch (v.kind()) {
    case Value::Kind::Bool: return plist_new_bool(v.asBool());
    case Value::Kind::Integer: return plist_new_uint(static_cast<uint64_t>(v.asInteger()));
    case Value::Kind::Real: return plist_new_real(v.asReal());
    case Value::Kind::String: return plist_new_string(v.asString().c_str());
    case Value::Kind::Data: return plist_new_data(v.asString().data(), v.asString().size());
    case Value::Kind::Date: {
        // libplist keeps dates in 32-bit seconds from 2001; a date beyond
        // that range (a key we do not know, kept as read) is held at its end.
        double rel = v.asReal() - 978307200.0;
        rel = std::isnan(rel) ? 0.0 : std::clamp(rel, double(INT32_MIN), double(INT32_MAX));
        int32_t sec = static_cast<int32_t>(rel);
        return plist_new_date(sec, static_cast<int32_t>((rel - sec) * 1e6));
    }
    case Value::Kind::Array: {
        plist_t a = plist_new_array();
        for (const Value& item : v.asArray()) plist_array_append_item(a, toPlist(item));
        return a;
    }
    case Value::Kind::Dict: {
        plist_t d = plist_new_dict();
        // A value with no form of its own is left out rather than written
        // as an empty string, which would read as a zero, not a default.
        for (const auto& [key, item] : v.asDict())
            if (!item.isNull()) plist_dict_set_item(d, key.c_str(), toPlist(item));
        return d;
    }
    case Value::Kind::Null: break;
    }
    return plist_new_string("");
}

}  // namespace

std::optional<Value> LibplistPropertyLists::parse(const std::string& bytes) const {
    if (bytes.empty()) return std::nullopt;
    CLocaleScope numbers;
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    if (!root) return std::nullopt;
    Value v = fromPlist(root);
    plist_free(root);
    return v;
}

std::string LibplistPropertyLists::toXml(const Value& root) const {
    CLocaleScope numbers;
    plist_t node = toPlist(root);
    char* xml = nullptr;
    uint32_t len = 0;
    plist_to_xml(node, &xml, &len);
    std::string out(xml ? xml : "", xml ? len : 0);
    plist_to_xml_free(xml);
    plist_free(node);
    return out;
}

// ---- JSON ------------------------------------------------------------------

namespace {

Value fromJson(const nlohmann::json& j) {
    switch (j.type()) {
    case nlohmann::json::value_t::boolean: return Value::boolean(j.get<bool>());
    case nlohmann::json::value_t::number_integer: return Value::integer(j.get<int64_t>());
    case nlohmann::json::value_t::number_unsigned: {
        uint64_t u = j.get<uint64_t>();
        return u <= static_cast<uint64_t>(INT64_MAX) ? Value::integer(static_cast<int64_t>(u))
                                                     : Value::real(static_cast<double>(u));
    }
    case nlohmann::json::value_t::number_float: return Value::real(j.get<double>());
    case nlohmann::json::value_t::string: return Value::string(j.get<std::string>());
    case nlohmann::json::value_t::array: {
        Value::Array a;
        for (const auto& item : j) a.push_back(fromJson(item));
        return Value::array(std::move(a));
    }
    case nlohmann::json::value_t::object: {
        Value::Dict d;
        for (auto it = j.begin(); it != j.end(); ++it) d[it.key()] = fromJson(it.value());
        return Value::dict(std::move(d));
    }
    default: return Value();
    }
}

}  // namespace

std::optional<Value> NlohmannJson::parse(const std::string& bytes) const {
    CLocaleScope numbers;
    auto j = nlohmann::json::parse(bytes, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/false);
    if (j.is_discarded()) return std::nullopt;
    return fromJson(j);
}

}  // namespace plinthora::linux_platform
