#include "ProcMap.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "StdOutLogger.h"
#include "procps/procps.h"

namespace {

// Newest first; the unversioned names last, since they are development links
// or, for libproc.so, possibly another library altogether.
const char* const libprocnames[] = {
    "libprocps.so.9", "libprocps.so.8", "libprocps.so.7", "libprocps.so.6", "libprocps.so.5",
    "libprocps.so.4", "libprocps.so.3", "libprocps.so",   "libproc.so",
};

typedef PROCTAB* (*openproc_t)(int, ...);
typedef proc_t* (*readproc_t)(PROCTAB*, proc_t*);
typedef void (*freeproc_t)(proc_t*);
typedef void (*closeproc_t)(PROCTAB*);
typedef unsigned long (*layout_t)(void);

// Set once by initProcMap, then only read.
openproc_t dl_openproc = nullptr;
readproc_t dl_readproc = nullptr;
freeproc_t dl_freeproc = nullptr;
closeproc_t dl_closeproc = nullptr;

const char PROC_NAME_CHARS[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-+.@#/:() ";

// dlsym hands back a data pointer; POSIX guarantees it converts to a function pointer.
template <class Fn>
Fn symbol(void* lib, const char* name) {
    return reinterpret_cast<Fn>(dlsym(lib, name));
}

void storeTask(procInfoMap_t& map, const proc_t* rec) {
    procInfo_t info;
    std::memset(&info, 0, sizeof info);
    info.tid = rec->tid;
    // The library's name is a fixed array; never read past it.
    char cmd[sizeof rec->cmd + 1];
    size_t n = strnlen(rec->cmd, sizeof rec->cmd);
    std::memcpy(cmd, rec->cmd, n);
    cmd[n] = '\0';
    makeProcName(rec->tid, cmd, info.cmd);
    info.utime = rec->utime;
    info.stime = rec->stime;
    info.vmRss = static_cast<uint32_t>(rec->vm_rss);
    map[rec->tid] = info;
}

}  // namespace

void makeProcName(int tid, const char* cmd, char out[16]) {
    const size_t len = std::strlen(cmd);
    const bool allowed = std::strspn(cmd, PROC_NAME_CHARS) == len;
    const size_t shortLen = len < 15 ? len : 15;
    // snprintf with size 15 keeps at most 14 characters.
    if (!allowed || shortLen == 0 || (shortLen == 1 && cmd[0] == ' ')) {
        std::snprintf(out, 15, "%d", tid);
    } else if (shortLen <= 2) {
        std::snprintf(out, 15, "%d_%s", tid, cmd);
    } else {
        std::snprintf(out, 15, "%s", cmd);
    }
}

namespace {

// The file a library handle was loaded from, for messages.
std::string libraryPath(void* lib, const char* name) {
    struct link_map* map = nullptr;
    if (dlinfo(lib, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr &&
        map->l_name[0] != '\0') {
        return map->l_name;
    }
    return name;
}

}  // namespace

int initProcMap() {
    if (dl_openproc != nullptr) return 0;
    for (const char* name : libprocnames) {
        void* lib = dlopen(name, RTLD_NOW);
        if (lib == nullptr) continue;
        // Another library under one of these names (a host's own process-table
        // library) fills records of its own, larger layout: reading into ours
        // would overrun it. Only a library that proves our layout is used.
        layout_t layout = symbol<layout_t>(lib, "velmar_procps_layout");
        if (layout == nullptr || layout() != VELMAR_PROCPS_LAYOUT) {
            // Before the logging backend exists: straight to standard error.
            StdErrLogger().logError(
                "Process-table library %s does not have the record layout this program was "
                "built for; not using it",
                libraryPath(lib, name).c_str());
            dlclose(lib);
            continue;
        }
        openproc_t op = symbol<openproc_t>(lib, "openproc");
        readproc_t rp = symbol<readproc_t>(lib, "readproc");
        closeproc_t cp = symbol<closeproc_t>(lib, "closeproc");
        // A library without the whole scan interface is of no use: binding it
        // would offer a sensor that can never sample.
        if (op == nullptr || rp == nullptr || cp == nullptr) {
            dlclose(lib);
            continue;
        }
        // Older libraries have no freeproc; loadProcMap then reads into its own record.
        dl_freeproc = symbol<freeproc_t>(lib, "freeproc");
        dl_readproc = rp;
        dl_closeproc = cp;
        dl_openproc = op;
        return 0;
    }
    return -1;
}

int loadProcMap(procInfoMap_t& map, timeval& now) {
    if (dl_openproc == nullptr) return -1;
    PROCTAB* pt = dl_openproc(PROC_FILLSTAT | PROC_FILLSTATUS);
    if (pt == nullptr) return -1;
    gettimeofday(&now, nullptr);
    if (dl_freeproc != nullptr) {
        // The record the library allocated for the first task is reused for
        // every further one and handed back once at the end.
        proc_t* rec = nullptr;
        while (proc_t* p = dl_readproc(pt, rec)) {
            rec = p;
            storeTask(map, rec);
        }
        if (rec != nullptr) dl_freeproc(rec);
    } else {
        proc_t rec;
        std::memset(&rec, 0, sizeof rec);
        while (dl_readproc(pt, &rec) != nullptr) storeTask(map, &rec);
    }
    dl_closeproc(pt);
    return 0;
}

void dumpProcMap(const procInfoMap_t& map) {
    time_t t = time(nullptr);
    struct tm tmBuf;
    if (localtime_r(&t, &tmBuf) == nullptr) {
        std::fprintf(stderr, "dumpProcMap: localtime failed\n");
        return;
    }
    char dir[64];
    if (strftime(dir, sizeof dir, "%y-%m-%d-%H", &tmBuf) == 0) {
        std::fprintf(stderr, "dumpProcMap: strftime failed\n");
        return;
    }
    // One directory per hour; it may exist from an earlier dump.
    mkdir(dir, 0777);
    char file[96];
    std::snprintf(file, sizeof file, "%s/%lld", dir, static_cast<long long>(t));
    FILE* f = std::fopen(file, "w");
    if (f == nullptr) return;
    for (const auto& entry : map) {
        const procInfo_t& p = entry.second;
        std::fprintf(f, "%d %s %llu %llu %u \n", static_cast<int>(p.tid), p.cmd,
                     static_cast<unsigned long long>(p.utime),
                     static_cast<unsigned long long>(p.stime), p.vmRss);
    }
    std::fclose(f);
}
