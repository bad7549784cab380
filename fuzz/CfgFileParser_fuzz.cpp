// Feeds arbitrary bytes to the configuration parser, against the daemon's
// schema and against a schema that nests into itself. Whatever parses must
// also survive the round trip: dumped and parsed again it gives an equal store
// and the same text. The same bytes followed by a failing read (a stream
// buffer that throws, as a file's does) must parse exactly as they do alone.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ios>
#include <sstream>
#include <streambuf>
#include <string>

#include "CfgFileParser.h"
#include "SensorDefaultConfig.h"

namespace {

struct SelfSchema {
    Cfg::ParamDefStore store;
    const Cfg::ParamDef defs[4] = {
        {Cfg::paramVec, 0, "r", "", &store},
        {Cfg::flag, 'f', "f", "", nullptr},
        {Cfg::intVec, 'i', "i", "", nullptr},
        {Cfg::strVec, 's', "s", "", nullptr},
    };
    SelfSchema() { store.putDefArray(4, defs); }
};

void check(bool ok) {
    if (!ok) std::abort();
}

class FailingBuf : public std::streambuf {
  public:
    explicit FailingBuf(std::string& text) { setg(&text[0], &text[0], &text[0] + text.size()); }

  protected:
    int_type underflow() override { throw std::ios_base::failure("read error"); }
};

bool parseFailingStream(std::string text, const Cfg::ParamDefStore& schema,
                        Cfg::ParamValStore& store) {
    FailingBuf buf(text);
    std::istream in(&buf);
    Cfg::CfgFileParser parser;
    return parser.parse(in, store, schema);
}

void parseAndRoundTrip(const std::string& text, const Cfg::ParamDefStore& schema,
                       const Cfg::ParamValStore& start) {
    Cfg::ParamValStore store(start);
    std::istringstream in(text);
    Cfg::CfgFileParser parser;
    const bool ok = parser.parse(in, store, schema);
    Cfg::ParamValStore failing(start);
    check(parseFailingStream(text, schema, failing) == ok && failing == store);
    if (!ok) {
        check(parser.getErrorNum() != Cfg::CfgFileParser::noError);
        return;
    }
    std::ostringstream first;
    Cfg::CfgFileParser::dumpCfg(first, "", store);
    Cfg::ParamValStore back;
    std::istringstream again(first.str());
    Cfg::CfgFileParser reparser;
    check(reparser.parse(again, back, schema));
    check(back == store);
    check(store.compareValStores(back) == 0 && back.compareValStores(store) == 0);
    std::ostringstream second;
    Cfg::CfgFileParser::dumpCfg(second, "", back);
    check(first.str() == second.str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Cfg::SensorDefaultConfig defaults;
    static const SelfSchema self;
    static const Cfg::ParamValStore empty;
    const std::string text(reinterpret_cast<const char*>(data), size);
    parseAndRoundTrip(text, Cfg::SensorDefaultConfig::velmarSensorsDefStore, empty);
    parseAndRoundTrip(text, Cfg::SensorDefaultConfig::velmarSensorsDefStore,
                      defaults.velmarSensorStore);
    parseAndRoundTrip(text, self.store, empty);
    return 0;
}
