// The program end to end: announcement, the dialog, Yes relays a real client, No refuses it.
#include "support/xtest.h"

#include <gtest/gtest.h>

class Smoke : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (const auto why = unmet({"Xvfb", "xdotool", "xdpyinfo"}); !why.empty())
            GTEST_SKIP() << why;
        ASSERT_TRUE(x.start());
        ASSERT_TRUE(startvk(v, {"-display", x.name(), "-allow", "localhost"}));
        std::string line;
        ASSERT_TRUE(v.readline(line));
        ASSERT_EQ(line.rfind("display is ", 0), 0U) << line;
        mine = announcednumber(line);
        ASSERT_GE(mine, 0);
    }
    void TearDown() override { killchildren(v.pid); }
    xserver x;
    proc v;
    int mine = -1;
};

TEST_F(Smoke, YesRelaysARealClientAndNoRefusesIt)
{
    proc client;
    ASSERT_TRUE(client.start({"xdpyinfo", "-display", through(6000 + mine)}));
    ASSERT_TRUE(answeralert(x.name(), true));
    ASSERT_NE(client.wait(20000), -1);
    EXPECT_EQ(WEXITSTATUS(client.status), 0) << client.errbuf;
    EXPECT_NE(client.outbuf.find("vendor string:    The X.Org Foundation"), std::string::npos);

    proc denied;
    ASSERT_TRUE(denied.start({"xdpyinfo", "-display", through(6000 + mine)}));
    ASSERT_TRUE(answeralert(x.name(), false));
    ASSERT_NE(denied.wait(20000), -1);
    EXPECT_NE(WEXITSTATUS(denied.status), 0);
    EXPECT_EQ(denied.outbuf, "");
    EXPECT_TRUE(v.running());
}

// Started with standard input, output or error closed, the program runs as with them open: the
// missing one is /dev/null, a client is relayed, and a refused client gets no byte, so no
// diagnostic ever goes into a socket.
class ClosedStandard : public ::testing::TestWithParam<int>
{
};

TEST_P(ClosedStandard, RunsAsWithThemOpen)
{
    if (const auto why = unmet({"Xvfb", "xdpyinfo"}); !why.empty())
        GTEST_SKIP() << why;
    const int fd = GetParam();
    xserver x;
    ASSERT_TRUE(x.start());
    proc v;
    ASSERT_TRUE(startvk(v, {"-display", x.name(), "-allow", "localhost"}, {}, true,
                        {"sh", "-c", "exec \"$0\" \"$@\" " + std::to_string(fd) + "<&-"}));
    int port = -1;
    ASSERT_TRUE(waituntil(
        [&] {
            for (int p = 6000; p <= 6100 && port < 0; ++p)
                port = listensipv4(v.pid, p) ? p : -1;
            return port > 0;
        },
        10000));
    // Start-up is over once standard output is gone (then 0 and 1 are free numbers).
    if (fd != 1) {
        ASSERT_GE(started(v), 0) << v.errbuf;
    }
    if (fd == 2) {
        EXPECT_EQ(fdlink(v.pid, 2), "/dev/null");
    }
    const auto r = runcmd({"xdpyinfo", "-display", "localhost:" + std::to_string(port - 6000)});
    EXPECT_EQ(r.exitcode(), 0) << r.err;
    const int refused = connectfrom("127.0.0.3", port);
    ASSERT_GE(refused, 0);
    bool closed = false;
    EXPECT_EQ(readfor(refused, 1, 5000, &closed), "");
    EXPECT_TRUE(closed);
    ::close(refused);
    if (fd != 2) {
        EXPECT_EQ(errafter(v, 1, 3000), "bad host connect from 127.0.0.3 (127.0.0.3)\n");
    }
    EXPECT_TRUE(v.running());
    killchildren(v.pid);
}

INSTANTIATE_TEST_SUITE_P(Descriptor, ClosedStandard, ::testing::Values(0, 1, 2));
