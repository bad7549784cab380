// A stand-in for a host's own process-table library under one of the names
// the daemon tries: the complete scan interface, but records of its own
// 608-byte layout and no proof of the project's layout. readproc fills the
// whole record it is given, as such a library does.
#include <cstdlib>
#include <cstring>

namespace {

struct ForeignRecord {
    char bytes[608];
};

int scans = 0;

}  // namespace

#define FOREIGN_EXPORT extern "C" __attribute__((visibility("default")))

FOREIGN_EXPORT void* openproc(int, ...) {
    scans = 0;
    return &scans;
}

FOREIGN_EXPORT void* readproc(void* pt, void* p) {
    int* left = static_cast<int*>(pt);
    if (*left > 0) return nullptr;
    ++*left;
    if (p == nullptr) p = std::malloc(sizeof(ForeignRecord));
    std::memset(p, 'x', sizeof(ForeignRecord));
    return p;
}

FOREIGN_EXPORT void closeproc(void*) {}
