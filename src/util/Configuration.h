// One program's configuration: its schema, its values, and the operations that
// fill the values from the built-in defaults, the configuration file and the
// single-letter command-line options, each source replacing whole values by
// parameter name. The class-level putValue/putValueVec set one parameter of
// any store from text; the configuration tools edit nested stores with them.
//
// Owned by the program (or by one edit in the tools) and used from one thread
// at a time. The schema is borrowed and must outlive the configuration.
// Failures are a false result plus one Error line on the given logger (none
// when it is null); nothing here ends the program.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "CfgFileParser.h"
#include "ParamDefStore.h"
#include "ParamValStore.h"

class Logger;

namespace Cfg {

class Configuration {
public:
    // params starts as a deep copy of defaults; defaults is not referred to
    // afterwards.
    Configuration(const ParamDefStore& schema, const ParamValStore& defaults);

    // Parses the file over the current values. A path that is not a regular
    // file (a directory, a FIFO, a device) fails like one that cannot be
    // opened; a read error ends the file. After a failed parse the statements
    // before the error have been applied; callers treat the load as failed.
    bool loadConfigFile(const std::string& fileName, const Logger* logger);
    // Sets the directory and program names from argv[0] and applies the
    // options in command-line order. May be called more than once per process.
    // argv itself is not reordered.
    bool parseArgs(int argc, char* const argv[], const Logger* logger);
    // The value of one option before the real parsing: the argument after the
    // first one equal to sw, or the text after sw in an argument that starts
    // with it ("-C/path"); def when there is none.
    static std::string getKnownParam(int argc, char* const argv[], const std::string& sw,
                                     const std::string& def);
    // For a paramVec parameter of the schema: the writable list (when present
    // and not empty) and the nested schema. Sets neither for another type or a
    // name the schema does not define.
    bool getParamStoreVecForUpdate(const std::string& name, ParamVec*& stores,
                                   const ParamDefStore*& schema);

    // Set one parameter of store from text, checked against schema. A string
    // the configuration language cannot carry is refused with an Error line.
    static bool putValue(const std::string& name, const std::string& text, ParamValStore& store,
                         const ParamDefStore& schema, const Logger* logger = nullptr);
    static bool putValueVec(const std::string& name, const StrVec& texts, ParamValStore& store,
                            const ParamDefStore& schema, const Logger* logger = nullptr);

    void dumpCfg(std::ostream& out) const { CfgFileParser::dumpCfg(out, "", params); }

    const std::string& getDirectoryName() const { return dirname; }
    const std::string& getProgramName() const { return progname; }
    ParamValStore& getParamStore() { return params; }
    const ParamValStore& getParamStore() const { return params; }

    std::string dirname;
    std::string progname;
    const ParamDefStore& defs;
    ParamValStore params;
};

}  // namespace Cfg
