// Start-up from the announcement on: the first free port, the checks that follow the line, the
// probe of the destination display, and the running program with standard output closed.
//
// Each test process has the network to itself: every port of the range is free until a test
// takes it, by binding 0.0.0.0:6000+k itself.
#include "support/xtest.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <netdb.h>
#include <netinet/in.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr int PORTBASE = 6000;
constexpr int LASTDISPLAY = 100;
const std::string OUTOFRANGE = "display must be >= X11.0 and <= X11.100\n";
const std::string NOALLOW = "must specify at least one allowed host.\n";
const std::string NOPROBE = "Unable to open display at destination.\n";

// The local host's canonical name as the program finds it, cut to the program's 255 bytes.
std::string canonname()
{
    char raw[256] = {};
    if (::gethostname(raw, sizeof raw - 1) != 0)
        return {};
    const hostent* h = ::gethostbyname(raw);
    if (h == nullptr || h->h_name == nullptr)
        return {};
    return std::string(h->h_name).substr(0, 255);
}

// The announcement a program with this name and number must print.
std::string line(bool terse, const std::string& host, int n)
{
    return (terse ? "" : "display is ") + host + ":" + std::to_string(n) + "\n";
}

// Ports 6000+k held by the test on 0.0.0.0, so that the program's bind there fails with
// EADDRINUSE: a listening socket (with address reuse, as an X server has it), or a socket bound
// without address reuse and not listening; or only the port's IPv6 twin on [::], bound IPv6-only
// as the program holds it. All are released when the holder goes.
struct ports {
    std::map<int, int> held;  // display number -> socket on 0.0.0.0
    std::map<int, int> held6; // display number -> socket on [::]
    ports() = default;
    ports(const ports&) = delete;
    ports& operator=(const ports&) = delete;
    ~ports()
    {
        for (auto& [k, fd] : held)
            ::close(fd);
        for (auto& [k, fd] : held6)
            ::close(fd);
    }
    // False when someone else has the port.
    bool hold(int k, bool listening, bool six = false)
    {
        const int fd = ::socket(six ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        const int one = 1;
        if ((listening && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) ||
            (six && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) != 0)) {
            ::close(fd);
            return false;
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(static_cast<uint16_t>(PORTBASE + k));
        sockaddr_in6 a6{};
        a6.sin6_family = AF_INET6;
        a6.sin6_addr = in6addr_any;
        a6.sin6_port = a.sin_port;
        const int bound = six ? ::bind(fd, reinterpret_cast<sockaddr*>(&a6), sizeof a6)
                              : ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        if (bound != 0 || (listening && ::listen(fd, 4) != 0)) {
            ::close(fd);
            return false;
        }
        (six ? held6 : held)[k] = fd;
        return true;
    }
};

// The errno of a connection to ::1 at port, 0 if it was taken.
int connect6(int port)
{
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    const int e = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : errno;
    ::close(fd);
    return e;
}

// The fixtures of tests that take ports: nothing but the test may hold one.
class StartupPorts : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (const auto why = unmet(); !why.empty())
            GTEST_SKIP() << why;
        host = canonname();
        ASSERT_FALSE(host.empty());
    }
    cmdresult run(const std::vector<std::string>& env = {"DISPLAY="})
    {
        return runvk({"-display", "localhost:101", "-allow", "127.0.0.2"}, env);
    }
    std::string host;
    ports held;
};

} // namespace

// The line comes first; the destination number and the allow list are judged after it.
TEST(StartupAnnouncement, ChecksAfterTheLine)
{
    const std::string host = canonname();
    ASSERT_FALSE(host.empty()) << "the local host name does not resolve";
    struct aftercase {
        const char* what;
        std::vector<std::string> args;
        std::vector<std::string> env;
        bool terse;
        std::string err;
    };
    const std::vector<std::string> nodisplay = {"DISPLAY="};
    const std::vector<aftercase> table = {
        {"101 refused",
         {"-display", "localhost:101", "-allow", "127.0.0.2"},
         nodisplay,
         false,
         OUTOFRANGE},
        {"terse line",
         {"-terse", "-display", "localhost:101", "-allow", "127.0.0.2"},
         nodisplay,
         true,
         OUTOFRANGE},
        {"-1 is 65535",
         {"-display", "localhost:-1", "-allow", "127.0.0.2"},
         nodisplay,
         false,
         OUTOFRANGE},
        {"65536+101 is 101",
         {"-display", "localhost:65637", "-allow", "127.0.0.2"},
         nodisplay,
         false,
         OUTOFRANGE},
        {"screen number plays no part",
         {"-display", "localhost:101.0", "-allow", "127.0.0.2"},
         nodisplay,
         false,
         OUTOFRANGE},
        {"the number is checked before the allow list",
         {"-terse", "-display", "localhost:101"},
         nodisplay,
         true,
         OUTOFRANGE},
        {"100 accepted", {"-terse", "-display", "localhost:100"}, nodisplay, true, NOALLOW},
        {"100 with a screen accepted",
         {"-terse", "-display", "localhost:100.7"},
         nodisplay,
         true,
         NOALLOW},
        {"65536 wraps to 0", {"-terse", "-display", "localhost:65536"}, nodisplay, true, NOALLOW},
        {"65536+100 wraps to 100",
         {"-terse", "-display", "localhost:65636"},
         nodisplay,
         true,
         NOALLOW},
        {"no ':' reads as 0", {"-terse", "-display", "localhost"}, nodisplay, true, NOALLOW},
        {"empty number reads as 0", {"-terse", "-display", "localhost:"}, nodisplay, true, NOALLOW},
        {"number text that is no number reads as 0",
         {"-terse", "-display", "localhost:x9"},
         nodisplay,
         true,
         NOALLOW},
        {"display from DISPLAY, no -allow",
         {"-terse", "-terse"},
         {"DISPLAY=localhost:3"},
         true,
         NOALLOW},
    };
    ASSERT_EQ(OUTOFRANGE.size(), 40U);
    ASSERT_EQ(NOALLOW.size(), 40U);
    for (const auto& c : table) {
        SCOPED_TRACE(c.what);
        const cmdresult r = runvk(c.args, c.env);
        EXPECT_EQ(r.exitcode(), 1);
        EXPECT_EQ(r.err, c.err);
        const int n = announcednumber(r.out);
        EXPECT_GE(n, 0);
        EXPECT_LE(n, LASTDISPLAY);
        EXPECT_EQ(r.out, line(c.terse, host, n));
    }
}

TEST_F(StartupPorts, FirstFreePortIsAnnounced)
{
    const std::vector<std::string> noipv6 = {"FAKE_SOCKET_ERRNO=97", "FAKE_SOCKET_FAMILY=10"};
    struct portcase {
        std::string pattern; // 'x': the test holds that port; '6': only its IPv6 twin
        bool ipv6;           // false: the system has no IPv6, so a '6' counts as free
    };
    const std::vector<portcase> table = {
        {".", true},  {"x.", true},  {"xx.", true},  {"x.x.", true}, {"xxx.", true},
        {"6.", true}, {"66.", true}, {"x6x.", true}, {"6.", false},
    };
    for (const auto& c : table) {
        SCOPED_TRACE("pattern " + c.pattern + (c.ipv6 ? "" : " without IPv6"));
        std::vector<std::string> env = {"DISPLAY="};
        if (!c.ipv6)
            env.insert(env.end(), noipv6.begin(), noipv6.end());
        ports taken;
        for (size_t k = 0; k < c.pattern.size(); ++k) {
            if (c.pattern[k] != '.') {
                ASSERT_TRUE(
                    taken.hold(static_cast<int>(k), c.pattern[k] == 'x', c.pattern[k] == '6'));
            }
        }
        const cmdresult r = run(env);
        EXPECT_EQ(r.err, OUTOFRANGE);
        EXPECT_EQ(r.out, line(false, host,
                              static_cast<int>(c.pattern.find_first_of(c.ipv6 ? "." : ".6"))));
    }
}

TEST_F(StartupPorts, AllPortsInUse)
{
    for (int k = 0; k <= LASTDISPLAY; ++k)
        ASSERT_TRUE(held.hold(k, true));
    cmdresult r = run();
    EXPECT_EQ(r.exitcode(), 1);
    EXPECT_EQ(r.err, "all ports in use.\n");
    EXPECT_EQ(r.out, "");

    // The last port is still tried: with only 6100 free it is taken.
    ::close(held.held[LASTDISPLAY]);
    held.held.erase(LASTDISPLAY);
    r = run();
    EXPECT_EQ(r.out, line(false, host, LASTDISPLAY));
    EXPECT_EQ(r.err, OUTOFRANGE);
}

// A bind refused for another reason than a taken port ends the search at that port.
TEST_F(StartupPorts, BindRefusedEndsTheSearch)
{
    // The port below the refused one is taken; free ones follow it.
    ASSERT_TRUE(held.hold(0, true));
    const cmdresult r = run({"DISPLAY=", "FAKE_BIND_ERRNO=13", "FAKE_BIND_PORT=6001"});
    EXPECT_EQ(r.exitcode(), 1);
    EXPECT_EQ(r.err, "bind: Permission denied\n");
    EXPECT_EQ(r.out, "");
}

// A port whose bind succeeds but whose listen finds it taken (another program bound it at the
// same moment, with address reuse, and listened first) is passed over like a taken port; the
// next free one is announced.
TEST_F(StartupPorts, PortTakenBetweenBindAndListenIsPassedOver)
{
    const cmdresult r = run({"DISPLAY=", "FAKE_LISTEN_ERRNO=98", "FAKE_LISTEN_PORT=6000"});
    EXPECT_EQ(r.err, OUTOFRANGE);
    EXPECT_EQ(r.out, line(false, host, 1));
}

// The destination's port is bound by the test but not listening: the probe is refused.
TEST_F(StartupPorts, ProbeWhereNothingListens)
{
    ASSERT_TRUE(held.hold(7, false)); // bound, not listening: connections are refused
    for (const bool terse : {false, true}) {
        std::vector<std::string> args = {"-display", "localhost:7", "-allow", "127.0.0.2"};
        if (terse)
            args.insert(args.begin(), "-terse");
        const cmdresult r = runvk(args, {"DISPLAY="});
        EXPECT_EQ(r.exitcode(), 1);
        EXPECT_EQ(r.err, NOPROBE);
        EXPECT_EQ(r.out, line(terse, host, 0));
    }
}

// A destination that accepts the connection but never answers holds the probe up; the line
// must be out already, not waiting in a buffer for the probe to end.
TEST_F(StartupPorts, AnnouncementPrecedesTheProbe)
{
    ASSERT_TRUE(held.hold(7, true)); // listening, never accepting
    proc v;
    ASSERT_TRUE(
        startvk(v, {"-terse", "-display", "localhost:7", "-allow", "127.0.0.2"}, {"DISPLAY="}));
    std::string l;
    ASSERT_TRUE(v.readline(l, 5000)) << v.errbuf;
    const long shown = nowms();
    EXPECT_EQ(l, line(true, host, 0));
    EXPECT_TRUE(v.running());
    EXPECT_EQ(v.errbuf, "");
    // A destination silent for 10 s ends start-up; it is never waited for without a limit.
    ASSERT_NE(v.wait(15000), -1) << "still waiting for the destination after 15 s";
    const long waited = nowms() - shown;
    EXPECT_EQ(v.errbuf, NOPROBE);
    EXPECT_TRUE(WIFEXITED(v.status) && WEXITSTATUS(v.status) == 1);
    EXPECT_GE(waited, 9000);
    EXPECT_LE(waited, 12000);
}

// A destination that sends the start of its answer and then nothing is no answer either: the
// whole setup reply must come within the limit.
TEST_F(StartupPorts, APartialReplyIsNoAnswer)
{
    const int s = listenon(6007);
    ASSERT_GE(s, 0);
    std::thread server([s] {
        const int c = ::accept(s, nullptr, nullptr);
        if (c >= 0) {
            [[maybe_unused]] const ssize_t n = ::write(c, "\1", 1);
            char b[64];
            while (::read(c, b, sizeof b) > 0) {
            }
            ::close(c);
        }
    });
    const long start = nowms();
    proc v;
    ASSERT_TRUE(
        startvk(v, {"-terse", "-display", "localhost:7", "-allow", "127.0.0.2"}, {"DISPLAY="}));
    const int status = v.wait(15000);
    v.drain(500);
    ::shutdown(s, SHUT_RDWR);
    ::close(s);
    server.join();
    ASSERT_NE(status, -1) << "still waiting for the rest of the reply after 15 s";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_EQ(v.errbuf, NOPROBE);
    EXPECT_EQ(v.outbuf, line(true, host, 0));
    EXPECT_GE(nowms() - start, 9000);
}

// Its own display as the destination (this host, the number it took) would relay every client
// back to itself, and its check of the destination would wait on its own listener: start-up
// ends at once, whichever name of this host the destination uses.
TEST_F(StartupPorts, OwnDisplayEndsAtOnce)
{
    for (const std::string h : {"localhost", "127.0.0.1", "127.0.0.9", "0.0.0.0"}) {
        SCOPED_TRACE(h);
        const long t0 = nowms();
        const cmdresult r =
            runvk({"-terse", "-display", h + ":0", "-allow", "127.0.0.2"}, {"DISPLAY="});
        EXPECT_EQ(announcednumber(r.out), 0);
        EXPECT_EQ(r.exitcode(), 1);
        EXPECT_EQ(r.err, NOPROBE);
        EXPECT_LT(nowms() - t0, 5000) << "waited for itself";
    }
}

// The program against a real X server of each test's own.
class StartupRunning : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (const auto why = unmet({"Xvfb"}); !why.empty())
            GTEST_SKIP() << why;
        ASSERT_TRUE(x.start());
        host = canonname();
        ASSERT_FALSE(host.empty());
    }
    // Starts the program and reads its announcement; its display number, -1 on failure.
    int start(proc& v, const std::vector<std::string>& args, const std::vector<std::string>& env,
              bool terse, const std::vector<std::string>& prefix = {})
    {
        if (!startvk(v, args, env, false, prefix))
            return -1;
        std::string l;
        if (!v.readline(l, 10000))
            return -1;
        const int n = announcednumber(l);
        EXPECT_EQ(l, line(terse, host, n));
        return n;
    }
    xserver x;
    std::string host;
};

TEST_F(StartupRunning, ProbePassesAndStandardOutputCloses)
{
    const std::string dest = x.name();
    struct runcase {
        const char* what;
        std::vector<std::string> args;
        std::vector<std::string> env;
        bool terse;
    };
    const std::vector<runcase> table = {
        {"-display", {"-display", dest, "-allow", "127.0.0.2"}, {"DISPLAY="}, false},
        {"screen number", {"-display", dest + ".0", "-allow", "127.0.0.2"}, {"DISPLAY="}, false},
        {"DISPLAY, terse", {"-allow", "127.0.0.2", "-terse"}, {"DISPLAY=" + dest}, true},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.what);
        proc v;
        const int n = start(v, c.args, c.env, c.terse);
        ASSERT_GE(n, 0) << v.errbuf;
        // The announcement is all: the pipe ends while the program runs on.
        EXPECT_TRUE(outclosed(v, 20000));
        EXPECT_EQ(v.outbuf, "");
        ASSERT_TRUE(v.running()) << v.errbuf;
        EXPECT_EQ(fdlink(v.pid, 0), "");
        EXPECT_EQ(fdlink(v.pid, 1), "");
        EXPECT_NE(fdlink(v.pid, 2), "");
        EXPECT_TRUE(listensipv4(v.pid, PORTBASE + n));
        // The probe's connection stays, the one that asked for a first answer is gone.
        EXPECT_EQ(connectionsto(v.pid, PORTBASE + x.display), 1);
        // The IPv6 twin is held, never served: no one else can bind it, and ::1 is refused.
        ports other;
        EXPECT_FALSE(other.hold(n, false, true));
        EXPECT_EQ(connect6(PORTBASE + n), ECONNREFUSED);
        EXPECT_EQ(v.errbuf, "");
    }
}

// Idle, the program sleeps in select and wakes once per 3-second timeout: over 3.7 s it blocks
// once or twice, and uses no CPU.
TEST_F(StartupRunning, SitsInItsSelectCycle)
{
    proc v;
    const int n = start(v, {"-display", x.name(), "-allow", "127.0.0.2"}, {"DISPLAY="}, false);
    ASSERT_GE(n, 0) << v.errbuf;
    ASSERT_TRUE(outclosed(v, 20000));
    const procinfo before = inspect(v.pid);
    sleepms(3700); // the span measured
    const procinfo after = inspect(v.pid);
    ASSERT_TRUE(v.running()) << v.errbuf;
    EXPECT_TRUE(listensipv4(v.pid, PORTBASE + n));
    EXPECT_LT(after.cputicks - before.cputicks, sysconf(_SC_CLK_TCK) / 5) << "busy while idle";
    EXPECT_GE(after.sleeps - before.sleeps, 1) << "no timeout in 3.7 s";
    EXPECT_LE(after.sleeps - before.sleeps, 2) << "wakes up more often than every 3 s";
    v.drain(100);
    EXPECT_EQ(v.errbuf, "");
}

// The table is allocated after the probe and after standard output is gone: with too little
// address space left for it, start-up ends with one line.
TEST_F(StartupRunning, TableAllocationFailure)
{
    if (!haveprog("prlimit"))
        GTEST_SKIP() << "prlimit missing";
    const std::vector<std::string> args = {"-terse", "-display", x.name(), "-allow", "127.0.0.2"};
    // Room for as many descriptors as a table has records at most (FD_SETSIZE).
    const std::string files = "--nofile=4096";
    long mapped = -1; // running, its table included
    {
        proc v;
        ASSERT_GE(start(v, args, {"DISPLAY="}, true, {"prlimit", files, "--"}), 0) << v.errbuf;
        ASSERT_TRUE(outclosed(v, 20000));
        mapped = inspect(v.pid).vmkb;
        ASSERT_TRUE(v.running()) << v.errbuf;
    }
    // Half the table less: the rest of start-up still fits, the table no more.
    const long tablekb = FD_SETSIZE * 2L; // two 1 KiB buffers a record
    ASSERT_GT(mapped, tablekb);
    proc v;
    const std::string space = "--as=" + std::to_string((mapped - tablekb / 2) * 1024);
    const int n = start(v, args, {"DISPLAY="}, true, {"prlimit", files, space, "--"});
    ASSERT_GE(n, 0) << v.errbuf;
    ASSERT_NE(v.wait(10000), -1);
    EXPECT_TRUE(WIFEXITED(v.status));
    EXPECT_EQ(WEXITSTATUS(v.status), 1);
    EXPECT_EQ(v.errbuf, "can't allocate buffers\n");
    EXPECT_EQ(v.outbuf, "");
}
