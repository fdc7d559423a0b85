// A destination X server that listens on its Unix socket only, reached through a socat bridge
// from a loopback TCP display: the way to put the relay in front of an ordinary X server; and
// velkoran-desktop, which builds that bridge for the display of a session by itself.
#include "support/xtest.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
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

// The script as the repository holds it, two directories above this file.
const std::string DESKTOP = [] {
    std::string f = __FILE__;
    return f.substr(0, f.rfind("/tests/")) + "/scripts/velkoran-desktop";
}();

std::string slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// The README's code blocks marked as run by this file, in order, their indentation taken off.
std::vector<std::string> readmeblocks()
{
    std::istringstream in(slurp(DESKTOP.substr(0, DESKTOP.rfind("/scripts/")) + "/README.md"));
    std::vector<std::string> blocks;
    bool marked = false, inblock = false;
    for (std::string line; std::getline(in, line);) {
        const auto text = line.find_first_not_of(' ');
        const std::string t = text == std::string::npos ? "" : line.substr(text);
        if (inblock && t == "```")
            inblock = marked = false;
        else if (inblock)
            blocks.back() += t + "\n";
        else if (marked && t.rfind("```", 0) == 0)
            inblock = true, blocks.emplace_back();
        else if (t == "<!-- run by tests/integration/bridge_test.cpp -->")
            marked = true;
    }
    return blocks;
}

// Every occurrence of from in text replaced by to.
std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::vector<std::string> cmdline(pid_t pid)
{
    std::vector<std::string> args;
    std::istringstream in(slurp("/proc/" + std::to_string(pid) + "/cmdline"));
    for (std::string a; std::getline(in, a, '\0');)
        args.push_back(a);
    return args;
}

// True when this process could listen on TCP port on ::1 itself: nobody else holds it.
bool free6(int port)
{
    const int s = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    const int one = 1;
    ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    a.sin6_addr = in6addr_loopback;
    const bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

bool free4(int port)
{
    const int s = listenon(port);
    if (s >= 0)
        ::close(s);
    return s >= 0;
}

std::string lastline(const std::string& text)
{
    const auto end = text.size() > 0 && text.back() == '\n' ? text.size() - 1 : text.size();
    const auto start = text.rfind('\n', end == 0 ? 0 : end - 1);
    return text.substr(start == std::string::npos ? 0 : start + 1, end - (start + 1));
}

// Ended; an orphan that the test main adopted is reaped here.
bool gone(pid_t pid)
{
    ::waitpid(pid, nullptr, WNOHANG);
    return ::access(("/proc/" + std::to_string(pid)).c_str(), F_OK) != 0;
}

// An X server with a cookie, as a desktop session has it: on its Unix socket only, the user's
// authority file holding its cookie under :M. velkoran-desktop runs with its temporary files
// in a directory of the test's, so that what it leaves there is seen.
class Desktop : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (const auto why = unmet({"Xvfb", "xdotool", "xdpyinfo", "socat", "xauth"}); !why.empty())
            GTEST_SKIP() << why;
        char t[] = "/tmp/velkoran-desktop-test.XXXXXX";
        ASSERT_NE(::mkdtemp(t), nullptr);
        dir = t;
        tmp = dir + "/tmp";
        ASSERT_EQ(runcmd({"mkdir", tmp}).exitcode(), 0);
        const auto cookie = runcmd({"sh", "-c", "od -An -N16 -tx1 /dev/urandom | tr -d ' \\n'"});
        ASSERT_EQ(cookie.out.size(), 32U) << cookie.out;
        ASSERT_EQ(xauth(dir + "/server", {"add", ":0", ".", cookie.out}), 0);
        ASSERT_TRUE(x.start({"-nolisten", "tcp", "-auth", dir + "/server"}));
        display = ":" + std::to_string(x.display);
        user = dir + "/user";
        ASSERT_EQ(xauth(user, {"add", display, "MIT-MAGIC-COOKIE-1", cookie.out}), 0);
        // xdotool, run from here, answers the dialogs as that user.
        ::setenv("XAUTHORITY", user.c_str(), 1);
    }
    void TearDown() override
    {
        ::unsetenv("XAUTHORITY");
        if (!dir.empty())
            runcmd({"rm", "-rf", dir});
    }
    static int xauth(const std::string& file, std::vector<std::string> args)
    {
        args.insert(args.begin(), {"xauth", "-q", "-f", file});
        return runcmd(args).exitcode();
    }
    bool start(proc& d, const std::vector<std::string>& args, std::vector<std::string> env = {})
    {
        std::vector<std::string> argv = {"bash", DESKTOP};
        argv.insert(argv.end(), args.begin(), args.end());
        env.insert(env.begin(), {"DISPLAY=" + display, "XAUTHORITY=" + user,
                                 "VELKORAN=" VELKORAN_BIN, "TMPDIR=" + tmp});
        return d.start(argv, env);
    }
    // velkoran and the bridge halves started by d; velkoran first.
    std::vector<pid_t> children(const proc& d)
    {
        auto kids = childpids(d.pid);
        std::sort(kids.begin(), kids.end(), [](pid_t a, pid_t b) {
            return cmdline(a).at(0) == VELKORAN_BIN && cmdline(b).at(0) != VELKORAN_BIN;
        });
        return kids;
    }
    std::string dir, tmp, display, user;
    xserver x;
};

TEST_F(Desktop, GuardsTheSessionsUnixSocketDisplayWithOneCommand)
{
    const std::string before = slurp(user);
    proc d;
    ASSERT_TRUE(start(d, {}));
    std::string line, recipe;
    ASSERT_TRUE(d.readline(line, 20000)) << d.errbuf;
    ASSERT_EQ(line.rfind("display is ", 0), 0U) << line;
    const std::string announced = line.substr(11, line.size() - 12);
    const int mine = announcednumber(line);
    ASSERT_TRUE(d.readline(recipe)) << d.errbuf;
    EXPECT_EQ(recipe.rfind("xauth add " + announced + " MIT-MAGIC-COOKIE-1 ", 0), 0U) << recipe;
    EXPECT_NE(recipe.find("xauth list " + display + " "), std::string::npos) << recipe;
    // Then its standard output ends, as velkoran's does.
    EXPECT_TRUE(waituntil(
        [&] {
            d.drain(20);
            return d.out < 0;
        },
        5000));

    // velkoran is given the bridge's IPv4 address, and the bridge holds both loopback ports.
    const auto kids = children(d);
    ASSERT_EQ(kids.size(), 3U);
    const auto args = cmdline(kids[0]);
    ASSERT_EQ(args, (std::vector<std::string>{VELKORAN_BIN, "-display", args.at(2), "-allow",
                                              "localhost"}));
    ASSERT_EQ(args[2].rfind("127.0.0.1:", 0), 0U) << args[2];
    const int k = std::atoi(args[2].c_str() + 10);
    EXPECT_FALSE(free4(6000 + k));
    EXPECT_FALSE(free6(6000 + k));

    // A real client, after the printed command, in an authority file of its own.
    const std::string client = dir + "/client";
    ASSERT_EQ(runcmd({"cp", user, client}).exitcode(), 0);
    const auto r = runcmd({"bash", "-c", recipe}, {"XAUTHORITY=" + client});
    ASSERT_EQ(r.exitcode(), 0) << r.err;
    proc c;
    ASSERT_TRUE(c.start({"xdpyinfo", "-display", announced}, {"XAUTHORITY=" + client}));
    ASSERT_TRUE(answeruntil(display, true, [&] {
        c.drain(10);
        return !c.running();
    }));
    c.drain(1000);
    EXPECT_TRUE(WIFEXITED(c.status) && WEXITSTATUS(c.status) == 0) << c.errbuf;
    EXPECT_NE(c.outbuf.find("name of display:    " + announced), std::string::npos);
    EXPECT_NE(c.outbuf.find("dimensions:    1280x1024 pixels"), std::string::npos);
    EXPECT_EQ(slurp(user), before); // the cookie went nowhere near the user's own file

    // Ctrl-C: velkoran's status, and nothing of it is left.
    ::kill(d.pid, SIGINT);
    ASSERT_NE(d.wait(10000), -1);
    EXPECT_TRUE(WIFEXITED(d.status) && WEXITSTATUS(d.status) == 130) << d.status;
    EXPECT_EQ(d.errbuf, "");
    EXPECT_TRUE(waituntil([&] { return gone(kids[0]) && gone(kids[1]) && gone(kids[2]); }, 5000));
    EXPECT_TRUE(free4(6000 + k));
    EXPECT_TRUE(free6(6000 + k));
    EXPECT_TRUE(free4(6000 + mine));
    EXPECT_EQ(runcmd({"ls", "-A", tmp}).out, "");
}

TEST_F(Desktop, HostDisplayIsGuardedAsItIsWithTheArgumentsGiven)
{
    // A display reached over TCP needs no bridge: velkoran stands in front of it directly.
    xserver tcp;
    ASSERT_TRUE(tcp.start({"-listen", "tcp", "-auth", dir + "/server"}));
    ASSERT_EQ(runcmd({"bash", "-c",
                      "xauth add " + tcp.name() + " MIT-MAGIC-COOKIE-1 \"$(xauth list " + display +
                          " | awk '{print $3}')\""},
                     {"XAUTHORITY=" + user})
                  .exitcode(),
              0);
    proc d;
    ASSERT_TRUE(start(d, {"-terse", "-display", tcp.name(), "-allow", "127.0.0.1"}));
    std::string line, recipe;
    ASSERT_TRUE(d.readline(line, 20000)) << d.errbuf;
    EXPECT_EQ(line.find("display is"), std::string::npos) << line;
    EXPECT_GE(announcednumber(line), 0) << line;
    ASSERT_TRUE(d.readline(recipe)) << d.errbuf;
    EXPECT_NE(recipe.find("xauth list " + tcp.name() + " "), std::string::npos) << recipe;
    const auto kids = children(d);
    ASSERT_EQ(kids.size(), 1U);
    EXPECT_EQ(cmdline(kids[0]), (std::vector<std::string>{VELKORAN_BIN, "-display", tcp.name(),
                                                          "-terse", "-allow", "127.0.0.1"}));
    ::kill(d.pid, SIGTERM);
    ASSERT_NE(d.wait(10000), -1);
    EXPECT_TRUE(WIFEXITED(d.status) && WEXITSTATUS(d.status) == 128 + SIGTERM) << d.status;
    EXPECT_EQ(d.errbuf, ""); // not even the shell's word on a job a signal ended
    EXPECT_TRUE(waituntil([&] { return gone(kids[0]); }, 5000));
}

TEST_F(Desktop, FailureIsTheLastLineAndNothingIsAnnounced)
{
    const std::string wrong = dir + "/wrong";
    ASSERT_EQ(xauth(wrong, {"add", display, "MIT-MAGIC-COOKIE-1", std::string(32, '5')}), 0);
    struct row {
        const char* what;
        std::vector<std::string> args, env;
        std::string last;
    };
    const std::vector<row> rows = {
        {"the display refuses the cookie",
         {},
         {"XAUTHORITY=" + wrong},
         "Unable to open display at destination."},
        {"no display", {}, {"DISPLAY="}, "velkoran-desktop: no display to guard"},
        {"not a display name",
         {"-display", "nowhere"},
         {},
         "velkoran-desktop: not an X display name"},
        {"a bad command line", {"-allow"}, {}, "usage: velkoran"},
    };
    for (const auto& w : rows) {
        proc d;
        ASSERT_TRUE(start(d, w.args, w.env));
        ASSERT_NE(d.wait(30000), -1) << w.what;
        EXPECT_TRUE(WIFEXITED(d.status) && WEXITSTATUS(d.status) == 1) << w.what;
        EXPECT_EQ(d.outbuf, "") << w.what;
        EXPECT_EQ(lastline(d.errbuf).rfind(w.last, 0), 0U) << w.what << "\n" << d.errbuf;
        EXPECT_EQ(runcmd({"ls", "-A", tmp}).out, "") << w.what;
    }
    // Nothing holds a port of the bridge's range any more.
    for (int port = 6001; port <= 6100; ++port)
        ASSERT_TRUE(free4(port) && free6(port)) << port;
}

TEST_F(Desktop, ReadmeBridgeRecipeReachesTheDisplayByNumber)
{
    const auto blocks = readmeblocks();
    ASSERT_EQ(blocks.size(), 5U);
    // The socket file is shared with the other tests' servers; the abstract name of the same
    // path is this test's own.
    const std::string bridge = replaced(blocks[0], "UNIX-CONNECT:", "ABSTRACT-CONNECT:");
    // The user types the check after the bridge is up; here the script waits for it.
    const std::string script =
        bridge +
        "for _ in $(seq 50); do (: <>/dev/tcp/127.0.0.1/6042) 2>/dev/null && break; sleep 0.1; "
        "done\n" +
        blocks[1] + "echo bridge $(jobs -p)\n";
    const std::string copy = dir + "/copy";
    ASSERT_EQ(runcmd({"cp", user, copy}).exitcode(), 0);
    const auto r = runcmd({"bash", "-c", script}, {"DISPLAY=" + display, "XAUTHORITY=" + copy});
    std::vector<pid_t> socats;
    std::istringstream pids(r.out.substr(r.out.rfind("bridge ") + 7));
    for (pid_t p; pids >> p;)
        socats.push_back(p);
    EXPECT_EQ(socats.size(), 2U) << r.out;
    EXPECT_FALSE(free6(6042)); // the twin is the bridge's
    for (const pid_t p : socats) {
        killchildren(p);
        ::kill(p, SIGTERM);
    }
    EXPECT_EQ(r.exitcode(), 0) << r.err;
    EXPECT_NE(r.out.find("name of display:    127.0.0.1:42\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(waituntil([&] { return gone(socats.at(0)) && gone(socats.at(1)); }, 5000));
}

TEST_F(Desktop, ReadmeResourcesTitleTheDialogsOfEachVelkoran)
{
    if (!haveprog("xrdb"))
        GTEST_SKIP() << "xrdb missing";
    const auto blocks = readmeblocks();
    ASSERT_EQ(blocks.size(), 5U);
    const std::string home = dir + "/home", bin = dir + "/bin";
    ASSERT_EQ(runcmd({"mkdir", home, bin}).exitcode(), 0);
    ASSERT_EQ(runcmd({"ln", "-s", DESKTOP, bin + "/velkoran-desktop"}).exitcode(), 0);
    std::ofstream(home + "/.Xresources") << blocks[2];
    const std::vector<std::string> env = {
        "HOME=" + home,           "DISPLAY=" + display,
        "XAUTHORITY=" + user,     "PATH=" + bin + ":" + std::getenv("PATH"),
        "VELKORAN=" VELKORAN_BIN, "TMPDIR=" + tmp};
    const auto r = runcmd({"bash", "-c", blocks[3]}, env);
    ASSERT_EQ(r.exitcode(), 0) << r.err;

    // Two velkorans on one display: the first with the display's resources, the second as the
    // README starts it, with a file of its own.
    proc first, second;
    ASSERT_TRUE(start(first, {}, {"HOME=" + home}));
    std::string one, two;
    ASSERT_TRUE(first.readline(one, 20000)) << first.errbuf;
    ASSERT_TRUE(second.start({"bash", "-c", blocks[4]}, env));
    ASSERT_TRUE(second.readline(two, 20000)) << second.errbuf;
    EXPECT_EQ(announcednumber(two), announcednumber(one) + 1) << one << two;

    proc c1, c2;
    ASSERT_TRUE(c1.start({"xdpyinfo", "-display", one.substr(11, one.size() - 12)}, {}, -1, true));
    ASSERT_TRUE(c2.start({"xdpyinfo", "-display", two.substr(11, two.size() - 12)}, {}, -1, true));
    const auto titled = [&](const std::string& title) {
        return waituntil(
            [&] {
                return !runcmd({"xdotool", "search", "--onlyvisible", "--name", "^" + title + "$"},
                               {"DISPLAY=" + display}, 5000)
                            .out.empty();
            },
            20000, 200);
    };
    EXPECT_TRUE(titled("velkoran: a client asks"));
    EXPECT_TRUE(titled("velkoran for work"));
    // Unanswered dialogs end with their velkoran, and velkoran with its velkoran-desktop.
    for (proc* d : {&first, &second}) {
        ::kill(d->pid, SIGTERM);
        EXPECT_NE(d->wait(10000), -1);
    }
    EXPECT_TRUE(waituntil([&] { return alerts(display).empty(); }, 10000));
}

} // namespace
