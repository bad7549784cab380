// Reader and writer of the configuration language: `name = value` statements
// whose value is a flag letter, a list of integers, a list of double-quoted
// strings or a list of brace-enclosed nested statement lists.
//
//     # comment to the end of the line
//     loglevel = "info"   daemonize = T
//     colRedundancy = 2
//     sensors = { name = "CPU" period = 1 },
//               { name = "Load" period = -1 }
//
// parse() reads a whole stream into a ParamValStore and checks every name and
// value type against a ParamDefStore; dumpCfg() writes a store back as text
// that parse() reads into an equal store.
//
// A parser object serves one parse() of one stream and one thread; construct a
// new one per stream. It never throws, on bad input nor on a stream that fails:
// a read error ends the input like its end. A false result plus getErrorNum(),
// getLineNo() and getLastIdent() describe the failure.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <streambuf>
#include <string>

#include "ParamDefStore.h"
#include "ParamValStore.h"

namespace Cfg {

class CfgFileParser {
public:
    enum ErrorToken : uint32_t {
        noError = 0,
        syntaxError = 1,
        unknownIdentifier = 2,
        wrongType = 3,
    };

    // Class of one input character (C locale).
    enum CharToken : uint32_t {
        hash = 0,        // '#'
        newline = 1,     // line feed
        equal = 2,       // '='
        comma = 3,       // ','
        column = 4,      // ':' (no role in the language)
        openBrace = 5,   // '{'
        closeBrace = 6,  // '}'
        dquote = 7,      // '"'
        digit = 8,       // '0' to '9'
        minus = 9,       // '-'
        space = 10,      // blank, tab, CR, VT, FF
        nonSpace = 11,   // every other printable ASCII character
        eof = 12,        // end of input or read error, delivered as NUL
        other = 13,      // NUL, other control characters, bytes 0x80 to 0xFF
    };

    // Nested stores deeper than this fail with a syntax error, so that a
    // schema that refers to itself cannot let hostile input exhaust the stack.
    static constexpr unsigned maxNesting = 64;

    CfgFileParser() = default;
    CfgFileParser(const CfgFileParser&) = delete;
    CfgFileParser& operator=(const CfgFileParser&) = delete;

    // True when the whole stream is one valid statement list. On failure the
    // target keeps the top-level statements completed before the error.
    bool parse(std::istream& in, ParamValStore& target, const ParamDefStore& schema);

    uint32_t getLineNo() const { return lineNo; }
    ErrorToken getErrorNum() const { return lastError; }
    // The identifier of the last unknownIdentifier or wrongType error.
    std::string getLastIdent() const;

    // Writes every parameter in name order, each line starting with indent.
    // Lists the language cannot express (empty lists, nested stores without
    // parameters) are left out: a reader treats them like an absent value.
    static void dumpCfg(std::ostream& out, const std::string& indent, const ParamValStore& store);

    static CharToken classify(char c);

private:
    CharToken getChar(char& c);
    void putChar(char c);
    CharToken getNonSpaceNorNewline(char& c);
    void skipUntilNewline();

    // Each reader below gets the value's first character, already taken.
    void getIdent(char first, std::string& ident);
    bool getStr(std::string& out);
    bool getInt(char first, int32_t& out);
    bool getFlag(char first, bool& out);
    bool getIntVec(char first, IntVec& out);
    bool getStrVec(StrVec& out);
    bool getCfgVec(const ParamDefStore& schema, ParamVec& out);
    bool getValue(const ParamDef& def, ParamValue& value);

    bool parseAssignment(ParamValStore& store, const ParamDefStore& schema);
    bool parseStatementList(ParamValStore& store, const ParamDefStore& schema);

    bool fail(ErrorToken e, const std::string& ident);

    uint32_t lineNo = 1;
    ErrorToken lastError = noError;
    char lastChar = 0;
    bool hasChar = false;
    bool hasIdentifier = false;
    std::string lastIdentifier;
    std::streambuf* input = nullptr;  // not owned
    unsigned depth = 0;
};

}  // namespace Cfg
