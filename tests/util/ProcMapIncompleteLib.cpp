// A stand-in process-table library that has only openproc: a program must not
// bind it, since it could never read a task.
#include <cstddef>

extern "C" __attribute__((visibility("default"))) void* openproc(int, ...) { return nullptr; }
