// Binding the process-table library by name. Built several times, each
// binary with its own search path: none (no library to be found), a directory
// whose libprocps.so.9 lacks part of the scan interface, that directory plus
// a complete library under a later name, and a library of another record
// layout under libprocps.so.8. VELMAR_EXPECT_BOUND says whether the binary
// should end up with a usable library, VELMAR_EXPECT_SKIPPED names a library
// that must be refused for its layout.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "ProcMap.h"
#include "procps/procps.h"

namespace {

const char* const NAMES[] = {"libprocps.so.9", "libprocps.so.8", "libprocps.so.7",
                             "libprocps.so.6", "libprocps.so.5", "libprocps.so.4",
                             "libprocps.so.3", "libprocps.so",   "libproc.so"};

#if !VELMAR_EXPECT_BOUND
// One Error line for the library of another layout, when there is one.
void expectSkipped(const std::string& err) {
#ifdef VELMAR_EXPECT_SKIPPED
    const std::string line = std::string("Process-table library ") + VELMAR_EXPECT_SKIPPED +
                             " does not have the record layout this program was built for; "
                             "not using it\n";
    EXPECT_NE(err.find("[Error  ]: " + line), std::string::npos) << err;
    EXPECT_EQ(err.find(line), err.rfind(line)) << err;
#else
    (void)err;
#endif
}

TEST(ProcMapBinding, WithoutAUsableLibraryNothingIsBound) {
    // A complete process-table library installed on this host would be found
    // by the system search; then there is nothing to test here.
    for (const char* n : NAMES) {
        void* h = dlopen(n, RTLD_NOW);
        if (h == nullptr) continue;
        auto layout = reinterpret_cast<unsigned long (*)()>(dlsym(h, "velmar_procps_layout"));
        bool complete = dlsym(h, "openproc") && dlsym(h, "readproc") && dlsym(h, "closeproc") &&
                        layout != nullptr && layout() == VELMAR_PROCPS_LAYOUT;
        dlclose(h);
        if (complete) GTEST_SKIP() << n << " is installed on this host";
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(initProcMap(), -1);
    expectSkipped(testing::internal::GetCapturedStderr());
    EXPECT_EQ(initProcMap(), -1);

    procInfoMap_t map;
    map[7] = procInfo_t{7, "keep", 1, 2, 3};
    timeval now = {12, 34};
    EXPECT_EQ(loadProcMap(map, now), -1);
    ASSERT_EQ(map.size(), 1u);
    EXPECT_STREQ(map[7].cmd, "keep");
    EXPECT_EQ(now.tv_sec, 12);
    EXPECT_EQ(now.tv_usec, 34);
}
#else
TEST(ProcMapBinding, AnIncompleteLibraryIsPassedOver) {
    ASSERT_EQ(initProcMap(), 0);
    procInfoMap_t map;
    timeval now;
    ASSERT_EQ(loadProcMap(map, now), 0);
    EXPECT_EQ(map.count(getpid()), 1u);
}
#endif

}  // namespace
