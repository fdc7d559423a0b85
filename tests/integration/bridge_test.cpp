// A destination X server that listens on its Unix socket only, reached through a socat bridge
// from a loopback TCP display: the way to put the relay in front of an ordinary X server.
#include "support/answer.h"
#include "support/ports.h"
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
        if (!haveprog("Xvfb") || !haveprog("xdotool") || !haveprog("xdpyinfo") ||
            !haveprog("socat"))
            GTEST_SKIP() << "Xvfb, xdotool, xdpyinfo or socat missing";
        ASSERT_TRUE(x.start({"-nolisten", "tcp"}));
        ASSERT_FALSE(listensipv4(x.p.pid, 6000 + x.display));
        // From the top of the range down: the relay and the test servers take low numbers.
        for (int k = 99; k >= 60 && bridged < 0; --k) {
            // The number is claimed as an X server would, against other tests and servers.
            const int h = holddisplay(k, 1);
            if (h < 0)
                continue;
            if (!portfree(6000 + k)) {
                ::close(h);
                continue;
            }
            const std::string listen =
                "TCP-LISTEN:" + std::to_string(6000 + k) + ",bind=127.0.0.1,reuseaddr,fork";
            const std::string target = "UNIX-CONNECT:/tmp/.X11-unix/X" + std::to_string(x.display);
            ASSERT_TRUE(bridge.start({"socat", listen, target}));
            for (int i = 0; i < 50 && bridge.running(); ++i) {
                if (listensipv4(bridge.pid, 6000 + k)) {
                    bridged = k;
                    break;
                }
                sleepms(100);
            }
            if (bridged < 0) {
                bridge.stop(); // taken meanwhile: try the next number
                ::close(h);
            } else {
                hold = h;
            }
        }
        ASSERT_GE(bridged, 0) << "no free display number for the bridge";
    }
    void TearDown() override
    {
        bridge.stop();
        if (hold >= 0)
            ::close(hold);
    }
    xserver x;
    proc bridge;
    int bridged = -1;
    int hold = -1;
};

TEST_F(Bridge, RelaysARealClientToAUnixSocketServer)
{
    proc v;
    ASSERT_TRUE(v.start(
        {VELKORAN_BIN, "-display", "localhost:" + std::to_string(bridged), "-allow", "localhost"}));
    std::string line;
    ASSERT_TRUE(v.readline(line)) << v.errbuf;
    ASSERT_EQ(line.rfind("display is ", 0), 0U) << line;
    const int mine = announcednumber(line);
    ASSERT_GE(mine, 0);

    const std::string through = "localhost:" + std::to_string(mine);
    proc client;
    ASSERT_TRUE(client.start({"xdpyinfo", "-display", through}));
    // The dialog shows on the server itself, reached here by its Unix socket.
    ASSERT_TRUE(answeruntil(":" + std::to_string(x.display), true, [&] {
        client.drain(10); // its output is larger than a pipe holds
        return !client.running();
    }));
    client.drain(1000);
    EXPECT_TRUE(WIFEXITED(client.status) && WEXITSTATUS(client.status) == 0) << client.errbuf;
    EXPECT_NE(client.outbuf.find("name of display:    " + through), std::string::npos);
    EXPECT_NE(client.outbuf.find("dimensions:    1280x1024 pixels"), std::string::npos);
    EXPECT_TRUE(v.running());
    v.drain(200);
    EXPECT_EQ(v.errbuf, "");
}

} // namespace
