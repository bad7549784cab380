// Configuration values: ParamValue is one typed value, ParamValStore a set of
// named values that may nest further stores to any depth through paramVec
// values.
//
// Ownership: a store owns its ParamValues, and a ParamValue owns the nested
// stores its paramVec lists; destroying a store frees every level. Callers that
// take the writable list from getStoreVecForUpdate may add, remove and delete
// nested stores through it, and must leave only heap stores they hand over.
//
// A store does not know its schema; values are checked when text is parsed
// (CfgFileParser) or set from text (Configuration). No lock: callers that share
// a store between threads serialise access themselves.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ParamDefStore.h"

namespace Cfg {

class ParamValStore;

typedef std::vector<int32_t> IntVec;
typedef std::vector<std::string> StrVec;
// Owned pointers; see the ownership note above.
typedef std::vector<ParamValStore*> ParamVec;

// Only the member that type names is meaningful; every reader looks at that
// one alone.
struct ParamValue {
    ParamValue() = default;
    // Deep copy of the member that type names.
    ParamValue(const ParamValue& other);
    ParamValue& operator=(const ParamValue&) = delete;
    ~ParamValue();

    // Destroys the nested stores and empties the list.
    void clearStores();

    ParamType type = ParamType::flag;
    bool flag = false;
    IntVec intVec;
    StrVec strVec;
    ParamVec paramVec;
};

typedef std::map<std::string, std::unique_ptr<ParamValue>> ParamValMap;

class ParamValStore {
public:
    ParamValStore() = default;
    ParamValStore(const ParamValStore& other);  // deep copy
    ParamValStore& operator=(const ParamValStore& other);
    virtual ~ParamValStore();

    // Read operations: false (out untouched) when the name is absent, holds
    // another type, or holds an empty list.
    bool getFlag(const std::string& name, bool& out) const;
    bool getInt(const std::string& name, int32_t& out) const;
    bool getString(const std::string& name, std::string& out) const;
    bool getIntVec(const std::string& name, const IntVec*& out) const;
    bool getStrVec(const std::string& name, const StrVec*& out) const;
    // Sets out to null on failure.
    bool getParamStoreVec(const std::string& name, const ParamVec*& out) const;
    bool getStoreVecForUpdate(const std::string& name, ParamVec*& out);
    bool empty() const { return params.empty(); }

    // Write operations replace the whole value and may change its type.
    void putFlag(const std::string& name, bool value);
    void putInt(const std::string& name, int32_t value);
    void putIntVec(const std::string& name, const IntVec& values);
    // Strings are refused (false, store unchanged) when they hold a character
    // the configuration language cannot carry inside quotes (isStringChar).
    // Everything accepted is written back by dumpCfg so that it re-reads equal.
    bool putStr(const std::string& name, const std::string& value);
    bool putStrVec(const std::string& name, const StrVec& values);
    // The list becomes exactly [a deep copy of store]; store may be one of the
    // nested stores being replaced.
    void putStore(const std::string& name, const ParamValStore& store);
    // Appends a deep copy. A name that is absent or holds another type is
    // treated as putStore.
    void appendStore(std::string name, const ParamValStore& store);

    // A total order that ignores element order inside lists; see the .cpp.
    int32_t compareValStores(const ParamValStore& other) const;
    bool operator<(const ParamValStore& other) const { return compareValStores(other) < 0; }
    bool operator==(const ParamValStore& other) const;
    bool operator!=(const ParamValStore& other) const { return !(*this == other); }

    const ParamValMap& getParams() const { return params; }

    // Whether c may stand between double quotes in the configuration language:
    // printable ASCII but the double quote, and tab, carriage return and line
    // feed. Any other control character and every byte above 0x7E may not.
    static bool isStringChar(char c);
    // True when every character of text is a string character, so that it
    // survives a file written by dumpCfg and read back.
    static bool isWritableString(const std::string& text);

private:
    friend class CfgFileParser;

    // The value under name, inserted as a fresh ParamValue when absent.
    ParamValue& slot(const std::string& name);
    const ParamValue* find(const std::string& name) const;

    ParamValMap params;
};

struct cmpValStorePtr_t {
    bool operator()(const ParamValStore* a, const ParamValStore* b) const { return *a < *b; }
};

}  // namespace Cfg
