// main() of the integration tests: each test runs as a process of its own (one per CTest
// test), and each such process gets a network namespace of its own before any test starts, so
// no two tests, nor any other program, share a port or an X display.
#include "support/xtest.h"

#include <cstdio>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (!isolate())
        std::fprintf(stderr, "no network namespace of its own: tests that start servers skip\n");
    return RUN_ALL_TESTS();
}
