#include "ParamValStore.h"

#include <algorithm>

namespace Cfg {

ParamValue::ParamValue(const ParamValue& other) : type(other.type) {
    switch (type) {
        case ParamType::flag:
            flag = other.flag;
            break;
        case ParamType::intVec:
            intVec = other.intVec;
            break;
        case ParamType::strVec:
            strVec = other.strVec;
            break;
        case ParamType::paramVec:
            paramVec.reserve(other.paramVec.size());
            for (const ParamValStore* s : other.paramVec) paramVec.push_back(new ParamValStore(*s));
            break;
    }
}

ParamValue::~ParamValue() { clearStores(); }

void ParamValue::clearStores() {
    for (ParamValStore* s : paramVec) delete s;
    paramVec.clear();
}

ParamValStore::ParamValStore(const ParamValStore& other) {
    for (const auto& [name, value] : other.params) {
        params.emplace_hint(params.end(), name, std::make_unique<ParamValue>(*value));
    }
}

ParamValStore& ParamValStore::operator=(const ParamValStore& other) {
    if (this != &other) {
        ParamValStore copy(other);
        params.swap(copy.params);
    }
    return *this;
}

// The map's unique_ptrs free every value and, through it, every nested store.
ParamValStore::~ParamValStore() = default;

const ParamValue* ParamValStore::find(const std::string& name) const {
    auto it = params.find(name);
    return it == params.end() ? nullptr : it->second.get();
}

ParamValue& ParamValStore::slot(const std::string& name) {
    std::unique_ptr<ParamValue>& p = params[name];
    if (!p) p = std::make_unique<ParamValue>();
    return *p;
}

bool ParamValStore::getFlag(const std::string& name, bool& out) const {
    const ParamValue* v = find(name);
    if (v == nullptr || v->type != ParamType::flag) return false;
    out = v->flag;
    return true;
}

bool ParamValStore::getInt(const std::string& name, int32_t& out) const {
    const ParamValue* v = find(name);
    if (v == nullptr || v->type != ParamType::intVec || v->intVec.empty()) return false;
    out = v->intVec[0];
    return true;
}

bool ParamValStore::getString(const std::string& name, std::string& out) const {
    const ParamValue* v = find(name);
    if (v == nullptr || v->type != ParamType::strVec || v->strVec.empty()) return false;
    out = v->strVec[0];
    return true;
}

bool ParamValStore::getIntVec(const std::string& name, const IntVec*& out) const {
    const ParamValue* v = find(name);
    if (v == nullptr || v->type != ParamType::intVec || v->intVec.empty()) return false;
    out = &v->intVec;
    return true;
}

bool ParamValStore::getStrVec(const std::string& name, const StrVec*& out) const {
    const ParamValue* v = find(name);
    if (v == nullptr || v->type != ParamType::strVec || v->strVec.empty()) return false;
    out = &v->strVec;
    return true;
}

bool ParamValStore::getParamStoreVec(const std::string& name, const ParamVec*& out) const {
    const ParamValue* v = find(name);
    if (v == nullptr || v->type != ParamType::paramVec || v->paramVec.empty()) {
        out = nullptr;
        return false;
    }
    out = &v->paramVec;
    return true;
}

bool ParamValStore::getStoreVecForUpdate(const std::string& name, ParamVec*& out) {
    auto it = params.find(name);
    if (it == params.end()) return false;
    ParamValue& v = *it->second;
    if (v.type != ParamType::paramVec || v.paramVec.empty()) return false;
    out = &v.paramVec;
    return true;
}

// Nested stores of a value that changes type are destroyed at once: only the
// member its type names is ever looked at again, so keeping them would only
// hold memory until the store dies.
void ParamValStore::putFlag(const std::string& name, bool value) {
    ParamValue& v = slot(name);
    v.clearStores();
    v.type = ParamType::flag;
    v.flag = value;
}

void ParamValStore::putInt(const std::string& name, int32_t value) {
    ParamValue& v = slot(name);
    v.clearStores();
    v.type = ParamType::intVec;
    v.intVec.assign(1, value);
}

void ParamValStore::putIntVec(const std::string& name, const IntVec& values) {
    ParamValue& v = slot(name);
    v.clearStores();
    v.type = ParamType::intVec;
    v.intVec = values;
}

bool ParamValStore::isStringChar(char ch) {
    const unsigned char c = static_cast<unsigned char>(ch);
    return (c >= 0x20 && c <= 0x7E && c != '"') || c == '\t' || c == '\r' || c == '\n';
}

bool ParamValStore::isWritableString(const std::string& text) {
    return std::all_of(text.begin(), text.end(), isStringChar);
}

bool ParamValStore::putStr(const std::string& name, const std::string& value) {
    if (!isWritableString(value)) return false;
    ParamValue& v = slot(name);
    v.clearStores();
    v.type = ParamType::strVec;
    v.strVec.assign(1, value);
    return true;
}

bool ParamValStore::putStrVec(const std::string& name, const StrVec& values) {
    if (!std::all_of(values.begin(), values.end(), isWritableString)) return false;
    ParamValue& v = slot(name);
    v.clearStores();
    v.type = ParamType::strVec;
    v.strVec = values;
    return true;
}

void ParamValStore::putStore(const std::string& name, const ParamValStore& store) {
    // Copy before the old list is destroyed: store may be one of its elements.
    ParamValStore* copy = new ParamValStore(store);
    ParamValue& v = slot(name);
    v.clearStores();
    v.type = ParamType::paramVec;
    v.paramVec.push_back(copy);
}

void ParamValStore::appendStore(std::string name, const ParamValStore& store) {
    auto it = params.find(name);
    if (it == params.end() || it->second->type != ParamType::paramVec) {
        putStore(name, store);
        return;
    }
    it->second->paramVec.push_back(new ParamValStore(store));
}

bool ParamValStore::operator==(const ParamValStore& other) const {
    return params.size() == other.params.size() && compareValStores(other) == 0;
}

namespace {

template <typename T>
int32_t threeWay(const T& a, const T& b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

// Lists compare as multisets: a shorter list sorts first, lists of equal
// length by their sorted elements. One-element lists compare their elements.
template <typename T, typename Less>
int32_t compareLists(const std::vector<T>& a, const std::vector<T>& b, Less less) {
    if (a.size() < b.size()) return -1;
    if (a.size() > b.size()) return 1;
    std::vector<T> sa(a), sb(b);
    std::sort(sa.begin(), sa.end(), less);
    std::sort(sb.begin(), sb.end(), less);
    for (size_t i = 0; i < sa.size(); ++i) {
        if (less(sa[i], sb[i])) return -1;
        if (less(sb[i], sa[i])) return 1;
    }
    return 0;
}

}  // namespace

int32_t ParamValStore::compareValStores(const ParamValStore& other) const {
    if (params.size() != other.params.size()) return params.size() < other.params.size() ? -1 : 1;
    for (auto a = params.begin(), b = other.params.begin(); a != params.end(); ++a, ++b) {
        int nameCmp = a->first.compare(b->first);
        if (nameCmp != 0) return nameCmp;
        const ParamValue& x = *a->second;
        const ParamValue& y = *b->second;
        if (x.type != y.type) return static_cast<int32_t>(x.type) - static_cast<int32_t>(y.type);
        int32_t r = 0;
        switch (x.type) {
            case ParamType::flag:
                r = static_cast<int32_t>(x.flag) - static_cast<int32_t>(y.flag);
                break;
            case ParamType::intVec:
                if (x.intVec.size() == 1 && y.intVec.size() == 1) {
                    r = threeWay(x.intVec[0], y.intVec[0]);
                } else {
                    r = compareLists(x.intVec, y.intVec, std::less<int32_t>());
                }
                break;
            case ParamType::strVec:
                if (x.strVec.size() == 1 && y.strVec.size() == 1) {
                    r = x.strVec[0].compare(y.strVec[0]);
                } else {
                    r = compareLists(x.strVec, y.strVec, std::less<std::string>());
                }
                break;
            case ParamType::paramVec:
                if (x.paramVec.size() == 1 && y.paramVec.size() == 1) {
                    r = x.paramVec[0]->compareValStores(*y.paramVec[0]);
                } else {
                    r = compareLists(x.paramVec, y.paramVec, cmpValStorePtr_t());
                }
                break;
        }
        if (r != 0) return r;
    }
    return 0;
}

}  // namespace Cfg
