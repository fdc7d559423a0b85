// main() of the integration tests: each test runs as a process of its own (one per CTest
// test), and each such process gets a network namespace of its own before any test starts, so
// no two tests, nor any other program, share a port or an X display. Every process a test
// starts must have ended by the time the test is over: one still alive fails the test that
// left it and is killed, so the next test starts clean.
#include "support/xtest.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace
{

// Long enough for a process the test has just killed, or whose X server has just gone, to end.
constexpr int GRACEMS = 3000;

class leftovers : public ::testing::EmptyTestEventListener
{
    void OnTestEnd(const ::testing::TestInfo&) override
    {
        for (const auto& p : endleftovers(GRACEMS))
            ADD_FAILURE() << "still running after the test: " << p;
    }
};

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (!isolate())
        std::fprintf(stderr, "no network namespace of its own: tests that start servers skip\n");
    if (!adoptorphans()) {
        std::fprintf(stderr, "cannot adopt the orphans of the processes tests start\n");
        return 1;
    }
    ::testing::UnitTest::GetInstance()->listeners().Append(new leftovers);
    return RUN_ALL_TESTS();
}
