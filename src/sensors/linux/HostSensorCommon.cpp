// GCC 12 with sanitizers reports maybe-uninitialized members inside
// libstdc++'s own regex compiler, instantiated here; the code is not ours.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "HostSensorCommon.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "Logger.h"
#include "PlatformPaths.h"

// ---------------------------------------------------------------- ProcFile

namespace {
// Most /proc files fit at once; larger ones (a busy TCP table) grow it.
constexpr size_t INITIAL_BUFFER = 16384;
}  // namespace

ProcFile::ProcFile(const char* productionPath) : productionPath(productionPath) {}

ProcFile::~ProcFile() {
    if (fd >= 0) ::close(fd);
}

bool ProcFile::open() {
    failed = false;
    if (fd >= 0) ::close(fd);
    fd = ::open(Platform::path(productionPath).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) failed = true;
    return isClean();
}

bool ProcFile::read(std::string_view& text) {
    text = std::string_view();
    if (!isClean()) {
        rewind();
        return false;
    }
    if (!buffer) {
        buffer.reset(new char[INITIAL_BUFFER]);
        capacity = INITIAL_BUFFER;
    }
    size_t used = 0;
    bool ok = true;
    for (;;) {
        if (used == capacity) {
            std::unique_ptr<char[]> larger(new char[capacity * 2]);
            std::memcpy(larger.get(), buffer.get(), used);
            buffer = std::move(larger);
            capacity *= 2;
        }
        const ssize_t n = ::read(fd, buffer.get() + used, capacity - used);
        if (n > 0) {
            used += static_cast<size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            ok = false;
            break;
        }
    }
    rewind();
    if (ok) text = std::string_view(buffer.get(), used);
    return ok;
}

void ProcFile::rewind() { failed = fd < 0 || ::lseek(fd, 0, SEEK_SET) != 0; }

void ProcFile::close() {
    if (fd < 0) return;
    failed = ::close(fd) != 0;
    fd = -1;
}

// ---------------------------------------------------------------- ProcText

namespace ProcText {

bool readU64(std::string_view& s, uint64_t& value) {
    std::string_view t = s;
    skipSpace(t);
    if (!t.empty() && t[0] == '+') t.remove_prefix(1);
    uint64_t v = 0;
    const auto r = std::from_chars(t.data(), t.data() + t.size(), v, 10);
    if (r.ec != std::errc()) return false;
    value = v;
    s.remove_prefix(static_cast<size_t>(r.ptr - s.data()));
    return true;
}

bool readU32(std::string_view& s, uint32_t& value) {
    std::string_view t = s;
    uint64_t v = 0;
    if (!readU64(t, v) || v > UINT32_MAX) return false;
    value = static_cast<uint32_t>(v);
    s = t;
    return true;
}

bool readI64(std::string_view& s, int64_t& value) {
    std::string_view t = s;
    skipSpace(t);
    // from_chars takes a '-' but not a '+'.
    if (t.size() > 1 && t[0] == '+' && t[1] != '-') t.remove_prefix(1);
    int64_t v = 0;
    const auto r = std::from_chars(t.data(), t.data() + t.size(), v, 10);
    if (r.ec != std::errc()) return false;
    value = v;
    s.remove_prefix(static_cast<size_t>(r.ptr - s.data()));
    return true;
}

bool readDouble(std::string_view& s, double& value) {
    std::string_view t = s;
    skipSpace(t);
    if (t.size() > 1 && t[0] == '+' && t[1] != '-') t.remove_prefix(1);
    // strtod rather than from_chars: the C++ runtime's floating-point
    // from_chars needs the maths library, which every run of the daemon would
    // then load for this one call. strtod wants a terminated string and takes
    // more than a decimal number (blanks and a sign first, hexadecimal), so it
    // reads a copy of the leading number characters, a "0x" cut after the 0.
    char buf[64];
    size_t n = 0;
    const size_t sign = !t.empty() && t[0] == '-' ? 1 : 0;
    while (n < t.size() && n < sizeof buf - 1 &&
           (std::isalnum(static_cast<unsigned char>(t[n])) || std::string_view("-+.()_").find(t[n]) != std::string_view::npos)) {
        buf[n] = t[n];
        ++n;
    }
    if (n + 1 == sizeof buf) return false;
    if (n == sign || !(std::isalnum(static_cast<unsigned char>(t[sign])) || t[sign] == '.')) {
        return false;
    }
    if (n > sign + 1 && t[sign] == '0' && (t[sign + 1] == 'x' || t[sign + 1] == 'X')) n = sign + 1;
    buf[n] = '\0';
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(buf, &end);
    if (end == buf || errno == ERANGE) return false;
    value = v;
    s.remove_prefix(static_cast<size_t>(t.data() + (end - buf) - s.data()));
    return true;
}

}  // namespace ProcText

// ---------------------------------------------------------------- ExcludeFilter

void ExcludeFilter::update(const std::string& newSetting, const Logger& log) {
    if (configured && newSetting == setting) return;
    configured = true;
    setting = newSetting;
    on = false;
    patternText.clear();

    // Split at every '=', dropping empty pieces: "key=regex" names the key
    // first. A pattern therefore cannot hold '='.
    std::vector<std::string_view> pieces;
    std::string_view rest = setting;
    while (!rest.empty()) {
        const size_t eq = rest.find('=');
        std::string_view piece = rest.substr(0, eq);
        if (!piece.empty()) pieces.push_back(piece);
        if (eq == std::string_view::npos) break;
        rest.remove_prefix(eq + 1);
    }
    if (pieces.size() < 2 || pieces[0] != filterKey) return;

    patternText.assign(pieces[1]);
    try {
        regex.assign(patternText, std::regex::ECMAScript);
        on = true;
    } catch (const std::regex_error& e) {
        log.logError("Filter %s is not a valid regular expression (%s); reporting unfiltered",
                     patternText.c_str(), e.what());
    }
}

bool ExcludeFilter::excludes(std::string_view key) const {
    if (!on) return false;
    try {
        return std::regex_match(key.begin(), key.end(), regex);
    } catch (const std::regex_error&) {
        // A match too complex for the engine leaves the row in.
        return false;
    }
}
