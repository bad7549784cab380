#include "ConsistentHash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "md5.h"

namespace {

// Two rings that agree on these lookups are taken as equal.
std::vector<std::string> lookups(const ConsistentHash& ring) {
    std::vector<std::string> out;
    for (int i = 0; i < 2000; ++i) out.push_back(ring.getServer("node" + std::to_string(i)));
    return out;
}

TEST(ConsistentHash, PointHashAndReplicaKeys) {
    EXPECT_EQ(ConsistentHash::getHash("abc"), 0x41B695E1u);
    // Bytes taken unsigned give another value: the digest holds bytes >= 0x80.
    unsigned char d[MD5_DIGEST_LENGTH];
    md5("abc", 3, d);
    uint32_t plain = 0x811C9DC5u;
    for (unsigned char c : d) plain = (plain ^ c) * 16777619u;
    EXPECT_NE(plain, 0x41B695E1u);

    // A point sits exactly at its key's hash, so with two servers a lookup of
    // each of s's keys ("s0", "s01", "s012", ...) must return s; keys of the
    // form name + i would land on either server at random.
    ConsistentHash ring(ConsistentHash::DEFAULT_REPLICAS);
    ring.addServer("s");
    ring.addServer("t");
    std::string key = "s";
    for (int i = 0; i < 100; ++i) ASSERT_EQ(ring.getServer(key += std::to_string(i)), "s") << i;
    EXPECT_EQ(key.size(), 1u + 190u);  // the last key: the name and 190 digits
}

TEST(ConsistentHash, EdgeCases) {
    ConsistentHash empty(ConsistentHash::DEFAULT_REPLICAS), none(0),
        one(ConsistentHash::DEFAULT_REPLICAS);
    none.addServer("a");
    one.addServer("only");
    EXPECT_EQ(&empty.getServer("x"), &ConsistentHash::EMPTY_STRING);
    EXPECT_EQ(none.getServer("a0"), "");
    for (const std::string& s : lookups(one)) ASSERT_EQ(s, "only");

    // One point each, at "a0" and "b0": a key at a point's hash maps to it; a
    // key above every point wraps to the smallest.
    ConsistentHash two(1);
    two.addServer("a");
    two.addServer("b");
    EXPECT_EQ(two.getServer("a0"), "a");
    EXPECT_EQ(two.getServer("b0"), "b");
    const uint32_t ha = ConsistentHash::getHash("a0"), hb = ConsistentHash::getHash("b0");
    int i = 0;
    while (ConsistentHash::getHash("k" + std::to_string(i)) <= std::max(ha, hb)) ++i;
    EXPECT_EQ(two.getServer("k" + std::to_string(i)), ha < hb ? "a" : "b");

    // Order and repeats do not matter without shared points.
    ConsistentHash abc(100), cba(100), twice(100);
    for (const char* s : {"c1:9085", "c2", "c3"}) abc.addServer(s);
    for (const char* s : {"c3", "c2", "c1:9085"}) cba.addServer(s);
    for (const char* s : {"c1:9085", "c2", "c3", "c2", "c1:9085"}) twice.addServer(s);
    EXPECT_EQ(lookups(cba), lookups(abc));
    EXPECT_EQ(lookups(twice), lookups(abc));
    // A name is stored once, however many points and additions it has: a
    // copy per point cost a hundred times the candidate list.
    std::set<const std::string*> stored;
    for (int i = 0; i < 2000; ++i) stored.insert(&twice.getServer("node" + std::to_string(i)));
    EXPECT_EQ(stored.size(), 3u);

    EXPECT_TRUE(abc.removeServer("c2"));
    EXPECT_FALSE(abc.removeServer("c2"));  // its first key is gone
    for (const std::string& s : lookups(abc)) ASSERT_NE(s, "c2");
}

}  // namespace
