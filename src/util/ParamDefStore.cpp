#include "ParamDefStore.h"

#include <ostream>

namespace Cfg {

namespace {

// The C locale's letters, checked by range so that values outside a byte
// cannot reach isalpha.
bool isOptionLetter(int c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

bool ParamDefStore::putDef(const ParamDef& def) {
    if (!defs.emplace(def.name, &def).second) return false;
    if (isOptionLetter(def.cmdOption)) {
        return defsByOpts.emplace(static_cast<char>(def.cmdOption), &def).second;
    }
    return true;
}

bool ParamDefStore::putDefArray(uint32_t count, const ParamDef* array) {
    bool ok = true;
    for (uint32_t i = 0; i < count && ok; ++i) ok = putDef(array[i]);
    return ok;
}

const ParamDef* ParamDefStore::getDefByName(const std::string& name) const {
    auto it = defs.find(name);
    return it == defs.end() ? nullptr : it->second;
}

const ParamDef* ParamDefStore::getDefByOption(int option) const {
    if (!isOptionLetter(option)) return nullptr;
    auto it = defsByOpts.find(static_cast<char>(option));
    return it == defsByOpts.end() ? nullptr : it->second;
}

void ParamDefStore::getOptString(std::string& out) const {
    out.clear();
    for (const auto& [letter, def] : defsByOpts) {
        out += letter;
        if (def->type == ParamType::intVec || def->type == ParamType::strVec) out += ':';
    }
}

void ParamDefStore::printHelp(std::ostream& out) const {
    out << "Options: " << std::endl;
    for (const auto& [letter, def] : defsByOpts) {
        out << "\t-" << letter << ": " << def->helpTxt << std::endl;
    }
}

}  // namespace Cfg
