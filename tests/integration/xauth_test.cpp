// X authorization through the relay: a destination X server that demands MIT-MAGIC-COOKIE-1
// gets each client's authorization as the client sent it, the client looks its cookie up under
// the announced display name, and the probe and the dialog open the destination with the
// user's own authority file.
#include "support/xtest.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

std::string randomcookie()
{
    unsigned char b[16] = {};
    const int fd = ::open("/dev/urandom", O_RDONLY);
    if (fd >= 0) {
        if (::read(fd, b, sizeof b) != static_cast<ssize_t>(sizeof b))
            b[0] ^= 1;
        ::close(fd);
    }
    static const char hex[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : b) {
        s.push_back(hex[c >> 4]);
        s.push_back(hex[c & 15]);
    }
    return s;
}

// A private directory for the authority files, removed with everything in it.
struct scratch {
    std::string path;
    scratch()
    {
        char t[] = "/tmp/velkoran-xauth.XXXXXX";
        if (::mkdtemp(t) != nullptr)
            path = t;
    }
    ~scratch()
    {
        if (!path.empty())
            runcmd({"rm", "-rf", path});
    }
};

cmdresult xauth(const std::string& file, std::vector<std::string> args)
{
    args.insert(args.begin(), {"xauth", "-q", "-f", file});
    return runcmd(args);
}

// An Xvfb that holds its own IPv4 port, so that localhost:M leads to it and nowhere else.
std::unique_ptr<xserver> startdestination(const std::vector<std::string>& extra)
{
    auto x = std::make_unique<xserver>();
    return x->start(extra) ? std::move(x) : nullptr;
}

class XAuth : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (const auto why = unmet({"Xvfb", "xdotool", "xdpyinfo", "xauth"}); !why.empty())
            GTEST_SKIP() << why;
        ASSERT_FALSE(dir.path.empty());
        cookie = randomcookie();
        // The server takes every cookie in its file, whatever display an entry names.
        const std::string server = dir.path + "/server";
        ASSERT_EQ(xauth(server, {"add", ":0", ".", cookie}).exitcode(), 0);
        x = startdestination({"-listen", "tcp", "-auth", server});
        ASSERT_TRUE(x != nullptr);
        // The user's own authority: the destination's cookie under the destination's name.
        user = dir.path + "/user";
        ASSERT_EQ(xauth(user, {"add", x->name(), "MIT-MAGIC-COOKIE-1", cookie}).exitcode(), 0);
        // xdotool, run from here, answers the dialogs as that user.
        if (const char* old = std::getenv("XAUTHORITY"))
            saved = old;
        ::setenv("XAUTHORITY", user.c_str(), 1);
    }
    void TearDown() override
    {
        if (saved.empty())
            ::unsetenv("XAUTHORITY");
        else
            ::setenv("XAUTHORITY", saved.c_str(), 1);
    }
    scratch dir;
    std::unique_ptr<xserver> x;
    std::string cookie, user, saved;
};

TEST_F(XAuth, ProbeOpensTheDestinationWithTheUsersAuthority)
{
    const auto r = runvk({"-display", x->name(), "-allow", "localhost"},
                         {"XAUTHORITY=" + dir.path + "/missing"});
    EXPECT_EQ(r.exitcode(), 1);
    EXPECT_EQ(r.out.rfind("display is ", 0), 0U) << r.out;
    const std::string last = "Unable to open display at destination.\n";
    ASSERT_GE(r.err.size(), last.size()) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - last.size()), last) << r.err;
    EXPECT_NE(r.err.find("Authorization required"), std::string::npos) << r.err;
}

TEST_F(XAuth, ClientFindsItsCookieUnderTheAnnouncedName)
{
    proc v;
    ASSERT_TRUE(startvk(v, {"-display", x->name(), "-allow", "localhost"}, {"XAUTHORITY=" + user}));
    std::string line;
    ASSERT_TRUE(v.readline(line)) << v.errbuf;
    ASSERT_EQ(line.rfind("display is ", 0), 0U) << line;
    const std::string announced = line.substr(11, line.size() - 12);
    const int mine = announcednumber(line);
    ASSERT_GE(mine, 0);

    // The recipe as a user types it: the destination's cookie, listed under the destination's
    // name, added under the announced name.
    const std::string recipe = dir.path + "/recipe";
    ASSERT_EQ(runcmd({"cp", user, recipe}).exitcode(), 0);
    std::string commands = "set -e\n";
    commands += "cookie=$(xauth list " + x->name() + " | awk '{print $3; exit}')\n";
    commands += "xauth add " + announced + " MIT-MAGIC-COOKIE-1 \"$cookie\"\n";
    const auto r = runcmd({"bash", "-c", commands}, {"XAUTHORITY=" + recipe});
    ASSERT_EQ(r.exitcode(), 0) << r.err;
    // Only the destination's name: the client looks under the announced one and finds nothing.
    const std::string destonly = dir.path + "/destonly";
    ASSERT_EQ(runcmd({"cp", user, destonly}).exitcode(), 0);
    // A cookie under the announced name that the destination does not know.
    const std::string wrong = dir.path + "/wrong";
    ASSERT_EQ(xauth(wrong, {"add", announced, "MIT-MAGIC-COOKIE-1", randomcookie()}).exitcode(), 0);

    struct row {
        const char* what;
        std::string authority, display;
        const char* refusal; // the destination's reason as Xlib prints it; empty: it works
    };
    const std::string local = through(6000 + mine);
    const char* none = "Authorization required, but no authorization protocol specified";
    // The destination saw the client's own cookie, passed on untouched, and rejected it.
    const char* badkey = "Invalid MIT-MAGIC-COOKIE-1 key";
    const std::vector<row> rows = {
        {"no authority file", dir.path + "/missing", announced, none},
        {"cookie under the destination's name only", destonly, announced, none},
        {"wrong cookie under the announced name", wrong, announced, badkey},
        {"recipe, announced name", recipe, announced, ""},
        {"recipe, localhost and the announced number", recipe, local, ""},
    };
    // All clients at once: one dialog each, every one answered Yes.
    std::vector<std::unique_ptr<proc>> clients;
    for (const auto& c : rows) {
        clients.push_back(std::make_unique<proc>());
        ASSERT_TRUE(clients.back()->start({"xdpyinfo", "-display", c.display},
                                          {"XAUTHORITY=" + c.authority}));
    }
    ASSERT_TRUE(answeruntil(x->name(), true, [&] {
        for (auto& c : clients)
            c->drain(10);
        return !anyrunning(clients);
    }));

    for (size_t i = 0; i < rows.size(); ++i) {
        proc& c = *clients[i];
        ASSERT_NE(c.wait(15000), -1) << rows[i].what << ": still running";
        c.drain(1000); // reaped while answering: what it wrote may still sit in the pipes
        const bool ok = WIFEXITED(c.status) && WEXITSTATUS(c.status) == 0;
        const std::string refusal = rows[i].refusal;
        EXPECT_EQ(ok, refusal.empty()) << rows[i].what << "\n" << c.errbuf;
        if (refusal.empty()) {
            EXPECT_NE(c.outbuf.find("name of display:    " + rows[i].display), std::string::npos)
                << rows[i].what;
            // The destination's own screen, not some other server's.
            EXPECT_NE(c.outbuf.find("dimensions:    1280x1024 pixels"), std::string::npos)
                << rows[i].what;
        } else {
            EXPECT_EQ(c.outbuf, "") << rows[i].what;
            EXPECT_NE(c.errbuf.find(refusal), std::string::npos) << rows[i].what << "\n"
                                                                 << c.errbuf;
        }
    }
    // Refusals came from the destination, after the relay had done its part without a word.
    EXPECT_TRUE(v.running());
    v.drain(200);
    EXPECT_EQ(v.errbuf, "");
}

// Where localhost also names ::1 and another local user holds [::1] on the destination's port
// (the bridge holds 127.0.0.1 only), the start-up check, every dialog and every relayed client
// reach the address that was checked, and the other program receives nothing: no question, no
// cookie. The cookie stored the usual way, under localhost, is still found.
TEST_F(XAuth, TheDestinationIsReachedAtItsCheckedAddressOnly)
{
    if (const auto why = unmet({"socat", "unshare"}); !why.empty())
        GTEST_SKIP() << why;
    const int bridge = 6000 + 40;
    proc socat;
    ASSERT_TRUE(socat.start(
        {"socat",
         "TCP4-LISTEN:" + std::to_string(bridge) + ",bind=127.0.0.1,reuseaddr,fork,nodelay",
         "TCP4:127.0.0.1:" + std::to_string(6000 + x->display)}));
    ASSERT_TRUE(waituntil([&] { return listensipv4(socat.pid, bridge); }, 5000));
    const int other = ::socket(AF_INET6, SOCK_STREAM, 0);
    ASSERT_GE(other, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    a.sin6_port = htons(bridge);
    ASSERT_EQ(::bind(other, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(other, 16), 0);
    nonblock(other);
    const std::string dest = "localhost:40";
    ASSERT_EQ(xauth(user, {"add", dest, "MIT-MAGIC-COOKIE-1", cookie}).exitcode(), 0);
    const std::string hosts = dir.path + "/hosts";
    {
        std::ifstream system("/etc/hosts");
        std::ofstream(hosts) << "::1 localhost\n" << system.rdbuf();
    }
    // A private hosts file in a mount namespace of its own: localhost is ::1 first.
    proc v;
    ASSERT_TRUE(startvk(
        v, {"-display", dest, "-allow", "localhost"}, {"XAUTHORITY=" + user}, false,
        {"unshare", "-m", "sh", "-c", "mount --bind \"$0\" /etc/hosts && exec \"$@\"", hosts}));
    const int mine = started(v);
    v.drain(100);
    ASSERT_GE(mine, 0) << v.errbuf << v.outbuf;
    const std::string clientauth = dir.path + "/client";
    ASSERT_EQ(xauth(clientauth,
                    {"add", "localhost:" + std::to_string(mine), "MIT-MAGIC-COOKIE-1", cookie})
                  .exitcode(),
              0);
    proc client;
    ASSERT_TRUE(client.start({"xdpyinfo", "-display", "localhost:" + std::to_string(mine)},
                             {"XAUTHORITY=" + clientauth}));
    EXPECT_TRUE(answeralert(x->name(), true)) << "no question on the user's display";
    ASSERT_NE(client.wait(15000), -1);
    EXPECT_EQ(WEXITSTATUS(client.status), 0) << client.errbuf;
    EXPECT_NE(client.outbuf.find("dimensions:    1280x1024 pixels"), std::string::npos);
    const int took = ::accept(other, nullptr, nullptr);
    EXPECT_LT(took, 0) << "the program on [::1] was reached";
    if (took >= 0)
        ::close(took);
    ::close(other);
    v.drain(200);
    EXPECT_EQ(v.errbuf, "");
    killchildren(v.pid);
}

} // namespace
