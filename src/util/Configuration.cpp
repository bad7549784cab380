#include "Configuration.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <istream>
#include <sstream>
#include <streambuf>
#include <vector>

#include "Logger.h"

namespace Cfg {

namespace {

// Names the first character of values that a configuration string cannot
// carry (ParamValStore::isStringChar).
void logUnwritable(const Logger* logger, const std::string& name, const StrVec& values) {
    if (logger == nullptr) return;
    for (const std::string& v : values) {
        for (char ch : v) {
            if (ParamValStore::isStringChar(ch)) continue;
            const unsigned c = static_cast<unsigned char>(ch);
            if (ch == '"') {
                logger->logError("Value for parameter %s holds a double quote.", name.c_str());
            } else if (c >= 0x80) {
                logger->logError("Value for parameter %s holds the non-ASCII byte 0x%02X.",
                                 name.c_str(), c);
            } else {
                logger->logError("Value for parameter %s holds the control character 0x%02X.",
                                 name.c_str(), c);
            }
            return;
        }
    }
}

// A descriptor read through a small buffer. A read error ends the input like
// its end (the configuration language makes no difference), and nothing
// throws.
class FdInBuf : public std::streambuf {
  public:
    explicit FdInBuf(int fd) : fd(fd) {}

  protected:
    int_type underflow() override {
        ssize_t n;
        do {
            n = read(fd, buf, sizeof buf);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) return traits_type::eof();
        setg(buf, buf, buf + n);
        return traits_type::to_int_type(buf[0]);
    }

  private:
    int fd;
    char buf[4096];
};

// Opens a configuration file for reading, or returns -1. Anything but a
// regular file is refused: a FIFO would block the open until a writer came,
// and a directory or a device is no configuration. O_NONBLOCK keeps the open
// itself from blocking before the check; the reads then block as usual.
int openRegularFile(const std::string& fileName) {
    const int fd = open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    const int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 ||
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One integer as formatted input: leading white space, an optional sign and
// decimal digits; the rest of the text is ignored. Fails without a number or
// outside the signed 32-bit range.
bool readInt(const std::string& text, int32_t& out) {
    std::istringstream in(text);
    int32_t v;
    if (!(in >> v)) return false;
    out = v;
    return true;
}

}  // namespace

Configuration::Configuration(const ParamDefStore& schema, const ParamValStore& defaults)
    : defs(schema), params(defaults) {}

bool Configuration::loadConfigFile(const std::string& fileName, const Logger* logger) {
    const int fd = openRegularFile(fileName);
    if (fd < 0) {
        if (logger != nullptr) {
            logger->logError("Could not open configuration file %s for reading.", fileName.c_str());
        }
        return false;
    }
    FdInBuf buf(fd);
    std::istream in(&buf);
    CfgFileParser parser;
    const bool parsed = parser.parse(in, params, defs);
    close(fd);
    if (parsed) return true;
    if (logger != nullptr) {
        const int line = static_cast<int>(parser.getLineNo());
        switch (parser.getErrorNum()) {
            case CfgFileParser::unknownIdentifier:
                logger->logError("Unknown identifier \"%s\", line %d in configuration file %s",
                                 parser.getLastIdent().c_str(), line, fileName.c_str());
                break;
            case CfgFileParser::wrongType:
                logger->logError("Wrong type for identifier \"%s\", line %d in configuration file %s",
                                 parser.getLastIdent().c_str(), line, fileName.c_str());
                break;
            default:
                logger->logError("Syntax Error on or before line %d in configuration file %s", line,
                                 fileName.c_str());
                break;
        }
    }
    return false;
}

bool Configuration::parseArgs(int argc, char* const argv[], const Logger* logger) {
    const std::string path = (argc > 0 && argv != nullptr && argv[0] != nullptr) ? argv[0] : "";
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) {
        dirname = ".";
        progname = path;
    } else {
        dirname = path.substr(0, slash);
        progname = path.substr(slash + 1);
    }
    if (progname.empty()) progname = ".";

    std::string optString;
    defs.getOptString(optString);
    if (optString.empty() || argc < 1 || argv == nullptr) return true;

    // GNU getopt reorders the vector it is given; hand it a copy so the
    // caller's argv stays as it was.
    std::vector<char*> args(argv, argv + argc);
    args.push_back(nullptr);
    // optind 0 makes glibc's getopt start afresh, so a second call in the same
    // process (a reload, a test) parses from the beginning again.
    optind = 0;
    opterr = 0;
    int c;
    while ((c = getopt(argc, args.data(), optString.c_str())) != -1) {
        const ParamDef* def = defs.getDefByOption(c);
        if (def == nullptr) {
            if (logger != nullptr) {
                logger->logError("Unknown option %c.", optopt);
                defs.printHelp(std::cout);
            }
            return false;
        }
        switch (def->type) {
            case ParamType::intVec: {
                const long v = std::strtol(optarg, nullptr, 10);
                params.putInt(def->name, static_cast<int32_t>(static_cast<uint32_t>(v)));
                break;
            }
            case ParamType::strVec:
                if (!params.putStr(def->name, optarg)) {
                    logUnwritable(logger, def->name, {optarg});
                    return false;
                }
                break;
            case ParamType::flag:
                params.putFlag(def->name, true);
                break;
            case ParamType::paramVec:
                break;
        }
    }
    return true;
}

std::string Configuration::getKnownParam(int argc, char* const argv[], const std::string& sw,
                                         const std::string& def) {
    if (argv == nullptr || sw.empty()) return def;
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        const std::string arg = argv[i];
        if (arg == sw) {
            if (i + 1 < argc && argv[i + 1] != nullptr) return argv[i + 1];
            continue;
        }
        // getopt also takes the value joined to its switch.
        if (arg.size() > sw.size() && arg.compare(0, sw.size(), sw) == 0) {
            return arg.substr(sw.size());
        }
    }
    return def;
}

bool Configuration::getParamStoreVecForUpdate(const std::string& name, ParamVec*& stores,
                                              const ParamDefStore*& schema) {
    const ParamDef* def = defs.getDefByName(name);
    if (def == nullptr || def->type != ParamType::paramVec) return false;
    schema = def->paramDefMap;
    return params.getStoreVecForUpdate(name, stores);
}

bool Configuration::putValue(const std::string& name, const std::string& text, ParamValStore& store,
                             const ParamDefStore& schema, const Logger* logger) {
    const ParamDef* def = schema.getDefByName(name);
    if (def == nullptr) return false;
    switch (def->type) {
        case ParamType::intVec: {
            int32_t v;
            if (!readInt(text, v)) return false;
            store.putInt(name, v);
            return true;
        }
        case ParamType::strVec:
            if (!store.putStr(name, text)) {
                logUnwritable(logger, name, {text});
                return false;
            }
            return true;
        case ParamType::flag:
            if (text.empty()) return false;
            switch (std::toupper(static_cast<unsigned char>(text[0]))) {
                case 'Y':
                case 'T':
                    store.putFlag(name, true);
                    return true;
                case 'F':
                case 'N':
                    store.putFlag(name, false);
                    return true;
                default:
                    return false;
            }
        case ParamType::paramVec:
            return false;
    }
    return false;
}

bool Configuration::putValueVec(const std::string& name, const StrVec& texts, ParamValStore& store,
                                const ParamDefStore& schema, const Logger* logger) {
    const ParamDef* def = schema.getDefByName(name);
    if (def == nullptr) return false;
    switch (def->type) {
        case ParamType::intVec: {
            IntVec values;
            values.reserve(texts.size());
            for (const std::string& t : texts) {
                int32_t v;
                if (!readInt(t, v)) return false;
                values.push_back(v);
            }
            store.putIntVec(name, values);
            return true;
        }
        case ParamType::strVec:
            if (!store.putStrVec(name, texts)) {
                logUnwritable(logger, name, texts);
                return false;
            }
            return true;
        case ParamType::flag:
        case ParamType::paramVec:
            return false;
    }
    return false;
}

}  // namespace Cfg
