// A destination X server that listens on its Unix socket only, reached through a socat bridge
// from a loopback TCP display: the way to put the relay in front of an ordinary X server.
#include "support/xtest.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

class Bridge : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (const auto why = unmet({"Xvfb", "xdotool", "xdpyinfo", "socat"}); !why.empty())
            GTEST_SKIP() << why;
        ASSERT_TRUE(x.start({"-nolisten", "tcp"}));
        ASSERT_FALSE(listensipv4(x.p.pid, 6000 + x.display));
        // The top of the range, out of the way of the relay, which takes the lowest free one.
        const std::string listen =
            "TCP-LISTEN:" + std::to_string(6000 + BRIDGED) + ",bind=127.0.0.1,reuseaddr,fork";
        // Its abstract name, which is private to this test's network namespace: the file of the
        // same name is shared with every other test, whose server may have the same number.
        const std::string target = "ABSTRACT-CONNECT:/tmp/.X11-unix/X" + std::to_string(x.display);
        ASSERT_TRUE(bridge.start({"socat", listen, target}));
        ASSERT_TRUE(waituntil([&] { return listensipv4(bridge.pid, 6000 + BRIDGED); }, 5000))
            << bridge.errbuf;
    }
    static constexpr int BRIDGED = 100;
    xserver x;
    proc bridge;
};

TEST_F(Bridge, RelaysARealClientToAUnixSocketServer)
{
    proc v;
    ASSERT_TRUE(
        startvk(v, {"-display", "localhost:" + std::to_string(BRIDGED), "-allow", "localhost"}));
    std::string line;
    ASSERT_TRUE(v.readline(line)) << v.errbuf;
    ASSERT_EQ(line.rfind("display is ", 0), 0U) << line;
    const int mine = announcednumber(line);
    ASSERT_GE(mine, 0);

    proc client;
    ASSERT_TRUE(client.start({"xdpyinfo", "-display", through(6000 + mine)}));
    // The dialog shows on the server itself, reached here by its Unix socket.
    ASSERT_TRUE(answeruntil(":" + std::to_string(x.display), true, [&] {
        client.drain(10); // its output is larger than a pipe holds
        return !client.running();
    }));
    client.drain(1000);
    EXPECT_TRUE(WIFEXITED(client.status) && WEXITSTATUS(client.status) == 0) << client.errbuf;
    EXPECT_NE(client.outbuf.find("name of display:    " + through(6000 + mine)), std::string::npos);
    EXPECT_NE(client.outbuf.find("dimensions:    1280x1024 pixels"), std::string::npos);
    EXPECT_TRUE(v.running());
    v.drain(200);
    EXPECT_EQ(v.errbuf, "");
    killchildren(v.pid);
}

} // namespace
