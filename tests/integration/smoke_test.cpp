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
