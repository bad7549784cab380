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
    # One byte per character: key suffixes above 0x7F are single bytes in the
    # tool, not UTF-8 pairs.
    h = 0x811C9DC5
    for b in hashlib.md5(text.encode("latin-1")).digest():
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


def address(candidate):
    """Host and port a candidate connects to: spellings of one count once."""
    pieces = [p for p in candidate.split(":") if p]
    port = pieces[1] if len(pieces) > 1 else "4739"
    if port.isdigit() and port.isascii():
        port = str(min(int(port), 65536))
    return pieces[0] + ":" + port


def choose(candidates, redundancy, node):
    n = max(redundancy & 0xFFFFFFFF, 1)
    n = min(n, len({address(c) for c in candidates}))
    chosen, taken = set(), set()

    def take(c):
        if address(c) not in taken:
            taken.add(address(c))
            chosen.add(c)

    if len({address(c) for c in candidates}) <= n:
        for c in sorted(set(candidates)):
            take(c)
        return sorted(chosen)
    ring = ring_of(candidates)
    suffix = 0x30
    for _ in range(256):
        if len(chosen) >= n:
            break
        take(lookup(ring, node + (chr(suffix) if suffix else "")))
        suffix = (suffix + 1) & 0xFF
    return sorted(chosen)


if __name__ == "__main__":
    args = sys.argv[1:]
    sep = args.index("--")
    redundancy, candidates, nodes = int(args[0]), args[1:sep], args[sep + 1:]
    print("abc", hex(point_hash("abc")))
    for node in nodes:
        print(node, " ".join(choose(candidates, redundancy, node)))
