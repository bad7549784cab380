#include "GenericParser.h"

#include <cstddef>

const std::string GenericParser::RSPBEGIN = "_response_ begin";
const std::string GenericParser::RSPEND = "_response_ end";
const std::string GenericParser::RKEY = "_key_";
const std::string GenericParser::RVAL = "_val_";
const std::string GenericParser::RERROR = "_error_";

namespace {

const char* const TRIMCHARS = " \t\r\n";

std::string trim(const std::string& s) {
    std::size_t first = s.find_first_not_of(TRIMCHARS);
    if (first == std::string::npos) return std::string();
    std::size_t last = s.find_last_not_of(TRIMCHARS);
    return s.substr(first, last - first + 1);
}

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// Elements are separated by runs of blanks and tabs; a separator at the start
// is allowed, so no element is ever empty.
std::vector<std::string> splitElements(const std::string& text) {
    std::vector<std::string> elems;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t sep = text.find_first_of(" \t", start);
        if (sep == std::string::npos) {
            elems.push_back(text.substr(start));
            break;
        }
        if (sep > start) elems.push_back(text.substr(start, sep - start));
        start = sep + 1;
    }
    return elems;
}

bool isCont(unsigned char c) { return c >= 0x80 && c <= 0xBF; }

}  // namespace

bool GenericParser::validString(const std::string& s) const {
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t len;
        uint32_t cp;
        if (c < 0x20 || c == 0x7F) return false;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if (c <= 0xBF) return false;
        if (c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c <= 0xF7) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i < len) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if (!isCont(cc)) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        // Lead bytes C0 and C1 are let through: overlong forms are not refused.
        if (len == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) <= 0x9F) return false;
        if (cp >= 0xD800 && cp <= 0xDFFF) return false;
        if (cp > 0x10FFFF) return false;
        i += len;
    }
    return true;
}

void GenericParser::parseResponse(const std::string& subcmd, const std::string& resp,
                                  std::vector<Record>& res, const Logger& log,
                                  bool prevState) const {
    if (resp.empty()) return;

    bool respBegin = false;
    Record pending;
    std::size_t count = 0;  // bytes up to and including the current line's LF
    std::size_t pos = 0;

    auto reject = [&res]() { res.clear(); };

    while (pos < resp.size()) {
        std::size_t nl = resp.find('\n', pos);
        std::size_t lineLen = (nl == std::string::npos ? resp.size() : nl) - pos;
        const std::string line = trim(resp.substr(pos, lineLen));
        count += lineLen + 1;
        pos = (nl == std::string::npos) ? resp.size() : nl + 1;
        if (line.empty()) continue;

        if (startsWith(line, RKEY)) {
            if (!respBegin) {
                log.logError("%s received before %s, ignoring response.", RKEY.c_str(),
                             RSPBEGIN.c_str());
                return reject();
            }
            if (pending.count(KEY) != 0) {
                log.logWarning(
                    "Key element set present but has no corresponding metric values, ignoring "
                    "unmatched key elements.");
                pending.clear();
            }
            if (line == RKEY) {
                log.logError("Tag _key_ is present, but no value for key, ignoring response");
                return reject();
            }
            ElemMap keys;
            for (const std::string& e : splitElements(line.substr(RKEY.size() + 1))) {
                std::size_t colon = e.find(':');
                if (colon == std::string::npos) {
                    log.logWarning(
                        "Unable to parse key element %s, missing \":\", ignoring response.",
                        e.c_str());
                    return reject();
                }
                std::string name = e.substr(0, colon);
                std::string value = e.substr(colon + 1);
                if (!validString(value)) {
                    log.logWarning(
                        "Key value for key element %s not a readable string (%s), ignoring "
                        "response.",
                        name.c_str(), value.c_str());
                    return reject();
                }
                keys[name] = value;
            }
            pending[KEY] = keys;
        } else if (startsWith(line, RVAL)) {
            if (!respBegin) {
                log.logError("%s received before %s, ignoring response.", RVAL.c_str(),
                             RSPBEGIN.c_str());
                return reject();
            }
            if (pending.count(KEY) == 0) {
                log.logError(
                    "Metric values defined without associated key elements, ignoring response.");
                return reject();
            }
            if (line == RVAL) {
                log.logError("Tag _val_ present, but no values provided, ignoring response.");
                return reject();
            }
            ElemMap vals;
            for (const std::string& e : splitElements(line.substr(RVAL.size() + 1))) {
                std::size_t colon = e.find(':');
                if (colon == std::string::npos) {
                    log.logWarning(
                        "Unable to parse value element %s, missing \":\", ignoring response.",
                        e.c_str());
                    return reject();
                }
                vals[e.substr(0, colon)] = e.substr(colon + 1);
            }
            pending[VAL] = vals;
            res.push_back(pending);
            pending.clear();
        } else if (startsWith(line, RSPBEGIN)) {
            if (respBegin) {
                log.logError("Repeat of %s, ignoring response.", RSPBEGIN.c_str());
                return reject();
            }
            respBegin = true;
        } else if (startsWith(line, RSPEND)) {
            if (!respBegin) {
                log.logError("%s received before %s, ignoring response.", RSPEND.c_str(),
                             RSPBEGIN.c_str());
                return reject();
            }
            if (count < resp.size()) {
                log.logWarning("%u characters ignored beyond %s",
                               static_cast<unsigned>(resp.size() - count), RSPEND.c_str());
            }
            return;
        } else if (startsWith(line, RERROR)) {
            if (prevState) {
                log.logError("proxy \"%s\" command failed: %s", subcmd.c_str(),
                             trim(line.substr(RERROR.size())).c_str());
            }
            return reject();
        } else {
            log.logWarning("Unrecognized input line: \"%s\", ignored.", line.c_str());
        }
    }
    log.logWarning("Response not terminated with %s", RSPEND.c_str());
}
