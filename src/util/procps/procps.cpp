// Reads the task table from /proc for the daemon's top-process sensor: one
// record per process directory, with the short name and CPU times from
// <pid>/stat and the resident size from <pid>/status.
//
// <pid>/stat is "pid (comm) state ppid ... utime stime ...": comm is any
// bytes the process chose (prctl may put blanks and parentheses in it), so it
// is the text between the first '(' and the last ')', and the numeric fields
// are counted from that last ')'. <pid>/status has a "VmRSS:  N kB" line for
// processes with an address space; kernel threads have none.
#include "procps.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define PROCPS_EXPORT extern "C" __attribute__((visibility("default")))

struct PROCTAB {
    DIR* dir;
    int flags;
    char procDir[PATH_MAX];
    // One file buffer for the whole scan, grown when a file needs it.
    char* buf;
    size_t cap;
};

namespace {

// A status file holds one line per supplementary group; beyond this a file
// is not what we expect and the task is skipped.
constexpr size_t MAX_FILE = 1024 * 1024;
constexpr size_t FIRST_CAP = 4096;

// Fields after the ')' that closes comm: state is field 3 of the line, so
// utime (field 14) and stime (field 15) are the 12th and 13th after it.
constexpr int UTIME_AFTER_COMM = 11;
constexpr int STIME_AFTER_COMM = 12;

// Reads a whole file into pt->buf, NUL-terminated; the length, or -1.
long readFile(PROCTAB* pt, const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    size_t len = 0;
    for (;;) {
        if (len + 1 >= pt->cap) {
            if (pt->cap >= MAX_FILE) {
                close(fd);
                return -1;
            }
            size_t ncap = pt->cap * 2;
            char* nbuf = static_cast<char*>(realloc(pt->buf, ncap));
            if (nbuf == nullptr) {
                close(fd);
                return -1;
            }
            pt->buf = nbuf;
            pt->cap = ncap;
        }
        ssize_t n = read(fd, pt->buf + len, pt->cap - 1 - len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return -1;
        }
        if (n == 0) break;
        len += static_cast<size_t>(n);
    }
    close(fd);
    pt->buf[len] = '\0';
    return static_cast<long>(len);
}

bool parseUnsigned(const char* s, const char** end, unsigned long long* out) {
    if (*s < '0' || *s > '9') return false;
    char* e;
    errno = 0;
    unsigned long long v = strtoull(s, &e, 10);
    if (errno != 0) return false;
    *out = v;
    *end = e;
    return true;
}

bool parseStat(const char* buf, size_t len, proc_t* p) {
    const char* open = static_cast<const char*>(memchr(buf, '(', len));
    if (open == nullptr) return false;
    const char* close = static_cast<const char*>(memrchr(open, ')', len - (open - buf)));
    if (close == nullptr) return false;
    size_t n = static_cast<size_t>(close - open - 1);
    if (n >= sizeof p->cmd) n = sizeof p->cmd - 1;
    memcpy(p->cmd, open + 1, n);
    p->cmd[n] = '\0';

    const char* s = close + 1;
    for (int field = 0; field <= STIME_AFTER_COMM; ++field) {
        while (*s == ' ') ++s;
        if (*s == '\0' || *s == '\n') return false;
        if (field == UTIME_AFTER_COMM || field == STIME_AFTER_COMM) {
            unsigned long long v;
            if (!parseUnsigned(s, &s, &v)) return false;
            (field == UTIME_AFTER_COMM ? p->utime : p->stime) = v;
        }
        while (*s != ' ' && *s != '\0' && *s != '\n') ++s;
    }
    return true;
}

void parseStatus(const char* buf, proc_t* p) {
    static const char key[] = "VmRSS:";
    const char* line = buf;
    while (line != nullptr && *line != '\0') {
        if (strncmp(line, key, sizeof key - 1) == 0) {
            const char* s = line + sizeof key - 1;
            while (*s == ' ' || *s == '\t') ++s;
            unsigned long long v;
            if (parseUnsigned(s, &s, &v)) p->vm_rss = static_cast<unsigned long>(v);
            return;
        }
        line = strchr(line, '\n');
        if (line != nullptr) ++line;
    }
}

// A process directory name: decimal digits only, within int.
bool taskId(const char* name, int* tid) {
    if (*name == '\0') return false;
    long long v = 0;
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return false;
        v = v * 10 + (*c - '0');
        if (v > INT_MAX) return false;
    }
    *tid = static_cast<int>(v);
    return true;
}

// Fills rec for one task; false when the task is gone or unreadable.
bool readTask(PROCTAB* pt, int tid, proc_t* rec) {
    memset(rec, 0, sizeof *rec);
    rec->tid = tid;
    char path[PATH_MAX];
    if (pt->flags & PROC_FILLSTAT) {
        if (snprintf(path, sizeof path, "%s/%d/stat", pt->procDir, tid) >= (int)sizeof path)
            return false;
        long n = readFile(pt, path);
        if (n < 0 || !parseStat(pt->buf, static_cast<size_t>(n), rec)) return false;
    }
    if (pt->flags & PROC_FILLSTATUS) {
        if (snprintf(path, sizeof path, "%s/%d/status", pt->procDir, tid) >= (int)sizeof path)
            return false;
        if (readFile(pt, path) < 0) return false;
        parseStatus(pt->buf, rec);
    }
    return true;
}

}  // namespace

PROCPS_EXPORT PROCTAB* openproc(int flags, ...) {
    PROCTAB* pt = static_cast<PROCTAB*>(calloc(1, sizeof(PROCTAB)));
    if (pt == nullptr) return nullptr;
    const char* root = getenv("VELMAR_PLATFORM_ROOT");
    if (root == nullptr) root = "";
    size_t rootLen = strlen(root);
    while (rootLen > 0 && root[rootLen - 1] == '/') --rootLen;
    if (snprintf(pt->procDir, sizeof pt->procDir, "%.*s/proc", (int)rootLen, root) >=
        (int)sizeof pt->procDir) {
        free(pt);
        return nullptr;
    }
    pt->flags = flags;
    pt->cap = FIRST_CAP;
    pt->buf = static_cast<char*>(malloc(pt->cap));
    pt->dir = opendir(pt->procDir);
    if (pt->buf == nullptr || pt->dir == nullptr) {
        closeproc(pt);
        return nullptr;
    }
    return pt;
}

PROCPS_EXPORT proc_t* readproc(PROCTAB* pt, proc_t* p) {
    if (pt == nullptr || pt->dir == nullptr) return nullptr;
    proc_t rec;
    struct dirent* ent;
    while ((ent = readdir(pt->dir)) != nullptr) {
        int tid;
        if (!taskId(ent->d_name, &tid) || !readTask(pt, tid, &rec)) continue;
        if (p == nullptr) {
            p = static_cast<proc_t*>(malloc(sizeof *p));
            if (p == nullptr) return nullptr;
        }
        *p = rec;
        return p;
    }
    return nullptr;
}

PROCPS_EXPORT void freeproc(proc_t* p) { free(p); }

PROCPS_EXPORT unsigned long velmar_procps_layout(void) { return VELMAR_PROCPS_LAYOUT; }

PROCPS_EXPORT void closeproc(PROCTAB* pt) {
    if (pt == nullptr) return;
    if (pt->dir != nullptr) closedir(pt->dir);
    free(pt->buf);
    free(pt);
}
