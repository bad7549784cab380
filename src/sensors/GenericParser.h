// Parser of the generic proxy reply: a "_response_ begin" line, pairs of
// "_key_" and "_val_" lines of name:value elements, and a "_response_ end"
// line; an "_error_" line reports a failed request.
//
// Stateless: each generic sensor holds one and calls it on its own thread;
// calls on different threads may run at the same time.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Logger.h"

class GenericParser {
  public:
    // A record: entry KEY holds the key elements, entry VAL the metric values,
    // each by name, stored exactly as the reply wrote them.
    typedef std::map<std::string, std::string> ElemMap;
    typedef std::map<int, ElemMap> Record;

    static constexpr int KEY = 0;
    static constexpr int VAL = 1;

    static const std::string RSPBEGIN;  // "_response_ begin"
    static const std::string RSPEND;    // "_response_ end"
    static const std::string RKEY;      // "_key_"
    static const std::string RVAL;      // "_val_"
    static const std::string RERROR;    // "_error_"

    // Appends one record per completed "_key_"/"_val_" pair of resp to res.
    // A rejected reply leaves res empty (also of what the caller put there).
    // subcmd only names the request in the message of an "_error_" line,
    // which is logged only when prevState is true.
    void parseResponse(const std::string& subcmd, const std::string& resp, std::vector<Record>& res,
                       const Logger& log, bool prevState) const;

    // True when s is readable UTF-8 text: no control characters (C0, DEL,
    // C1), no surrogates, nothing above U+10FFFF, no broken sequences.
    bool validString(const std::string& s) const;
};
