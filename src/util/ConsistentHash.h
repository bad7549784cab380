// A consistent-hashing ring of server names. statkeepctl spreads the nodes of
// a cluster over the collector candidates with it: every node looks up keys
// made from its own number, so each picks its collectors independently and the
// same inputs always give the same choice.
//
// A point's hash is the sign-extended FNV-1a 32 (FNV1AHash.h) of the MD5
// digest of the key. Collectors of a cluster depend on these values across
// nodes and releases: neither may change.
//
// Built fresh per run, owned by its user, one thread.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

class ConsistentHash {
  public:
    // Each point refers to its owner's one stored name: a copy per point
    // would cost a hundred times the name.
    typedef std::map<uint32_t, const std::string*> hashMap_t;

    static constexpr uint32_t DEFAULT_REPLICAS = 100;
    // What getServer returns on an empty ring.
    static const std::string EMPTY_STRING;

    explicit ConsistentHash(uint32_t replicas) : replicas(replicas) {}
    // A copy's points would still refer to the original's names.
    ConsistentHash(const ConsistentHash&) = delete;
    ConsistentHash& operator=(const ConsistentHash&) = delete;

    // Adds the server's points. Key i is the name followed by the decimal
    // numbers 0, 1, ..., i written one after another (name + "012" for i = 2).
    // A later write owns a shared point, so the ring can depend on the order
    // of servers whose points collide.
    void addServer(const std::string& name);

    // The owner of the first point at or after the key's hash, wrapping to the
    // smallest point. The reference is valid while the ring is unchanged.
    const std::string& getServer(const std::string& key) const;

    // Erases the points of the server's keys, whoever owns them. False at the
    // first key whose hash is not on the ring; points erased before stay
    // erased. The stored name stays until the ring is destroyed.
    bool removeServer(const std::string& name);

    static uint32_t getHash(const std::string& s);

  private:
    const uint32_t replicas;
    std::set<std::string> names;  // nodes never move, so points may refer to them
    hashMap_t hashMap;
};
