// Start-up from the announcement on: the first free port, the checks that follow the line, the
// probe of the destination display, and the running program with standard output closed.
//
// Other X servers run on this machine: no display number is assumed free. Tests take ports by
// binding 0.0.0.0:6000+k themselves and read the number from the announcement.
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
#include <sys/socket.h>
#include <sys/wait.h>
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

std::vector<std::string> withpreload(std::vector<std::string> env)
{
    for (const auto& e : env)
        if (e.rfind("FAKE_", 0) == 0) {
            env.push_back(std::string("LD_PRELOAD=") + FAKESYS_LIB);
            break;
        }
    return env;
}

cmdresult runvk(const std::vector<std::string>& args, const std::vector<std::string>& env)
{
    std::vector<std::string> argv = {VELKORAN_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return runcmd(argv, withpreload(env), 10000);
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

// The first n display numbers whose ports, IPv4 and IPv6 twin, are free at this moment. With
// reuse the IPv4 ports are judged as the program's bind judges them; without, also free of
// wildcard IPv6 listeners that some network stacks let an IPv4 bind with address reuse share.
std::vector<int> freenumbers(size_t n, bool reuse = true)
{
    std::vector<int> found;
    for (int k = 0; k <= LASTDISPLAY && found.size() < n; ++k) {
        ports probe;
        if (probe.hold(k, reuse) && probe.hold(k, false, true))
            found.push_back(k);
    }
    return found;
}

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

// Socket inodes of a process, from /proc/PID/fd.
std::set<std::string> socketinodes(pid_t pid)
{
    std::set<std::string> inodes;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
        return inodes;
    while (const dirent* e = ::readdir(d)) {
        char target[256] = {};
        const std::string path = dir + "/" + e->d_name;
        const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
        const std::string t(target, n > 0 ? static_cast<size_t>(n) : 0);
        if (t.rfind("socket:[", 0) == 0)
            inodes.insert(t.substr(8, t.size() - 9));
    }
    ::closedir(d);
    return inodes;
}

// True when the process holds a socket listening on TCP port `port` of 0.0.0.0.
bool listenson(pid_t pid, int port)
{
    const auto mine = socketinodes(pid);
    std::ifstream tcp("/proc/net/tcp");
    std::string row;
    std::getline(tcp, row); // header
    char local[64];
    std::snprintf(local, sizeof local, "00000000:%04X", port);
    while (std::getline(tcp, row)) {
        std::istringstream f(row);
        std::string sl, loc, rem, st, queues, timer, retr, uid, timeout, inode;
        f >> sl >> loc >> rem >> st >> queues >> timer >> retr >> uid >> timeout >> inode;
        if (loc == local && st == "0A" && mine.count(inode) != 0)
            return true;
    }
    return false;
}

// Standard error less the refusals of connections that other programs on this machine make to
// whatever port the program took; the tests' programs allow only 127.0.0.2, so such a
// connection from 127.0.0.1 is refused with one line and never reaches a dialog.
std::string lessstrays(const std::string& err)
{
    std::string rest;
    size_t at = 0;
    while (at < err.size()) {
        const size_t nl = err.find('\n', at);
        const size_t end = nl == std::string::npos ? err.size() : nl + 1;
        const std::string l = err.substr(at, end - at);
        if (l.rfind("bad host connect from ", 0) != 0)
            rest += l;
        at = end;
    }
    return rest;
}

bool hasfd(pid_t pid, int fd)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    return ::access(path.c_str(), F_OK) == 0;
}

// User plus system CPU time of a process in clock ticks, -1 if unknown.
long cputicks(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const auto paren = all.rfind(')');
    if (paren == std::string::npos)
        return -1;
    std::istringstream rest(all.substr(paren + 2));
    std::vector<std::string> fields;
    std::string w;
    while (rest >> w)
        fields.push_back(w);
    // After the name: state is field 3, utime 14 and stime 15 of the whole line.
    if (fields.size() < 13)
        return -1;
    return std::atol(fields[11].c_str()) + std::atol(fields[12].c_str());
}

// Times the process has blocked (voluntary context switches), -1 if unknown.
long sleeps(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string l;
    while (std::getline(f, l))
        if (l.rfind("voluntary_ctxt_switches:", 0) == 0)
            return std::atol(l.c_str() + l.find(':') + 1);
    return -1;
}

long nowms()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Reads standard output until end of file (bounded); true if it was seen.
bool stdouteof(proc& p, int timeout_ms)
{
    const long end = nowms() + timeout_ms;
    while (p.out >= 0 && nowms() < end)
        p.drain(50);
    return p.out < 0;
}

} // namespace

// The line comes first; the destination number and the allow list are judged after it.
TEST(StartupAnnouncement, ChecksAfterTheLine)
{
    const std::string host = canonname();
    ASSERT_FALSE(host.empty()) << "the local host name does not resolve";
    const std::string longcanon = std::string(200, 'a') + "." + std::string(99, 'b');
    const std::string canon255 = std::string(250, 'c') + ".test";
    struct aftercase {
        const char* what;
        std::vector<std::string> args;
        std::vector<std::string> env;
        bool terse;
        std::string host;
        std::string err;
    };
    const std::vector<std::string> nodisplay = {"DISPLAY="};
    const std::vector<aftercase> table = {
        {"101 refused",
         {"-display", "localhost:101", "-allow", "127.0.0.2"},
         nodisplay,
         false,
         host,
         OUTOFRANGE},
        {"terse line",
         {"-terse", "-display", "localhost:101", "-allow", "127.0.0.2"},
         nodisplay,
         true,
         host,
         OUTOFRANGE},
        {"-1 is 65535",
         {"-display", "localhost:-1", "-allow", "127.0.0.2"},
         nodisplay,
         false,
         host,
         OUTOFRANGE},
        {"65536+101 is 101",
         {"-display", "localhost:65637", "-allow", "127.0.0.2"},
         nodisplay,
         false,
         host,
         OUTOFRANGE},
        {"screen number plays no part",
         {"-display", "localhost:101.0", "-allow", "127.0.0.2"},
         nodisplay,
         false,
         host,
         OUTOFRANGE},
        {"the number is checked before the allow list",
         {"-terse", "-display", "localhost:101"},
         nodisplay,
         true,
         host,
         OUTOFRANGE},
        {"100 accepted", {"-terse", "-display", "localhost:100"}, nodisplay, true, host, NOALLOW},
        {"100 with a screen accepted",
         {"-terse", "-display", "localhost:100.7"},
         nodisplay,
         true,
         host,
         NOALLOW},
        {"65536 wraps to 0",
         {"-terse", "-display", "localhost:65536"},
         nodisplay,
         true,
         host,
         NOALLOW},
        {"65536+100 wraps to 100",
         {"-terse", "-display", "localhost:65636"},
         nodisplay,
         true,
         host,
         NOALLOW},
        {"no ':' reads as 0", {"-terse", "-display", "localhost"}, nodisplay, true, host, NOALLOW},
        {"empty number reads as 0",
         {"-terse", "-display", "localhost:"},
         nodisplay,
         true,
         host,
         NOALLOW},
        {"number text that is no number reads as 0",
         {"-terse", "-display", "localhost:x9"},
         nodisplay,
         true,
         host,
         NOALLOW},
        {"display from DISPLAY, no -allow",
         {"-terse", "-terse"},
         {"DISPLAY=localhost:3"},
         true,
         host,
         NOALLOW},
        {"canonical name replaces the short one",
         {"-display", "localhost:101", "-allow", "127.0.0.2"},
         {"DISPLAY=", "FAKE_HOSTNAME=shortname", "FAKE_CANON=canonical.example"},
         false,
         "canonical.example",
         OUTOFRANGE},
        {"canonical name of 255 bytes kept whole",
         {"-terse", "-display", "localhost:101", "-allow", "127.0.0.2"},
         {"DISPLAY=", "FAKE_HOSTNAME=shortname", "FAKE_CANON=" + canon255},
         true,
         canon255,
         OUTOFRANGE},
        {"canonical name of 300 bytes cut to 255",
         {"-display", "localhost:101", "-allow", "127.0.0.2"},
         {"DISPLAY=", "FAKE_HOSTNAME=shortname", "FAKE_CANON=" + longcanon},
         false,
         longcanon.substr(0, 255),
         OUTOFRANGE},
    };
    ASSERT_EQ(canon255.size(), 255U);
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
        EXPECT_EQ(r.out, line(c.terse, c.host, n));
    }
}

// Port tests take and release ports that every other test also competes for; they run alone.
// A port freed or taken by another process between the test's look and the program's bind
// would change the answer, so a mismatch is tried again a few times.
TEST(StartupPorts, FirstFreePortIsAnnounced)
{
    const std::string host = canonname();
    ASSERT_FALSE(host.empty());
    const std::vector<std::string> noipv6 = {"FAKE_SOCKET_ERRNO=97", "FAKE_SOCKET_FAMILY=10"};
    struct portcase {
        std::string pattern; // 'x': the test holds that free port; '6': only its IPv6 twin
        bool ipv6;           // false: the system has no IPv6, so a '6' counts as free
    };
    const std::vector<portcase> table = {
        {".", true},    {"x.", true}, {"xx.", true},  {"x.x.", true},
        {"xxx.", true}, {"6.", true}, {"x6x.", true}, {"6.", false},
    };
    for (const auto& c : table) {
        SCOPED_TRACE("pattern " + c.pattern + (c.ipv6 ? "" : " without IPv6"));
        std::vector<std::string> env = {"DISPLAY="};
        if (!c.ipv6)
            env.insert(env.end(), noipv6.begin(), noipv6.end());
        std::string got, want;
        for (int attempt = 0; attempt < 3; ++attempt) {
            const auto numbers = freenumbers(c.pattern.size());
            ASSERT_EQ(numbers.size(), c.pattern.size()) << "too few free ports";
            ports held;
            for (size_t i = 0; i < c.pattern.size(); ++i) {
                if (c.pattern[i] != '.') {
                    ASSERT_TRUE(held.hold(numbers[i], c.pattern[i] == 'x', c.pattern[i] == '6'));
                }
            }
            want = line(false, host, numbers[c.pattern.find_first_of(c.ipv6 ? "." : ".6")]);
            const cmdresult r = runvk({"-display", "localhost:101", "-allow", "127.0.0.2"}, env);
            EXPECT_EQ(r.err, OUTOFRANGE);
            got = r.out;
            if (got == want)
                break;
        }
        EXPECT_EQ(got, want);
    }
}

TEST(StartupPorts, AllPortsInUse)
{
    const std::string host = canonname();
    ASSERT_FALSE(host.empty());
    cmdresult r;
    bool have100 = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        ports held;
        for (int k = 0; k <= LASTDISPLAY; ++k)
            held.hold(k, true); // a port someone else has is taken already
        r = runvk({"-display", "localhost:101", "-allow", "127.0.0.2"}, {"DISPLAY="});
        have100 = held.held.count(LASTDISPLAY) != 0;
        if (r.err == "all ports in use.\n")
            break;
    }
    EXPECT_EQ(r.exitcode(), 1);
    EXPECT_EQ(r.err, "all ports in use.\n");
    EXPECT_EQ(r.out, "");

    // The last port is still tried: with only 6100 free it is taken.
    if (!have100) {
        std::printf("port %d is someone else's: the last-port case is not run\n",
                    PORTBASE + LASTDISPLAY);
        return;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        ports held;
        for (int k = 0; k < LASTDISPLAY; ++k)
            held.hold(k, true);
        r = runvk({"-display", "localhost:101", "-allow", "127.0.0.2"}, {"DISPLAY="});
        if (r.out == line(false, host, LASTDISPLAY))
            break;
    }
    EXPECT_EQ(r.out, line(false, host, LASTDISPLAY));
    EXPECT_EQ(r.err, OUTOFRANGE);
}

// A bind refused for another reason than a taken port ends the search at that port.
TEST(StartupPorts, BindRefusedEndsTheSearch)
{
    cmdresult r;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto numbers = freenumbers(2);
        ASSERT_EQ(numbers.size(), 2U);
        ports held;
        ASSERT_TRUE(held.hold(numbers[0], true));
        // Ports below the refused one are all taken; free ones follow it.
        r = runvk({"-display", "localhost:101", "-allow", "127.0.0.2"},
                  {"DISPLAY=", "FAKE_BIND_ERRNO=13",
                   "FAKE_BIND_PORT=" + std::to_string(PORTBASE + numbers[1])});
        if (r.err == "bind: Permission denied\n")
            break;
    }
    EXPECT_EQ(r.exitcode(), 1);
    EXPECT_EQ(r.err, "bind: Permission denied\n");
    EXPECT_EQ(r.out, "");
}

// A port whose bind succeeds but whose listen finds it taken (another program bound it at the
// same moment, with address reuse, and listened first) is passed over like a taken port; the
// next free one is announced.
TEST(StartupPorts, PortTakenBetweenBindAndListenIsPassedOver)
{
    const std::string host = canonname();
    ASSERT_FALSE(host.empty());
    std::string got, want;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto numbers = freenumbers(2);
        ASSERT_EQ(numbers.size(), 2U);
        want = line(false, host, numbers[1]);
        const cmdresult r = runvk({"-display", "localhost:101", "-allow", "127.0.0.2"},
                                  {"DISPLAY=", "FAKE_LISTEN_ERRNO=98",
                                   "FAKE_LISTEN_PORT=" + std::to_string(PORTBASE + numbers[0])});
        EXPECT_EQ(r.err, OUTOFRANGE);
        got = r.out;
        if (got == want)
            break;
    }
    EXPECT_EQ(got, want);
}

// The destination's port is bound by the test but not listening: the probe is refused.
TEST(StartupPorts, ProbeWhereNothingListens)
{
    const std::string host = canonname();
    ASSERT_FALSE(host.empty());
    const auto numbers = freenumbers(1, false);
    ASSERT_EQ(numbers.size(), 1U);
    ports held;
    ASSERT_TRUE(held.hold(numbers[0], false)); // bound, not listening: connections are refused
    const std::string dest = "localhost:" + std::to_string(numbers[0]);
    for (const bool terse : {false, true}) {
        std::vector<std::string> args = {"-display", dest, "-allow", "127.0.0.2"};
        if (terse)
            args.insert(args.begin(), "-terse");
        const cmdresult r = runvk(args, {"DISPLAY="});
        EXPECT_EQ(r.exitcode(), 1);
        EXPECT_EQ(r.err, NOPROBE);
        const int n = announcednumber(r.out);
        EXPECT_NE(n, numbers[0]);
        EXPECT_EQ(r.out, line(terse, host, n));
    }
}

// A destination that accepts the connection but never answers holds the probe up; the line
// must be out already, not waiting in a buffer for the probe to end.
TEST(StartupPorts, AnnouncementPrecedesTheProbe)
{
    const std::string host = canonname();
    ASSERT_FALSE(host.empty());
    const auto numbers = freenumbers(1, false);
    ASSERT_EQ(numbers.size(), 1U);
    ports held;
    ASSERT_TRUE(held.hold(numbers[0], true)); // listening, never accepting
    proc v;
    ASSERT_TRUE(v.start({VELKORAN_BIN, "-terse", "-display",
                         "localhost:" + std::to_string(numbers[0]), "-allow", "127.0.0.2"},
                        {"DISPLAY="}));
    std::string l;
    ASSERT_TRUE(v.readline(l, 5000)) << v.errbuf;
    const long shown = nowms();
    EXPECT_EQ(l, line(true, host, announcednumber(l)));
    EXPECT_NE(announcednumber(l), numbers[0]);
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

// Its own display as the destination (this host, the number it took) would relay every client
// back to itself, and its check of the destination would wait on its own listener: start-up
// ends at once, whichever name of this host the destination uses.
TEST(StartupPorts, OwnDisplayEndsAtOnce)
{
    for (const std::string h : {"localhost", "127.0.0.1", "127.0.0.9", "0.0.0.0"}) {
        SCOPED_TRACE(h);
        cmdresult r;
        long took = 0;
        int want = -1;
        for (int attempt = 0; attempt < 3; ++attempt) {
            const auto numbers = freenumbers(1);
            ASSERT_EQ(numbers.size(), 1U);
            want = numbers[0];
            const long t0 = nowms();
            r = runvk({"-terse", "-display", h + ":" + std::to_string(want), "-allow", "127.0.0.2"},
                      {"DISPLAY="});
            took = nowms() - t0;
            if (announcednumber(r.out) == want)
                break;
        }
        EXPECT_EQ(announcednumber(r.out), want);
        EXPECT_EQ(r.exitcode(), 1);
        EXPECT_EQ(r.err, NOPROBE);
        EXPECT_LT(took, 5000) << "waited for itself";
    }
}

// The program against a real X server, shared by the tests of this fixture.
class StartupRunning : public ::testing::Test
{
  protected:
    // An X server chooses its number by its lock file alone; when a program like this one
    // already has that IPv4 port, the server is left without it and "localhost:M" would reach
    // the wrong listener. Such a server is kept aside (so the next one takes another number)
    // until one that owns its IPv4 port is found.
    static void SetUpTestSuite()
    {
        if (!haveprog("Xvfb"))
            return;
        std::vector<xserver*> aside;
        for (int attempt = 0; attempt < 4 && x == nullptr; ++attempt) {
            auto* s = new xserver;
            if (!s->start()) {
                delete s;
                break;
            }
            if (listenson(s->p.pid, PORTBASE + s->display))
                x = s;
            else
                aside.push_back(s);
        }
        for (auto* s : aside) {
            s->stop();
            delete s;
        }
    }
    static void TearDownTestSuite()
    {
        if (x != nullptr)
            x->stop();
        delete x;
        x = nullptr;
    }
    void SetUp() override
    {
        if (!haveprog("Xvfb"))
            GTEST_SKIP() << "Xvfb missing";
        ASSERT_NE(x, nullptr) << "no Xvfb owning its TCP port could be started";
        host = canonname();
        ASSERT_FALSE(host.empty());
    }
    // Starts the program and reads its announcement; its display number, -1 on failure.
    int start(proc& v, const std::vector<std::string>& args, const std::vector<std::string>& env,
              bool terse)
    {
        std::vector<std::string> argv = {VELKORAN_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        if (!v.start(argv, withpreload(env)))
            return -1;
        std::string l;
        if (!v.readline(l, 10000))
            return -1;
        const int n = announcednumber(l);
        EXPECT_EQ(l, line(terse, host, n));
        return n;
    }
    static xserver* x;
    std::string host;
};
xserver* StartupRunning::x = nullptr;

TEST_F(StartupRunning, ProbePassesAndStandardOutputCloses)
{
    const std::string dest = x->name();
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
        EXPECT_TRUE(stdouteof(v, 5000));
        EXPECT_EQ(v.outbuf, "");
        ASSERT_TRUE(v.running()) << v.errbuf;
        EXPECT_FALSE(hasfd(v.pid, 0));
        EXPECT_FALSE(hasfd(v.pid, 1));
        EXPECT_TRUE(hasfd(v.pid, 2));
        EXPECT_TRUE(listenson(v.pid, PORTBASE + n));
        // The IPv6 twin is held, never served: no one else can bind it, and ::1 is refused.
        ports other;
        EXPECT_FALSE(other.hold(n, false, true));
        EXPECT_EQ(connect6(PORTBASE + n), ECONNREFUSED);
        EXPECT_EQ(lessstrays(v.errbuf), "");
    }
}

// Idle, the program sleeps in select and wakes once per 3-second timeout: over 3.7 s it blocks
// once or twice (a stray client from elsewhere adds a wake-up or two), and uses no CPU.
TEST_F(StartupRunning, SitsInItsSelectCycle)
{
    proc v;
    const int n = start(v, {"-display", x->name(), "-allow", "127.0.0.2"}, {"DISPLAY="}, false);
    ASSERT_GE(n, 0) << v.errbuf;
    ASSERT_TRUE(stdouteof(v, 5000));
    const long cpu0 = cputicks(v.pid);
    const long sleeps0 = sleeps(v.pid);
    sleepms(3700);
    const long cpu1 = cputicks(v.pid);
    const long sleeps1 = sleeps(v.pid);
    ASSERT_TRUE(v.running()) << v.errbuf;
    EXPECT_TRUE(listenson(v.pid, PORTBASE + n));
    ASSERT_GE(cpu0, 0);
    ASSERT_GE(sleeps0, 0);
    EXPECT_LT(cpu1 - cpu0, sysconf(_SC_CLK_TCK) / 5) << "busy while idle";
    v.drain(100);
    const std::string rest = lessstrays(v.errbuf);
    const long strays = static_cast<long>(std::count(v.errbuf.begin(), v.errbuf.end(), '\n') -
                                          std::count(rest.begin(), rest.end(), '\n'));
    EXPECT_GE(sleeps1 - sleeps0, 1) << "no timeout in 3.7 s";
    EXPECT_LE(sleeps1 - sleeps0, 2 + 2 * strays) << "wakes up more often than every 3 s";
    EXPECT_EQ(rest, "");
}

// The table is allocated after the probe and after standard output is gone.
TEST_F(StartupRunning, TableAllocationFailure)
{
    proc v;
    const int n = start(v, {"-terse", "-display", x->name(), "-allow", "127.0.0.2"},
                        {"DISPLAY=", "FAKE_BIGCALLOC=1"}, true);
    ASSERT_GE(n, 0) << v.errbuf;
    ASSERT_NE(v.wait(10000), -1);
    EXPECT_TRUE(WIFEXITED(v.status));
    EXPECT_EQ(WEXITSTATUS(v.status), 1);
    EXPECT_EQ(v.errbuf, "can't allocate buffers\n");
    EXPECT_EQ(v.outbuf, "");
}
