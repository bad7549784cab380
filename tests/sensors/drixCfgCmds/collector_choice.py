#!/usr/bin/env python3
"""Independent reference for statkeepctl's collector choice.

Prints, for each node number, the collectors chosen from the candidate list
given on the command line (colRedundancy first), one line per node:
    python3 collector_choice.py 2 c1:9085 c2 c3 -- 1 2 17
The expected rows of StatkeepCtrl_test.cpp were produced with it.
"""
import hashlib
import sys


def point_hash(text):
    h = 0x811C9DC5
    for b in hashlib.md5(text.encode()).digest():
        signed = b - 256 if b >= 128 else b
        h ^= signed & 0xFFFFFFFF
        h = (h * 16777619) & 0xFFFFFFFF
    return h


def ring_of(servers, replicas=100):
    points = {}
    for name in servers:
        key = name
        for i in range(replicas):
            key += str(i)
            points[point_hash(key)] = name
    return sorted(points.items())


def lookup(ring, key):
    h = point_hash(key)
    for point, name in ring:
        if point >= h:
            return name
    return ring[0][1]


def choose(candidates, redundancy, node):
    n = max(redundancy & 0xFFFFFFFF, 1)
    n = min(n, len(candidates))
    if len(candidates) <= n:
        return sorted(set(candidates))
    ring = ring_of(candidates)
    chosen = set()
    suffix = 0x30
    while len(chosen) < n:
        key = node + (chr(suffix) if suffix else "")
        chosen.add(lookup(ring, key))
        suffix = (suffix + 1) & 0xFF
    return sorted(chosen)


if __name__ == "__main__":
    args = sys.argv[1:]
    sep = args.index("--")
    redundancy, candidates, nodes = int(args[0]), args[1:sep], args[sep + 1:]
    print("abc", hex(point_hash("abc")))
    for node in nodes:
        print(node, " ".join(choose(candidates, redundancy, node)))
