// The host's process table for the top-process sensor: every task with its
// CPU times, resident size and a short printable name.
//
// The table is read through the process-table library, bound at run time with
// dlopen so that the daemon starts on hosts without it; the top-process sensor
// is then not offered. initProcMap binds it once, during static
// initialisation, before any thread exists; loadProcMap and dumpProcMap are
// then called on the top-process sensor's thread only.
#pragma once

#include <sys/time.h>
#include <sys/types.h>

#include <cstdint>
#include <map>

struct procInfo_t {
    pid_t tid;
    char cmd[16];    // printable name, see makeProcName
    uint64_t utime;  // user-mode CPU time, clock ticks
    uint64_t stime;  // kernel-mode CPU time, clock ticks
    uint32_t vmRss;  // resident set size, KiB
};

typedef std::map<int, procInfo_t> procInfoMap_t;

// Binds the library under the first of its known names that proves the
// record layout this program was compiled against and provides a complete
// scan interface. A library of another layout is skipped with one Error line
// on standard error naming it. 0 when bound (now or before), -1 when none is.
int initProcMap();

// Adds every task to the map, overwriting entries of the same id and keeping
// the others (the caller empties the map between samples). `now` receives the
// wall-clock time taken just before the first task is read. -1, with map and
// `now` unchanged, when the library is not bound or the scan cannot start.
int loadProcMap(procInfoMap_t& map, timeval& now);

// Writes the map to the file <cwd>/<yy-mm-dd-HH>/<epoch seconds>, one line
// "tid cmd utime stime vmRss " per task. Errors go to standard error.
void dumpProcMap(const procInfoMap_t& map);

// The printable name of a task: the task id alone when the library's name is
// empty, a lone blank or holds a character outside letters, digits and
// "_-+.@#/:() "; "<tid>_<name>" for names of one or two characters; else the
// name. Cut to 14 characters, NUL-terminated.
void makeProcName(int tid, const char* cmd, char out[16]);
