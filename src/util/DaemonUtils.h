// Operating-system helpers for a long-running program and its control tool:
// a locked PID file, the start-up log line written before the logging backend
// exists, detaching into the background, running a shell command, service
// control and two file-system tests. Free functions without shared state;
// daemonize must run while the process has a single thread.
//
// The service manager's script directory and tools are reached through the
// platform path seam, so tests can point them at fake scripts.
#pragma once

#include <cstdio>
#include <string>

#include "Logger.h"

class LoggerStub;

// Opens (creating with mode 0600) and write-locks the PID file, then writes
// the process id into it. The descriptor and its lock are kept until the
// process ends. False, with an Error line, when the file cannot be opened,
// is locked by another process, or cannot be truncated or written;
// `lockedByOther`, when given, then tells whether another process holds the
// lock (another instance runs) rather than the file being unusable.
bool createPidFile(const char* progName, const char* pidFile, LoggerStub* logger,
                   bool* lockedByOther = nullptr);

// Writes one Info line of component "Main" in the logging backend's format
// and flushes the stream.
void initialLog(FILE* out, const char* fmt, ...) VELMAR_PRINTF(2, 3);

// Detaches into the background: fork, the parent exits 0, the child starts a
// session and moves its standard streams to /dev/null. Nothing is done when
// the parent is already init. Messages go to `out` through initialLog.
bool daemonize(FILE* out);

// Runs a command through the shell and logs its output. Returns its exit
// code, 128 plus the signal number when a signal ended it, or -1 when its
// status could not be collected; 1 when it could not be started.
int runCmd(const std::string& cmd, Logger* logger);

// Runs the init script, systemctl or the service tool (in that order of
// preference) with the action for the service. Returns system()'s wait status
// (0 for success), or -1 when no service manager exists or the name or
// action is not a plain word (letters, digits, '-', '_', '.', '@'; not "."
// or "..").
int service(const std::string& name, const std::string& action);

// True for an existing directory with all owner permissions; creates one
// level with mode 0750 when nothing exists at the path.
bool createDirIfNeeded(const char* path);

bool fileExists(const std::string& path);
