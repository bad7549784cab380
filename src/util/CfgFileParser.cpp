#include "CfgFileParser.h"

#include <array>
#include <istream>
#include <memory>
#include <ostream>

namespace Cfg {

namespace {

using CharTable = std::array<CfgFileParser::CharToken, 256>;

constexpr CharTable makeCharTable() {
    CharTable t{};
    for (int c = 0; c < 256; ++c) {
        CfgFileParser::CharToken k = CfgFileParser::other;
        if (c >= '0' && c <= '9') {
            k = CfgFileParser::digit;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f') {
            k = CfgFileParser::space;
        } else if (c > 0x20 && c < 0x7F) {
            k = CfgFileParser::nonSpace;
        }
        t[c] = k;
    }
    t['#'] = CfgFileParser::hash;
    t['\n'] = CfgFileParser::newline;
    t['='] = CfgFileParser::equal;
    t[','] = CfgFileParser::comma;
    t[':'] = CfgFileParser::column;
    t['{'] = CfgFileParser::openBrace;
    t['}'] = CfgFileParser::closeBrace;
    t['"'] = CfgFileParser::dquote;
    t['-'] = CfgFileParser::minus;
    return t;
}

constexpr CharTable charTable = makeCharTable();

// Whether dumpCfg writes anything for a value or a store. The language has no
// form for an empty list or an empty nested store, so these are left out.
bool storeWritable(const ParamValStore& store);

bool valueWritable(const ParamValue& v) {
    switch (v.type) {
        case ParamType::flag:
            return true;
        case ParamType::intVec:
            return !v.intVec.empty();
        case ParamType::strVec:
            return !v.strVec.empty();
        case ParamType::paramVec:
            for (const ParamValStore* s : v.paramVec) {
                if (storeWritable(*s)) return true;
            }
            return false;
    }
    return false;
}

bool storeWritable(const ParamValStore& store) {
    for (const auto& entry : store.getParams()) {
        if (valueWritable(*entry.second)) return true;
    }
    return false;
}

}  // namespace

CfgFileParser::CharToken CfgFileParser::classify(char c) {
    return charTable[static_cast<unsigned char>(c)];
}

std::string CfgFileParser::getLastIdent() const {
    return hasIdentifier ? lastIdentifier : std::string("unknown identifier");
}

bool CfgFileParser::fail(ErrorToken e, const std::string& ident) {
    lastError = e;
    lastIdentifier = ident;
    hasIdentifier = true;
    return false;
}

CfgFileParser::CharToken CfgFileParser::getChar(char& c) {
    if (hasChar) {
        hasChar = false;
        c = lastChar;
        return classify(c);
    }
    int r = std::char_traits<char>::eof();
    if (input != nullptr) {
        // A file stream buffer throws on a read error (a directory, an I/O
        // error); the input then ends here, and nothing more is read from it.
        try {
            r = input->sbumpc();
        } catch (...) {
            input = nullptr;
        }
    }
    if (r == std::char_traits<char>::eof()) {
        c = '\0';
        return eof;
    }
    c = static_cast<char>(r);
    if (c == '\n') ++lineNo;
    return classify(c);
}

void CfgFileParser::putChar(char c) {
    if (c == '\0') return;
    lastChar = c;
    hasChar = true;
}

void CfgFileParser::skipUntilNewline() {
    char c;
    CharToken t;
    do {
        t = getChar(c);
    } while (t != newline && t != eof);
}

CfgFileParser::CharToken CfgFileParser::getNonSpaceNorNewline(char& c) {
    for (;;) {
        CharToken t = getChar(c);
        if (t == space || t == newline) continue;
        if (t == hash) {
            skipUntilNewline();
            continue;
        }
        return t;
    }
}

void CfgFileParser::getIdent(char first, std::string& ident) {
    ident.assign(1, first);
    char c;
    CharToken t;
    while ((t = getChar(c)) == nonSpace || t == digit) ident += c;
    putChar(c);
}

bool CfgFileParser::getStr(std::string& out) {
    out.clear();
    char c;
    for (;;) {
        CharToken t = getChar(c);
        if (t == dquote) return true;
        if (t == eof || !ParamValStore::isStringChar(c)) return false;
        out += c;
    }
}

bool CfgFileParser::getInt(char first, int32_t& out) {
    char c = first;
    CharToken t = classify(c);
    bool negative = false;
    if (t == minus) {
        negative = true;
        t = getNonSpaceNorNewline(c);
    }
    if (t != digit) return false;
    // Out-of-range numbers wrap modulo 2^32; unsigned arithmetic keeps that
    // defined, "-2147483648" included.
    uint32_t acc = 0;
    while (t == digit) {
        acc = acc * 10u + static_cast<uint32_t>(c - '0');
        t = getChar(c);
    }
    putChar(c);
    if (negative) acc = 0u - acc;
    out = static_cast<int32_t>(acc);
    return true;
}

bool CfgFileParser::getFlag(char first, bool& out) {
    switch (first) {
        case 'Y': case 'y': case 'T': case 't':
            out = true;
            return true;
        case 'F': case 'f': case 'N': case 'n':
            out = false;
            return true;
        default:
            return false;
    }
}

bool CfgFileParser::getIntVec(char first, IntVec& out) {
    char c = first;
    for (;;) {
        int32_t v;
        if (!getInt(c, v)) return false;
        out.push_back(v);
        CharToken t = getNonSpaceNorNewline(c);
        if (t != comma) {
            putChar(c);
            return true;
        }
        t = getNonSpaceNorNewline(c);
        if (t != digit && t != minus) return false;
    }
}

bool CfgFileParser::getStrVec(StrVec& out) {
    char c;
    for (;;) {
        out.emplace_back();
        if (!getStr(out.back())) return false;
        CharToken t = getNonSpaceNorNewline(c);
        if (t != comma) {
            putChar(c);
            return true;
        }
        if (getNonSpaceNorNewline(c) != dquote) return false;
    }
}

bool CfgFileParser::getCfgVec(const ParamDefStore& schema, ParamVec& out) {
    if (depth >= maxNesting) return false;
    char c;
    for (;;) {
        // Owned by the value from here on, so a failure below frees it too.
        out.push_back(new ParamValStore());
        ++depth;
        bool ok = parseStatementList(*out.back(), schema);
        --depth;
        if (!ok || getNonSpaceNorNewline(c) != closeBrace) return false;
        if (getNonSpaceNorNewline(c) != comma) {
            putChar(c);
            return true;
        }
        if (getNonSpaceNorNewline(c) != openBrace) return false;
    }
}

bool CfgFileParser::getValue(const ParamDef& def, ParamValue& value) {
    char c;
    switch (getNonSpaceNorNewline(c)) {
        case dquote:
            value.type = ParamType::strVec;
            return getStrVec(value.strVec);
        case digit:
        case minus:
            value.type = ParamType::intVec;
            return getIntVec(c, value.intVec);
        case openBrace:
            // A store list is read against the definition's nested schema, so a
            // parameter without one cannot take it: report the type mismatch
            // before reading further.
            if (def.type != ParamType::paramVec || def.paramDefMap == nullptr) {
                return fail(wrongType, def.name);
            }
            value.type = ParamType::paramVec;
            return getCfgVec(*def.paramDefMap, value.paramVec);
        case nonSpace:
            value.type = ParamType::flag;
            return getFlag(c, value.flag);
        default:
            return false;
    }
}

bool CfgFileParser::parseAssignment(ParamValStore& store, const ParamDefStore& schema) {
    char c;
    if (getNonSpaceNorNewline(c) != nonSpace) return false;
    std::string ident;
    getIdent(c, ident);
    if (getNonSpaceNorNewline(c) != equal) return false;
    const ParamDef* def = schema.getDefByName(ident);
    if (def == nullptr) return fail(unknownIdentifier, ident);
    auto value = std::make_unique<ParamValue>();
    if (!getValue(*def, *value)) return false;
    if (value->type != def->type) return fail(wrongType, ident);
    store.params[ident] = std::move(value);
    return true;
}

bool CfgFileParser::parseStatementList(ParamValStore& store, const ParamDefStore& schema) {
    char c;
    CharToken t;
    do {
        if (!parseAssignment(store, schema)) return false;
        t = getNonSpaceNorNewline(c);
        putChar(c);
    } while (t != closeBrace && t != eof);
    return true;
}

bool CfgFileParser::parse(std::istream& in, ParamValStore& target, const ParamDefStore& schema) {
    input = in.rdbuf();
    lineNo = 1;
    depth = 0;
    char c;
    bool ok = parseStatementList(target, schema) && getNonSpaceNorNewline(c) == eof;
    input = nullptr;
    if (!ok && lastError == noError) lastError = syntaxError;
    return ok;
}

void CfgFileParser::dumpCfg(std::ostream& out, const std::string& indent,
                            const ParamValStore& store) {
    for (const auto& [name, valuePtr] : store.getParams()) {
        const ParamValue& v = *valuePtr;
        if (!valueWritable(v)) continue;
        out << indent << name << " = ";
        switch (v.type) {
            case ParamType::flag:
                out << (v.flag ? "T" : "F");
                break;
            case ParamType::intVec:
                for (size_t i = 0; i < v.intVec.size(); ++i) {
                    if (i > 0) out << ", ";
                    out << std::to_string(v.intVec[i]);
                }
                break;
            case ParamType::strVec:
                for (size_t i = 0; i < v.strVec.size(); ++i) {
                    if (i > 0) out << ", ";
                    out << '"' << v.strVec[i] << '"';
                }
                break;
            case ParamType::paramVec: {
                bool first = true;
                const std::string inner = indent + "\t";
                for (const ParamValStore* s : v.paramVec) {
                    if (!storeWritable(*s)) continue;
                    if (!first) out << ", " << std::endl;
                    first = false;
                    out << "{" << std::endl;
                    dumpCfg(out, inner, *s);
                    out << indent << "}";
                }
                break;
            }
        }
        out << std::endl;
    }
}

}  // namespace Cfg
