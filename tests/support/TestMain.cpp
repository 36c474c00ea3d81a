// The tests' main: GoogleTest's own, with one guard. A test binary whose code under test ends
// the process early (an exit(0) in the middle of a test) would otherwise report success to
// ctest, its remaining tests unrun; here it ends with status 3 and says so.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#ifdef _WIN32
#include <process.h>
#define TARVEX_GETPID _getpid
#else
#include <unistd.h>
#define TARVEX_GETPID getpid
#endif

namespace {

bool g_finished = false;
long g_mainPid = 0;

void CheckFinished()
{
    // A child forked by a test (a death test's fast style) exits as it likes.
    if (g_finished || static_cast<long>(TARVEX_GETPID()) != g_mainPid) return;
    std::fputs("the test program was ended before its tests were done\n", stderr);
    std::fflush(stderr);
    std::_Exit(3);
}

} // namespace

int main(int argc, char** argv)
{
    // A death test's re-executed child runs one statement that may end the process on purpose.
    bool deathTestChild = false;
    for (int i = 1; i < argc; ++i)
        if (std::strstr(argv[i], "internal_run_death_test")) deathTestChild = true;
    testing::InitGoogleTest(&argc, argv);
    g_mainPid = static_cast<long>(TARVEX_GETPID());
    if (!deathTestChild) std::atexit(CheckFinished);
    const int rc = RUN_ALL_TESTS();
    g_finished = true;
    return rc;
}
