#include "platform/linux/LinuxPlatform.h"

#include "platform/linux/RunFolder.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThreadPool>
#include <QTimer>

#include <nlohmann/json.hpp>
#include <plist/plist.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plinthora::linux_platform {

// ---- dispatch and clock ----------------------------------------------------

void QtDispatch::async(Queue q, std::function<void()> block) {
    if (q == Queue::Global) {
        QThreadPool::globalInstance()->start(std::move(block));
        return;
    }
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(block), Qt::QueuedConnection);
}

void QtDispatch::after(double seconds, Queue q, std::function<void()> block) {
    auto fire = [q, block = std::move(block), this]() mutable {
        if (q == Queue::Global)
            async(Queue::Global, std::move(block));
        else
            block();
    };
    const int ms = static_cast<int>(std::max(0.0, seconds) * 1000.0 + 0.5);
    // A timer must be started from a thread with an event loop; the main
    // one always has one.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [ms, fire = std::move(fire)]() mutable {
            QTimer::singleShot(ms, Qt::PreciseTimer, QCoreApplication::instance(), std::move(fire));
        },
        Qt::AutoConnection);
}

double SteadyClock::now() const {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double SteadyClock::wallNow() const {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

// ---- file system -----------------------------------------------------------

namespace {

std::string envOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::string(v) : fallback;
}

std::string home() { return envOr("HOME", "/tmp"); }

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0 && (s.size() == prefix.size() || s[prefix.size()] == '/');
}

std::string dirName(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string PosixFileSystem::realPath(const std::string& devicePath) const {
    const std::string mobile = "/var/mobile";
    if (!startsWith(devicePath, mobile)) return devicePath;
    const std::string rest = devicePath.substr(mobile.size());
    if (const char* root = std::getenv("PLINTHORA_DEVICE_ROOT"); root && *root) return std::string(root) + rest;
    const std::string prefs = "/Library/Preferences/";
    if (rest.compare(0, prefs.size(), prefs) == 0)
        return envOr("XDG_CONFIG_HOME", home() + "/.config") + "/plinthora/" + rest.substr(prefs.size());
    return home() + rest;
}

bool PosixFileSystem::exists(const std::string& path) const {
    struct stat st;
    return ::stat(realPath(path).c_str(), &st) == 0;
}

bool PosixFileSystem::isDirectory(const std::string& path) const {
    struct stat st;
    return ::stat(realPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PosixFileSystem::createDirectories(const std::string& path) {
    std::string real = realPath(path);
    for (size_t i = 1; i <= real.size(); ++i) {
        if (i != real.size() && real[i] != '/') continue;
        std::string part = real.substr(0, i);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    struct stat st;
    return ::stat(real.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::vector<std::string>> PosixFileSystem::listDirectory(const std::string& path) const {
    DIR* d = ::opendir(realPath(path).c_str());
    if (!d) return std::nullopt;
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        names.emplace_back(e->d_name);
    }
    ::closedir(d);
    return names;
}

std::optional<std::string> readWholeFile(const std::string& realPath) {
    // Regular files only: a FIFO would block the reader for ever and a
    // device such as /dev/zero never ends (an asset folder may hold links to
    // either). O_NONBLOCK keeps the open itself from waiting on a FIFO.
    int fd = ::open(realPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return out;
}

std::optional<std::string> PosixFileSystem::readFile(const std::string& path) const {
    return readWholeFile(realPath(path));
}

bool writeAtomically(const std::string& real, const std::string& bytes) {
    const std::string dir = dirName(real);
    std::string tmp = dir + "/." + real.substr(dir.size() + (dir == "/" ? 0 : 1)) + ".XXXXXX";
    std::vector<char> tmpl(tmp.begin(), tmp.end());
    tmpl.push_back('\0');
    int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) return false;
    const char* p = bytes.data();
    size_t left = bytes.size();
    bool ok = true;
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    ok = ok && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok) ok = ::rename(tmpl.data(), real.c_str()) == 0;
    if (!ok) {
        ::unlink(tmpl.data());
        return false;
    }
    // The rename itself must reach the disk before anyone is told.
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

bool PosixFileSystem::writeFileAtomically(const std::string& path, const std::string& bytes) {
    return writeAtomically(realPath(path), bytes);
}

bool PosixFileSystem::removeItem(const std::string& path) { return ::remove(realPath(path).c_str()) == 0; }

std::string PosixFileSystem::temporaryDirectory() const { return privateTemporaryDirectory(); }

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
        for (const auto& [key, item] : v.asDict()) plist_dict_set_item(d, key.c_str(), toPlist(item));
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

// ---- random ----------------------------------------------------------------

uint32_t SystemRandom::uniform(uint32_t upperBound) {
    if (upperBound < 2) return 0;
    // Reject the low values that would make some results more likely.
    const uint32_t min = static_cast<uint32_t>(-upperBound) % upperBound;
    for (;;) {
        uint32_t r = 0;
        if (::getrandom(&r, sizeof r, 0) != static_cast<ssize_t>(sizeof r)) continue;
        if (r >= min) return r % upperBound;
    }
}

}  // namespace plinthora::linux_platform
