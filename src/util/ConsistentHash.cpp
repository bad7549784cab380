#include "ConsistentHash.h"

#include "FNV1AHash.h"
#include "md5.h"

const std::string ConsistentHash::EMPTY_STRING;

uint32_t ConsistentHash::getHash(const std::string& s) {
    unsigned char digest[MD5_DIGEST_LENGTH];
    md5(s.data(), s.size(), digest);
    return FNV1AHash32(reinterpret_cast<const char*>(digest), MD5_DIGEST_LENGTH);
}

void ConsistentHash::addServer(const std::string& name) {
    const std::string* stored = &*names.insert(name).first;
    std::string key = name;
    for (uint32_t i = 0; i < replicas; ++i) {
        key += std::to_string(i);
        hashMap[getHash(key)] = stored;
    }
}

const std::string& ConsistentHash::getServer(const std::string& key) const {
    if (hashMap.empty()) return EMPTY_STRING;
    auto it = hashMap.lower_bound(getHash(key));
    if (it == hashMap.end()) it = hashMap.begin();
    return *it->second;
}

bool ConsistentHash::removeServer(const std::string& name) {
    std::string key = name;
    for (uint32_t i = 0; i < replicas; ++i) {
        key += std::to_string(i);
        if (hashMap.erase(getHash(key)) == 0) return false;
    }
    return true;
}
