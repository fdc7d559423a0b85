// The relay under load, faults and hostile input: seeded byte streams checked on both ends,
// the destination killed and reset under it, pending clients, refused floods, stalled readers,
// the descriptor limits, and real X clients through real dialogs.
// Raw streams go to a byte-stream server that takes the destination port once the start-up
// probe of the Xvfb is done.
//
// Each scenario runs small here; VELKORAN_SCALE=full runs it at the size docs/reliability.md
// reports, and prints the figures that page gives. The soak and the memcheck run are disabled
// tests, run by "reliability/run.sh soak" and "reliability/run.sh memcheck".
#include "reliability/load.h"
#include "support/xtest.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>

namespace
{

bool full()
{
    const char* s = std::getenv("VELKORAN_SCALE");
    return s != nullptr && std::string(s) == "full";
}
int scaled(int ci, int atfull)
{
    return full() ? atfull : ci;
}
uint64_t scaledbytes(uint64_t ci, uint64_t atfull)
{
    return full() ? atfull : ci;
}

// The lines of text that start with prefix.
int countlines(const std::string& text, const std::string& prefix)
{
    int n = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        n += (line + "\n").compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    return n;
}

// Samples a process every every_ms on a thread of its own while it lives.
struct sampler {
    std::vector<std::pair<long, procinfo>> seen; // (ms since start, figures)
    std::atomic<bool> quit{false};
    std::thread t;
    sampler(pid_t pid, int every_ms)
    {
        const long t0 = nowms();
        t = std::thread([=, this] {
            while (!quit) {
                seen.emplace_back(nowms() - t0, inspect(pid));
                sleepms(every_ms);
            }
        });
    }
    ~sampler() { stop(); }
    void stop()
    {
        quit = true;
        if (t.joinable())
            t.join();
    }
    template <class T> long most(T procinfo::*f) const
    {
        long m = 0;
        for (const auto& s : seen)
            m = std::max(m, static_cast<long>(s.second.*f));
        return m;
    }
};

class Reliability : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (const auto why = unmet({"Xvfb"}); !why.empty())
            GTEST_SKIP() << why;
    }
    void TearDown() override
    {
        if (destlisten >= 0)
            ::close(destlisten);
        killchildren(v.pid);
    }
    // Starts Xvfb and the relay in front of it (the stand-in build unless standin is false;
    // prefix runs before it, e.g. prlimit), its standard error in v.errbuf. Without keepx the
    // Xvfb is stopped once start-up is over and the destination port is a byte-stream server's.
    void up(const std::vector<std::string>& env = {}, const std::vector<std::string>& prefix = {},
            bool standin = true, const std::vector<std::string>& allow = {"127.0.0.2"},
            bool keepx = false)
    {
        ASSERT_TRUE(x.start());
        std::vector<std::string> args = {"-display", x.name(), "-allow"};
        args.insert(args.end(), allow.begin(), allow.end());
        ASSERT_TRUE(startvk(v, args, env, standin, prefix));
        const int n = started(v, 60000);
        ASSERT_GE(n, 0) << v.errbuf;
        port = 6000 + n;
        dport = 6000 + x.display;
        if (!keepx) {
            x.stop();
            destlisten = listenon(dport);
            ASSERT_GE(destlisten, 0);
        }
        // The figures to come back to, once start-up is over: after the relay has blocked
        // (in its select) at least once since its standard output closed.
        const long sleeps = inspect(v.pid).sleeps;
        waituntil([&] { return inspect(v.pid).sleeps > sleeps; }, 5000);
        base = inspect(v.pid);
    }
    const std::string& err()
    {
        v.drain(50);
        return v.errbuf;
    }
    load::options opts(int conns, uint64_t bytes) const
    {
        load::options o;
        o.relayport = port;
        o.listenfd = destlisten;
        o.conns = conns;
        o.bytes = bytes;
        o.seed = 20261209;
        o.maxchunk = 16384;
        o.pausepct = 3;
        o.maxpausems = 10;
        o.timeoutms = 600000;
        return o;
    }
    // Waits until the relay holds no more descriptors and children than at the start.
    bool settled(int timeout_ms = 8000)
    {
        procinfo p;
        const bool ok = waituntil(
            [&] {
                p = inspect(v.pid);
                return p.fds == base.fds && p.children == 0 && p.zombies == 0;
            },
            timeout_ms);
        if (!ok)
            std::printf("not settled: %s; at the start %s\n", show(p).c_str(), show(base).c_str());
        return ok;
    }
    pid_t onlychild()
    {
        std::vector<pid_t> kids;
        waituntil([&] { return (kids = childpids(v.pid)).size() == 1; }, 5000, 20);
        return kids.size() == 1 ? kids[0] : -1;
    }

    xserver x;
    proc v;
    int port = -1, dport = -1, destlisten = -1;
    procinfo base;
};

void expectclean(const load::result& res, int conns)
{
    EXPECT_EQ(res.completed, conns) << load::summary(res);
    EXPECT_EQ(res.servedcomplete, conns) << load::summary(res);
    EXPECT_EQ(res.corrupt, 0U);
    EXPECT_EQ(res.lost, 0U);
    EXPECT_EQ(res.extra, 0U);
    EXPECT_FALSE(res.timedout);
}

TEST_F(Reliability, ConcurrentStreamsArriveByteExactBothWays)
{
    up();
    const int conns = static_cast<int>(scaled(40, 250));
    const uint64_t bytes = static_cast<uint64_t>(scaledbytes(256 << 10, 4 << 20));
    const load::result res = load::run(opts(conns, bytes));
    const procinfo after = inspect(v.pid);
    std::printf("%s%.1f MiB relayed in %.1f s; relay CPU %.1f s; %s\n", load::summary(res).c_str(),
                static_cast<double>(res.upchecked + res.downchecked) / 1048576.0,
                static_cast<double>(res.elapsedms) / 1000.0,
                static_cast<double>(after.cputicks - base.cputicks) / 100.0, show(after).c_str());
    expectclean(res, conns);
    EXPECT_EQ(res.peakpaired, conns); // the barrier holds every stream until all are paired
    EXPECT_EQ(res.upchecked, static_cast<uint64_t>(conns) * bytes);
    EXPECT_EQ(res.downchecked, static_cast<uint64_t>(conns) * bytes);
    EXPECT_TRUE(v.running());
    EXPECT_EQ(err(), "");
    EXPECT_TRUE(settled());
}

TEST_F(Reliability, DestinationKilledMidStreamCutsEveryPairAndLaterClientsAreServed)
{
    up();
    const int conns = static_cast<int>(scaled(8, 20));
    load::options so = opts(0, 0);
    so.serveforms = 60000;
    const pid_t server = ::fork();
    if (server == 0) {
        load::run(so);
        ::_exit(0);
    }
    // The server alone holds the port: killed, it takes the port with it.
    ::close(destlisten);
    destlisten = -1;
    load::options co = opts(conns, 1ULL << 30);
    co.listenfd = -1;
    co.timeoutms = 60000;
    std::thread killer([&] {
        // Killed once every client is paired: two descriptors each.
        waituntil([&] { return inspect(v.pid).fds >= base.fds + 2 * conns; }, 30000);
        ::kill(server, SIGKILL);
    });
    const load::result cut = load::run(co);
    killer.join();
    ::waitpid(server, nullptr, 0);
    std::printf("destination killed: %s", load::summary(cut).c_str());
    EXPECT_EQ(cut.failed, conns) << load::summary(cut);
    EXPECT_GT(cut.downchecked, 0U);
    EXPECT_EQ(cut.corrupt, 0U);
    EXPECT_FALSE(cut.timedout);
    EXPECT_TRUE(settled());
    EXPECT_TRUE(v.running());

    destlisten = listenon(dport);
    ASSERT_GE(destlisten, 0);
    expectclean(load::run(opts(scaled(4, 10), scaledbytes(256 << 10, 10 << 20))), scaled(4, 10));
    EXPECT_TRUE(v.running());
}

// The real X server is killed under real image clients: every one ends with an error, the
// relay settles, and a new destination on the same port is served.
TEST_F(Reliability, XServerKilledUnderImageClientsLeavesTheRelayServing)
{
    up({}, {}, true, {"localhost"}, true);
    const int n = static_cast<int>(scaled(2, 6));
    std::vector<std::unique_ptr<proc>> cl;
    for (int i = 0; i < n; ++i) {
        cl.push_back(std::make_unique<proc>());
        ASSERT_TRUE(
            cl.back()->start({TOOLS_DIR "/ximage_roundtrip", "-display", through(port), "-size",
                              "256x256", "-seed", std::to_string(i + 1), "-rounds", "100000"}));
    }
    // Killed once every client is relayed: two descriptors each.
    ASSERT_TRUE(waituntil([&] { return inspect(v.pid).fds >= base.fds + 2 * n; }, 30000));
    ::kill(x.p.pid, SIGKILL);
    x.p.wait(5000);
    for (auto& c : cl) {
        ASSERT_NE(c->wait(15000), -1);
        EXPECT_NE(c->status, 0);
    }
    EXPECT_TRUE(settled());
    destlisten = listenon(dport);
    ASSERT_GE(destlisten, 0);
    load::options o = opts(scaled(4, 10), scaledbytes(256 << 10, 1 << 20));
    o.listenfd = destlisten;
    o.srcaddr = "127.0.0.1"; // the allowed "localhost"
    expectclean(load::run(o), o.conns);
    EXPECT_TRUE(v.running());
}

TEST_F(Reliability, ClientResetsMidStreamLeaveTheOtherStreamsIntact)
{
    up();
    load::options o = opts(static_cast<int>(scaled(9, 30)), scaledbytes(1 << 20, 4 << 20));
    o.rstevery = 3; // clients 0, 3, 6, ... reset after a quarter of their stream
    o.rstat = o.bytes / 4;
    const load::result res = load::run(o);
    std::printf("%s", load::summary(res).c_str());
    const int resets = (o.conns + 2) / 3;
    EXPECT_EQ(res.resets, resets) << load::summary(res);
    EXPECT_EQ(res.completed, o.conns - resets);
    EXPECT_EQ(res.servedcomplete, o.conns - resets);
    EXPECT_EQ(res.corrupt, 0U);
    EXPECT_EQ(res.lost, 0U);
    EXPECT_TRUE(settled());
    EXPECT_TRUE(v.running());
}

// What a pending client sends reaches the destination only after "Yes", and never after "No";
// a denied client's connection ends without a byte.
class ReliabilityPending : public Reliability, public ::testing::WithParamInterface<int>
{
};

TEST_P(ReliabilityPending, BytesReachTheDestinationOnlyAfterYes)
{
    const bool yes = GetParam() == 7;
    up({"STANDIN_VERDICT=" + std::to_string(GetParam()), "STANDIN_DELAY_MS=1500"});
    nonblock(destlisten);
    const int c = connectfrom("127.0.0.2", port);
    ASSERT_GE(c, 0);
    const std::string sent = pattern(static_cast<size_t>(scaled(32768, 65536)), 77);
    ASSERT_TRUE(sendall(c, sent));
    const pid_t child = onlychild();
    ASSERT_GT(child, 0);
    int d = -1;
    // The verdict is in once the child has gone; the pairing follows it.
    const bool answered = waituntil(
        [&] {
            if (d < 0)
                d = ::accept(destlisten, nullptr, nullptr);
            EXPECT_TRUE(d < 0 || childpids(v.pid).empty()) << "connected before the verdict";
            return childpids(v.pid).empty() && (!yes || d >= 0);
        },
        8000, 20);
    ASSERT_TRUE(answered);
    if (yes) {
        EXPECT_EQ(readfor(d, sent.size(), 5000), sent);
        ::close(d);
    } else {
        EXPECT_LT(d, 0) << "a denied client reached the destination";
        EXPECT_TRUE(endedbare(c, 5000));
        EXPECT_LT(::accept(destlisten, nullptr, nullptr), 0);
    }
    ::close(c);
    EXPECT_TRUE(v.running());
}
INSTANTIATE_TEST_SUITE_P(Verdicts, ReliabilityPending, ::testing::Values(7, 4));

// A flood from a host not on the list, alone and beside allowed clients: one line each, end of
// file without a byte, its names looked up by the one helper, no child started for it; the
// allowed clients are served meanwhile.
class ReliabilityFlood : public Reliability, public ::testing::WithParamInterface<bool>
{
};

TEST_P(ReliabilityFlood, RefusedFloodBoundsItsLookupsSendsNoByteAndServingGoesOn)
{
    up();
    const bool withload = GetParam();
    const int flood = static_cast<int>(scaled(300, 2000));
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t flooder = ::fork();
    if (flooder == 0) {
        int out[2] = {0, 0}; // ends seen, bytes received
        for (int i = 0; i < flood; ++i) {
            const int c = connectfrom("127.0.0.1", port);
            bool closed = false;
            out[1] += static_cast<int>(readfor(c, 1, 5000, &closed).size());
            out[0] += closed ? 1 : 0;
            ::close(c);
        }
        (void)!::write(fds[1], out, sizeof out);
        ::_exit(0);
    }
    ::close(fds[1]);
    sampler s(v.pid, 10);
    load::result res;
    std::atomic<bool> loaded{!withload};
    std::thread loader([&] {
        if (withload)
            res = load::run(opts(10, scaledbytes(1 << 20, 4 << 20)));
        loaded = true;
    });
    // The refusal lines are read meanwhile: a full pipe would stop the relay.
    waituntil(
        [&] {
            err();
            return loaded && waitreadable(fds[0], 0);
        },
        600000, 20);
    loader.join();
    if (withload)
        expectclean(res, 10);
    int out[2] = {-1, -1};
    ASSERT_EQ(::read(fds[0], out, sizeof out), static_cast<ssize_t>(sizeof out));
    ::close(fds[0]);
    ::waitpid(flooder, nullptr, 0);
    s.stop();
    std::printf("flood of %d: ends %d, bytes %d, most children at once %ld\n", flood, out[0],
                out[1], s.most(&procinfo::children));
    EXPECT_EQ(out[0], flood);
    EXPECT_EQ(out[1], 0);
    EXPECT_LE(s.most(&procinfo::children), withload ? 10 : 0);
    EXPECT_TRUE(settled());
    // With the helper's queue full the address stands in the name's place.
    const int named = countlines(err(), "bad host connect from localhost (127.0.0.1)\n");
    const int numeric = countlines(err(), "bad host connect from 127.0.0.1 (127.0.0.1)\n");
    EXPECT_EQ(named + numeric, flood);
    EXPECT_EQ(countlines(err(), ""), flood) << "lines other than the refusals";
    EXPECT_TRUE(v.running());
}
INSTANTIATE_TEST_SUITE_P(AloneAndUnderLoad, ReliabilityFlood, ::testing::Bool());

// A name server that never answers (a private resolver file in a mount namespace, a UDP socket
// on a loopback address that reads nothing): refused clients are closed at once, their names
// are looked up beside the loop, and a relayed client's round trips never wait for them.
TEST_F(Reliability, SilentNameServerNeverHoldsARelayedClient)
{
    const int dns = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(53);
    a.sin_addr.s_addr = inet_addr("127.0.0.77");
    if (::bind(dns, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || !haveprog("unshare"))
        GTEST_SKIP() << "no silent name server on 127.0.0.77:53 (needs root)";
    char resolv[] = "/tmp/velkoran-resolvXXXXXX";
    const int rf = ::mkstemp(resolv);
    ASSERT_GE(rf, 0);
    const std::string conf = "nameserver 127.0.0.77\n";
    ASSERT_EQ(::write(rf, conf.data(), conf.size()), static_cast<ssize_t>(conf.size()));
    ::close(rf);
    up({}, {"unshare", "-m", "/bin/sh", "-c", "mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"",
            resolv});

    const long runms = scaled(3000, 60000);
    std::atomic<bool> stop{false};
    int refused = 0, maxlookups = 0;
    long worsteof = 0;
    std::thread hostile([&] {
        for (long next = nowms(); !stop; next += 333) {
            const int c = connectfrom("127.0.0.9", port);
            const long t0 = nowms();
            bool closed = false;
            readfor(c, 1, 15000, &closed);
            worsteof = closed ? std::max(worsteof, nowms() - t0) : 99999;
            ::close(c);
            ++refused;
            maxlookups = std::max(maxlookups, inspect(v.pid).children);
            waituntil([&] { return stop || nowms() >= next + 333; }, 1000, 10);
        }
    });
    // One relayed client echoed by the destination: one byte there and back, again and again.
    const int c = connectfrom("127.0.0.2", port);
    ASSERT_GE(c, 0);
    ASSERT_TRUE(waitreadable(destlisten, 10000));
    const int d = ::accept(destlisten, nullptr, nullptr);
    ASSERT_GE(d, 0);
    long worst = 0, trips = 0;
    for (const long end = nowms() + runms; nowms() < end; ++trips) {
        const long t0 = nowms();
        if (!sendall(c, "x") || readfor(d, 1, 30000) != "x" || !sendall(d, "y") ||
            readfor(c, 1, 30000) != "y") {
            worst = 99999;
            break;
        }
        worst = std::max(worst, nowms() - t0);
    }
    stop = true;
    hostile.join();
    ::close(c);
    ::close(d);
    ::close(dns);
    ::unlink(resolv);
    std::printf("%ld round trips, worst %ld ms; %d refused, each closed within %ld ms; at most "
                "%d lookups at once\n",
                trips, worst, refused, worsteof, maxlookups);
    EXPECT_LT(worst, 1000) << "a relayed client waited for a name lookup";
    EXPECT_LT(worsteof, 1000) << "a refused client waited for its name to be known";
    EXPECT_LE(maxlookups, 16);
    // One line per refused client once its lookup has given up: the address in the name's
    // place.
    const std::string line = "bad host connect from 127.0.0.9 (127.0.0.9)\n";
    EXPECT_TRUE(waituntil([&] { return countlines(err(), line) >= refused; }, 30000, 100));
    EXPECT_EQ(countlines(err(), line), refused);
    EXPECT_TRUE(v.running());
}

// Descriptors run out while one host's clients wait for their questions (20 descriptors, 40
// clients held open): each client beyond is taken off the backlog and closed with a line, the
// loop sleeps meanwhile, and a relayed client loses nothing.
TEST_F(Reliability, DescriptorsRunOutWhileClientsWaitAndTheProgramGoesOn)
{
    if (!haveprog("prlimit"))
        GTEST_SKIP() << "prlimit missing";
    up({"STANDIN_SILENT_INDEX=1"}, {"prlimit", "--nofile=20", "--"}, true,
       {"127.0.0.2", "127.0.0.3"});
    const int c = connectfrom("127.0.0.2", port);
    ASSERT_GE(c, 0);
    ASSERT_TRUE(waitreadable(destlisten, 10000));
    const int d = ::accept(destlisten, nullptr, nullptr);
    ASSERT_GE(d, 0);

    std::vector<int> held;
    for (int k = 0; k < 40; ++k)
        held.push_back(connectfrom("127.0.0.3", port));
    // Relayed round trips go on while the held clients are taken in or cut.
    const std::string cut = std::string("accept: ") + std::strerror(EMFILE) + "\n";
    waituntil([&] { return countlines(err(), cut) > 0; }, 4000, 10);
    const procinfo p0 = inspect(v.pid);
    const long t0 = nowms();
    uint64_t sent = 0, back = 0;
    for (int k = 0; k < 2000 && nowms() - t0 < 2000; ++k, ++sent) {
        const std::string b(1, static_cast<char>(k));
        if (sendall(c, b) && readfor(d, 1, 5000) == b && sendall(d, b) && readfor(c, 1, 5000) == b)
            ++back;
        sleepms(1);
    }
    const procinfo p1 = inspect(v.pid);
    const double cpu = static_cast<double>(p1.cputicks - p0.cputicks) * 10.0 /
                       static_cast<double>(std::max(1L, nowms() - t0));
    int closed = 0;
    for (const int h : held) {
        bool gone = false;
        readnow(h, &gone);
        closed += gone ? 1 : 0;
        ::close(h);
    }
    ::close(c);
    ::close(d);
    std::printf("%d of 40 held clients closed, %d accept lines, %d questions up; relayed %lu of "
                "%lu round trips; CPU %.3f of a core\n",
                closed, countlines(err(), cut), p1.children, static_cast<unsigned long>(back),
                static_cast<unsigned long>(sent), cpu);
    EXPECT_GT(countlines(err(), cut), 0);
    EXPECT_EQ(closed, countlines(err(), cut) +
                          countlines(err(), "too many questions pending, client refused\n"));
    EXPECT_EQ(back, sent) << "relayed bytes lost";
    EXPECT_LT(cpu, 0.3) << "the loop spun at the limit";
    EXPECT_TRUE(v.running());
}

TEST_F(Reliability, ClientThatNeverReadsCostsNeitherMemoryNorCpu)
{
    up();
    load::options o = opts(2, scaledbytes(16 << 20, 100 << 20));
    o.noreadevery = 2; // client 0 never reads, client 1 moves its stream meanwhile
    o.barrier = false;
    o.lingerms = static_cast<int>(scaled(2500, 10000));
    sampler s(v.pid, 100);
    const load::result res = load::run(o);
    s.stop();
    EXPECT_EQ(res.completed, 2) << load::summary(res);
    EXPECT_EQ(res.corrupt, 0U);
    EXPECT_EQ(res.lost, 0U);
    const long maxrss = s.most(&procinfo::rsskb);
    EXPECT_LT(maxrss, base.rsskb + 2048) << "the relay's memory grew under a stalled reader";
    // The last linger period has only the stalled pair left: the relay must sleep in select.
    const std::pair<long, procinfo>* a = nullptr;
    for (const auto& e : s.seen)
        if (a == nullptr && e.first >= res.elapsedms - o.lingerms + 500)
            a = &e;
    ASSERT_NE(a, nullptr);
    const auto& b = s.seen.back();
    ASSERT_GT(b.first - a->first, 1000);
    const double cpu = static_cast<double>(b.second.cputicks - a->second.cputicks) * 10.0 /
                       static_cast<double>(b.first - a->first);
    std::printf("stalled: destination sent %llu bytes in all; RSS %ld kB first, %ld kB most; "
                "CPU %.1f %% over %.1f s\n",
                static_cast<unsigned long long>(res.downsent), base.rsskb, maxrss, 100 * cpu,
                static_cast<double>(b.first - a->first) / 1000.0);
    EXPECT_LT(cpu, 0.3) << "share of one core used while stalled";
    EXPECT_TRUE(v.running());
}

// A limit of 64 descriptors, from the start or set while running: each client beyond it is
// cut with one line (no descriptor for its destination, or more questions open than the display
// is asked at once) and nothing is corrupt. So many clients at once that even accept fails:
// that failure costs one client, and the relay serves on.
struct limitcase {
    const char* name;
    bool atstart;
    int conns;
};

void PrintTo(const limitcase& c, std::ostream* os)
{
    *os << c.name;
}

class ReliabilityLimit : public Reliability, public ::testing::WithParamInterface<limitcase>
{
};

TEST_P(ReliabilityLimit, DescriptorLimitCutsClientsWithALineAndCorruptsNothing)
{
    if (!haveprog("prlimit"))
        GTEST_SKIP() << "prlimit missing";
    const limitcase c = GetParam();
    up({"STANDIN_DELAY_MS=1000"}, c.atstart
                                      ? std::vector<std::string>{"prlimit", "--nofile=64", "--"}
                                      : std::vector<std::string>{});
    if (!c.atstart) {
        ASSERT_EQ(runcmd({"prlimit", "--pid", std::to_string(v.pid), "--nofile=64"}).exitcode(), 0);
    }
    load::options o = opts(c.conns, 256 << 10);
    o.window = c.conns;
    o.barrier = false;
    o.timeoutms = 60000;
    const load::result res = load::run(o);
    std::printf("%s", load::summary(res).c_str());
    EXPECT_EQ(res.completed + res.failed, c.conns) << load::summary(res);
    EXPECT_GT(res.failed, 0) << "the limit was never reached";
    EXPECT_GT(res.completed, 0);
    EXPECT_EQ(res.corrupt, 0U);
    EXPECT_EQ(res.extra, 0U);
    const int lines = countlines(err(), "socket: Too many open files\n") +
                      countlines(err(), "too many questions pending, client refused\n");
    const int accepts = countlines(err(), "accept: Too many open files\n");
    EXPECT_EQ(lines + accepts, countlines(err(), "")) << v.errbuf;
    // A failed accept ends a client that has not been accepted yet, or none.
    EXPECT_GE(lines + accepts, res.failed) << v.errbuf;
    EXPECT_LE(lines, res.failed) << v.errbuf;
    EXPECT_TRUE(v.running());
    EXPECT_TRUE(settled());
    expectclean(load::run(opts(10, 64 << 10)), 10);
}
INSTANTIATE_TEST_SUITE_P(Limits, ReliabilityLimit,
                         ::testing::Values(limitcase{"FromTheStart", true, 60},
                                           limitcase{"SetWhileRunning", false, 60},
                                           limitcase{"EvenAcceptFails", true, 100}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(Reliability, DialogChildKilledOrStoppedKeepsTheRelayConsistent)
{
    up({"STANDIN_DELAY_MS=1000"});
    // Killed: "child died abnormally", the client's connection ends without a byte.
    {
        const int c = connectfrom("127.0.0.2", port);
        const pid_t k = onlychild();
        ASSERT_GT(k, 0);
        ::kill(k, SIGKILL);
        EXPECT_TRUE(endedbare(c, 8000));
        ::close(c);
        EXPECT_TRUE(settled());
        EXPECT_EQ(err(), "child died abnormally\n");
    }
    // Stopped past its answer, then resumed: pending meanwhile, relayed after.
    {
        nonblock(destlisten);
        const int c = connectfrom("127.0.0.2", port);
        const pid_t k = onlychild();
        ASSERT_GT(k, 0);
        ::kill(k, SIGSTOP);
        // Stopped, the child cannot answer: the relay must keep it and its client through
        // the select cycles that look for verdicts (it blocks once in each).
        const long sleeps = inspect(v.pid).sleeps;
        ASSERT_TRUE(waituntil([&] { return inspect(v.pid).sleeps >= sleeps + 2; }, 10000));
        EXPECT_EQ(childpids(v.pid).size(), 1U);
        EXPECT_LT(::accept(destlisten, nullptr, nullptr), 0) << "a stopped child's client paired";
        ::kill(k, SIGCONT);
        ASSERT_TRUE(sendall(c, "ping"));
        int d = -1;
        ASSERT_TRUE(
            waituntil([&] { return (d = ::accept(destlisten, nullptr, nullptr)) >= 0; }, 6000, 20));
        EXPECT_EQ(readfor(d, 4, 5000), "ping");
        ::close(d);
        ::close(c);
    }
    EXPECT_TRUE(v.running());
}

// Real X clients through the real dialog and a real X server: image round trips compared
// pixel for pixel, every dialog answered "Yes".
TEST_F(Reliability, ImageClientsThroughRealDialogsComeBackExact)
{
    if (const auto why = unmet({"xdotool"}); !why.empty())
        GTEST_SKIP() << why;
    up({}, {}, false, {"localhost"}, true);
    const int n = static_cast<int>(scaled(3, 20));
    const std::string side = std::to_string(scaled(256, 512)), rounds = std::to_string(8);
    std::vector<std::unique_ptr<proc>> cl;
    const long t0 = nowms();
    // In waves of at most 16: more questions at once are refused by design.
    for (int first = 0; first < n; first += 16) {
        for (int i = first; i < std::min(n, first + 16); ++i) {
            cl.push_back(std::make_unique<proc>());
            ASSERT_TRUE(cl.back()->start({TOOLS_DIR "/ximage_roundtrip", "-display", through(port),
                                          "-size", side + "x" + side, "-seed",
                                          std::to_string(i + 1), "-rounds", rounds}));
        }
        EXPECT_TRUE(answeruntil(x.name(), true, [&] { return !anyrunning(cl); }));
    }
    std::printf("%d image clients, %sx%s, %s rounds: %.1f s\n", n, side.c_str(), side.c_str(),
                rounds.c_str(), static_cast<double>(nowms() - t0) / 1000.0);
    for (auto& c : cl) {
        ASSERT_NE(c->wait(10000), -1);
        EXPECT_EQ(c->status, 0) << c->errbuf;
        EXPECT_NE(c->outbuf.find(" wrong 0 errors 0\n"), std::string::npos) << c->outbuf;
    }
    EXPECT_TRUE(v.running());
    EXPECT_EQ(err(), "");
}

// A client that goes away while its real dialog is up: whatever the answer, the relay ends up
// where it started.
class ReliabilityGone : public Reliability, public ::testing::WithParamInterface<bool>
{
};

TEST_P(ReliabilityGone, ClientGoneWhileItsDialogIsUpLeavesNothingBehind)
{
    if (const auto why = unmet({"xdotool"}); !why.empty())
        GTEST_SKIP() << why;
    up({}, {}, false, {"localhost"}, true);
    const int c = connectfrom("127.0.0.1", port);
    ASSERT_TRUE(sendall(c, XSETUP));
    const std::string id = findalert(x.name());
    ASSERT_FALSE(id.empty());
    ::close(c);
    EXPECT_TRUE(answeralert(x.name(), GetParam(), 0, id));
    EXPECT_TRUE(settled());
    EXPECT_TRUE(v.running());
}
INSTANTIATE_TEST_SUITE_P(YesAndNo, ReliabilityGone, ::testing::Bool());

// Churn of short relayed connections for a long time (VELKORAN_SOAK_SECONDS, default 600):
// the relay must end where it started. Run by "reliability/run.sh soak".
TEST_F(Reliability, DISABLED_Soak)
{
    up();
    const char* secs = std::getenv("VELKORAN_SOAK_SECONDS");
    const long seconds = secs != nullptr ? std::atol(secs) : 600;
    const long t0 = nowms();
    long conns = 0, completed = 0, lastprint = 0;
    sampler s(v.pid, 200);
    for (uint64_t round = 1; nowms() - t0 < seconds * 1000 && v.running(); ++round) {
        load::options o = opts(250, 64 << 10);
        o.maxopen = o.window = 50;
        o.barrier = false;
        // Paced: loopback has a few tens of thousands of ports, each held a minute after its
        // close; hundreds of connections a second run out of them within two minutes.
        o.openeveryms = 25;
        o.seed = round;
        const load::result res = load::run(o);
        conns += res.started;
        completed += res.completed;
        EXPECT_EQ(res.corrupt + res.lost, 0U) << load::summary(res);
        if (nowms() - lastprint >= 60000) {
            lastprint = nowms();
            std::printf("%4ld s: %ld connections, %ld complete; %s\n", (nowms() - t0) / 1000, conns,
                        completed, show(inspect(v.pid)).c_str());
            std::fflush(stdout);
        }
    }
    s.stop();
    EXPECT_TRUE(settled(10000));
    const procinfo end = inspect(v.pid);
    std::printf("%ld s, %ld connections, %ld complete\nstart: %s\nend:   %s\npeak: RSS %ld kB, "
                "fds %ld, children %ld\n",
                (nowms() - t0) / 1000, conns, completed, show(base).c_str(), show(end).c_str(),
                s.most(&procinfo::rsskb), s.most(&procinfo::fds), s.most(&procinfo::children));
    EXPECT_EQ(completed, conns);
    EXPECT_LE(end.rsskb, base.rsskb + 512);
    EXPECT_EQ(err(), "");
}

// The real program under memcheck, relaying real X clients through real dialogs: no error in
// the program nor in its dialog children. Run by "reliability/run.sh memcheck".
TEST_F(Reliability, DISABLED_Memcheck)
{
    if (const auto why = unmet({"valgrind", "xdotool", "xdpyinfo"}); !why.empty())
        GTEST_SKIP() << why;
    char dir[] = "/tmp/velkoran-vgXXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string logs = std::string(dir) + "/vg";
    up({},
       {"valgrind", "--tool=memcheck", "--track-origins=yes", "--leak-check=summary",
        "--log-file=" + logs + ".%p"},
       false, {"localhost"}, true);
    struct step {
        std::vector<std::string> argv;
        bool yes;
    };
    const std::vector<step> steps = {
        {{"xdpyinfo", "-display", through(port)}, true},
        {{TOOLS_DIR "/ximage_roundtrip", "-display", through(port), "-size", "256x256", "-seed",
          "3", "-rounds", "4"},
         true},
        {{"xdpyinfo", "-display", through(port)}, false},
    };
    for (const auto& st : steps) {
        proc c;
        ASSERT_TRUE(c.start(st.argv));
        // Under memcheck the dialog is slow to show and to take input.
        EXPECT_TRUE(answeralert(x.name(), st.yes, 300000));
        ASSERT_NE(c.wait(120000), -1);
        EXPECT_EQ(c.status == 0, st.yes) << st.argv[0] << ": " << c.errbuf;
    }
    const pid_t parent = v.pid;
    v.stop();
    const cmdresult sums =
        runcmd({"sh", "-c", "grep -H 'ERROR SUMMARY\\|definitely lost' " + logs + ".*"});
    std::printf("parent %d\n%s", parent, sums.out.c_str());
    EXPECT_EQ(runcmd({"grep", "-q", "ERROR SUMMARY: 0 errors", logs + "." + std::to_string(parent)})
                  .exitcode(),
              0);
    EXPECT_EQ(
        runcmd({"sh", "-c", "grep -h 'ERROR SUMMARY' " + logs + ".* | grep -v ' 0 errors'"}).out,
        "");
    runcmd({"rm", "-rf", dir});
}

} // namespace
