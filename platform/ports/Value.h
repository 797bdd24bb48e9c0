// A tree of plain values: what a property list or a JSON document holds.
// The core reads both through this one type, so it never sees libplist or a
// JSON library.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace plinthora {

class Value {
public:
    enum class Kind { Null, Bool, Integer, Real, String, Data, Date, Array, Dict };
    using Array = std::vector<Value>;
    using Dict = std::map<std::string, Value>;

    Value() = default;
    static Value boolean(bool b) {
        Value v;
        v.kind_ = Kind::Bool;
        v.b_ = b;
        return v;
    }
    static Value integer(int64_t i) {
        Value v;
        v.kind_ = Kind::Integer;
        v.i_ = i;
        return v;
    }
    static Value real(double r) {
        Value v;
        v.kind_ = Kind::Real;
        v.r_ = r;
        return v;
    }
    static Value string(std::string s) {
        Value v;
        v.kind_ = Kind::String;
        v.s_ = std::move(s);
        return v;
    }
    static Value data(std::string bytes) {
        Value v;
        v.kind_ = Kind::Data;
        v.s_ = std::move(bytes);
        return v;
    }
    // Seconds since the Unix epoch.
    static Value date(double t) {
        Value v;
        v.kind_ = Kind::Date;
        v.r_ = t;
        return v;
    }
    static Value array(Array a = {}) {
        Value v;
        v.kind_ = Kind::Array;
        v.a_ = std::move(a);
        return v;
    }
    static Value dict(Dict d = {}) {
        Value v;
        v.kind_ = Kind::Dict;
        v.d_ = std::move(d);
        return v;
    }

    Kind kind() const { return kind_; }
    bool isNull() const { return kind_ == Kind::Null; }
    bool isNumber() const { return kind_ == Kind::Integer || kind_ == Kind::Real; }
    bool isBool() const { return kind_ == Kind::Bool; }
    bool isString() const { return kind_ == Kind::String; }
    bool isArray() const { return kind_ == Kind::Array; }
    bool isDict() const { return kind_ == Kind::Dict; }

    bool asBool() const { return b_; }
    // A real is truncated; one without a 64-bit whole number (NaN, the
    // infinities, beyond the range) gives 0 rather than undefined behaviour.
    int64_t asInteger() const {
        if (kind_ != Kind::Real) return i_;
        return r_ >= -0x1p63 && r_ < 0x1p63 ? static_cast<int64_t>(r_) : 0;
    }
    double asReal() const { return kind_ == Kind::Integer ? static_cast<double>(i_) : r_; }
    const std::string& asString() const { return s_; }
    const Array& asArray() const { return a_; }
    Array& asArray() { return a_; }
    const Dict& asDict() const { return d_; }
    Dict& asDict() { return d_; }

    // Dictionary look-up; nullptr when this is not a dictionary or lacks the key.
    const Value* find(const std::string& key) const {
        if (kind_ != Kind::Dict) return nullptr;
        auto it = d_.find(key);
        return it == d_.end() ? nullptr : &it->second;
    }

    bool operator==(const Value& o) const {
        return kind_ == o.kind_ && b_ == o.b_ && i_ == o.i_ && r_ == o.r_ && s_ == o.s_ && a_ == o.a_ && d_ == o.d_;
    }

private:
    Kind kind_ = Kind::Null;
    bool b_ = false;
    int64_t i_ = 0;
    double r_ = 0;
    std::string s_;
    Array a_;
    Dict d_;
};

}  // namespace plinthora
