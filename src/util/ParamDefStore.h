// The configuration schema: ParamDef describes one parameter (type, command-line
// letter, help text, nested schema) and ParamDefStore is a set of them, looked up
// by name or by option letter.
//
// A ParamDefStore holds pointers to the caller's ParamDef records and never
// copies or frees them: the definitions must outlive the store (the daemon's
// live in static tables). Stores are filled once at start-up and are read-only
// afterwards; they have no lock.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>

namespace Cfg {

// A scalar is a list of one; flag and the list of nested stores are the only
// non-list forms.
enum ParamType : uint32_t {
    flag = 1,
    intVec = 2,
    strVec = 3,
    paramVec = 4,
};

class ParamDefStore;

struct ParamDef {
    ParamType type;
    // Command-line letter; only an ASCII letter counts, 0 for none.
    int32_t cmdOption;
    std::string name;
    std::string helpTxt;
    // For paramVec only: the schema every nested store is checked against.
    const ParamDefStore* paramDefMap;
};

typedef std::map<std::string, const ParamDef*> ParamDefMap;
typedef std::map<char, const ParamDef*> ParamOptMap;

class ParamDefStore {
public:
    ParamDefStore() = default;
    ParamDefStore(const ParamDefStore&) = delete;
    ParamDefStore& operator=(const ParamDefStore&) = delete;

    // False, with nothing changed, for a name already present. A new name whose
    // letter is already taken is registered by name only and also gives false.
    bool putDef(const ParamDef& def);
    // Stops after the first refused definition; the ones before it stay.
    bool putDefArray(uint32_t count, const ParamDef* defs);

    const ParamDef* getDefByName(const std::string& name) const;
    // Takes getopt's int so that any returned value can be looked up safely.
    const ParamDef* getDefByOption(int option) const;

    // A getopt option string: the letters in ascending character order, those
    // of integer and string parameters followed by ':'.
    void getOptString(std::string& out) const;
    void printHelp(std::ostream& out) const;

    const ParamDefMap& getDefs() const { return defs; }

private:
    ParamDefMap defs;
    ParamOptMap defsByOpts;
};

}  // namespace Cfg
