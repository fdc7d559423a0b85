// The relay under load, faults and hostile input: seeded byte streams checked on both ends,
// the destination killed and reset under it, pending clients, refused floods, stalled readers,
// the descriptor limit and hostile command lines. Raw streams go to a byte-stream server that
// takes the destination port once the start-up probe of the Xvfb is done.
#include "../../reliability/cmdfuzz.h"
#include "../../reliability/load.h"
#include "../../reliability/rig.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>

namespace
{

class Reliability : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (!haveprog("Xvfb"))
            GTEST_SKIP() << "Xvfb missing";
    }
    // The stand-in dialog build, allowing only 127.0.0.2: refused clients come from 127.0.0.1,
    // which the hosts file names, so no refusal ever asks a name server.
    void up(const std::vector<std::string>& env = {}, const std::vector<std::string>& pre = {})
    {
        // Between the Xvfb's end and the rig's bind, a program started by another test may
        // take the freed port (a relay takes the lowest free one): then start over.
        bool up = false;
        for (int attempt = 0; attempt < 3 && !up; ++attempt) {
            up = r.up(VELKORAN_STANDIN_BIN, {"127.0.0.2"}, env, false, pre);
            if (!up)
                r.down();
        }
        ASSERT_TRUE(up) << r.why;
        base = r.info();
    }
    load::options opts(int conns, uint64_t bytes) const
    {
        load::options o;
        o.relayport = r.port();
        o.listenfd = r.destlisten;
        o.conns = conns;
        o.bytes = bytes;
        o.seed = 20261209;
        o.maxchunk = 16384;
        o.pausepct = 3;
        o.maxpausems = 10;
        o.timeoutms = 60000;
        return o;
    }
    // Waits until the relay holds no more descriptors than at the start.
    bool settled()
    {
        for (int i = 0; i < 100; ++i) {
            const rig::procinfo p = r.info();
            if (p.fds == base.fds && p.children == 0 && p.zombies == 0)
                return true;
            sleepms(50);
        }
        return false;
    }
    rig::relay r;
    rig::procinfo base;
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

TEST_F(Reliability, FortyConcurrentStreamsArriveByteExactBothWays)
{
    up();
    const load::result res = load::run(opts(40, 256 << 10));
    expectclean(res, 40);
    EXPECT_EQ(res.peakpaired, 40); // the barrier holds every stream until all are paired
    EXPECT_EQ(res.upchecked, 40ULL * (256 << 10));
    EXPECT_EQ(res.downchecked, 40ULL * (256 << 10));
    EXPECT_TRUE(r.alive());
    EXPECT_EQ(r.ownerr(), "");
    EXPECT_TRUE(settled());
}

TEST_F(Reliability, DestinationKilledMidStreamCutsEveryPairAndLaterClientsAreServed)
{
    up();
    load::options so = opts(0, 0);
    so.serveforms = 30000;
    const pid_t server = ::fork();
    if (server == 0) {
        load::run(so);
        ::_exit(0);
    }
    // The server alone holds the port: killed, it takes the port with it.
    ::close(r.destlisten);
    r.destlisten = -1;
    sleepms(300);
    load::options co = opts(8, 1ULL << 30);
    co.listenfd = -1;
    co.timeoutms = 20000;
    std::thread killer([&] {
        sleepms(4500); // verdicts are collected within one 3 s cycle of the relay
        ::kill(server, SIGKILL);
    });
    const load::result cut = load::run(co);
    killer.join();
    ::waitpid(server, nullptr, 0);
    EXPECT_EQ(cut.failed, 8) << load::summary(cut);
    EXPECT_GT(cut.downchecked, 0U);
    EXPECT_EQ(cut.corrupt, 0U);
    EXPECT_FALSE(cut.timedout);
    EXPECT_TRUE(settled());
    EXPECT_TRUE(r.alive());

    r.destlisten = load::listenon(r.dport);
    ASSERT_GE(r.destlisten, 0);
    const load::result later = load::run(opts(4, 256 << 10));
    expectclean(later, 4);
    EXPECT_TRUE(r.alive());
}

TEST_F(Reliability, ClientResetsMidStreamLeaveTheOtherStreamsIntact)
{
    up();
    load::options o = opts(9, 1 << 20);
    o.rstevery = 3; // clients 0, 3 and 6 reset after a quarter of their stream
    o.rstat = o.bytes / 4;
    const load::result res = load::run(o);
    EXPECT_EQ(res.resets, 3) << load::summary(res);
    EXPECT_EQ(res.completed, 6);
    EXPECT_EQ(res.servedcomplete, 6);
    EXPECT_EQ(res.corrupt, 0U);
    EXPECT_EQ(res.lost, 0U);
    EXPECT_TRUE(settled());
    EXPECT_TRUE(r.alive());
}

// What a pending client sends: (verdict, connections the destination sees, bytes it gets).
TEST_F(Reliability, PendingBytesReachTheDestinationOnlyAfterYes)
{
    struct row {
        int verdict;
        bool reaches;
    };
    for (const row& t : {row{7, true}, row{4, false}}) {
        SCOPED_TRACE(t.verdict);
        r.down();
        up({"STANDIN_VERDICT=" + std::to_string(t.verdict), "STANDIN_DELAY_MS=1500"});
        const int l = r.destlisten;
        load::nonblock(l);
        const int c = load::connectfrom("127.0.0.2", r.port());
        ASSERT_GE(c, 0);
        std::string sent(32768, '\0');
        load::fill(77, 0, reinterpret_cast<unsigned char*>(sent.data()), sent.size());
        ASSERT_EQ(::send(c, sent.data(), sent.size(), 0), static_cast<ssize_t>(sent.size()));
        const long t0 = load::nowms();
        int d = -1;
        while (d < 0 && load::nowms() - t0 < 5000) {
            d = ::accept(l, nullptr, nullptr);
            if (d < 0)
                sleepms(20);
        }
        if (!t.reaches) {
            EXPECT_LT(d, 0) << "a denied client reached the destination";
        } else {
            ASSERT_GE(d, 0);
            EXPECT_GE(load::nowms() - t0, 1400) << "connected before the verdict";
            std::string got;
            char buf[4096];
            while (got.size() < sent.size()) {
                pollfd pf{d, POLLIN, 0};
                if (::poll(&pf, 1, 5000) <= 0)
                    break;
                const ssize_t n = ::recv(d, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                got.append(buf, static_cast<size_t>(n));
            }
            EXPECT_TRUE(got == sent) << got.size() << " bytes";
            ::close(d);
        }
        // A denied client gets no byte: its connection just ends.
        if (!t.reaches) {
            char b;
            EXPECT_LE(::recv(c, &b, 1, MSG_DONTWAIT), 0);
        }
        ::close(c);
        EXPECT_TRUE(r.alive());
    }
}

TEST_F(Reliability, RefusedFloodBoundsItsLookupsSendsNoByteAndServingGoesOn)
{
    up();
    constexpr int FLOOD = 300;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t flooder = ::fork();
    if (flooder == 0) {
        int ends = 0, bytes = 0;
        for (int i = 0; i < FLOOD; ++i) {
            const int c = load::connectfrom("127.0.0.1", r.port());
            pollfd pf{c, POLLIN, 0};
            char buf[16];
            if (c >= 0 && ::poll(&pf, 1, 5000) > 0) {
                const ssize_t k = ::recv(c, buf, sizeof buf, 0);
                ends += k == 0 ? 1 : 0;
                bytes += k > 0 ? static_cast<int>(k) : 0;
            }
            if (c >= 0)
                ::close(c);
        }
        const int out[2] = {ends, bytes};
        (void)!::write(fds[1], out, sizeof out);
        ::_exit(0);
    }
    ::close(fds[1]);
    std::atomic<bool> stop{false};
    int maxkids = 0;
    std::thread sampler([&] {
        while (!stop) {
            maxkids = std::max(maxkids, r.info().children);
            sleepms(10);
        }
    });
    int out[2] = {-1, -1};
    ASSERT_EQ(::read(fds[0], out, sizeof out), static_cast<ssize_t>(sizeof out));
    ::close(fds[0]);
    ::waitpid(flooder, nullptr, 0);
    stop = true;
    sampler.join();
    EXPECT_EQ(out[0], FLOOD);
    EXPECT_EQ(out[1], 0);
    // Names are looked up by short-lived children, never more than 16 at once, none left over.
    EXPECT_LE(maxkids, 16);
    for (int i = 0; i < 100 && r.info().children + r.info().zombies > 0; ++i)
        sleepms(50);
    EXPECT_EQ(r.info().children + r.info().zombies, 0);
    const std::string err = r.err();
    // Other programs' clients on this machine may add refusals of their own. Beyond the
    // lookups in flight the address stands in the name's place.
    EXPECT_GE(rig::countlines(err, "bad host connect from localhost (127.0.0.1)\n") +
                  rig::countlines(err, "bad host connect from 127.0.0.1 (127.0.0.1)\n"),
              FLOOD);
    EXPECT_EQ(rig::ours(err), "");
    expectclean(load::run(opts(4, 256 << 10)), 4);
    EXPECT_TRUE(r.alive());
}

static long msnow()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A name server that never answers (a private resolver file in a mount namespace, a UDP socket
// on a loopback address that reads nothing): refused clients are closed at once, their names
// are looked up beside the loop, and a relayed client's round trips never wait for them.
// VELKORAN_SCALE=full runs a minute of refusals instead of three seconds.
TEST_F(Reliability, SilentNameServerNeverHoldsARelayedClient)
{
    const int dns = ::socket(AF_INET, SOCK_DGRAM, 0);
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

    const char* scale = std::getenv("VELKORAN_SCALE");
    const long runms = scale != nullptr && std::string(scale) == "full" ? 60000 : 3000;
    std::atomic<bool> stop{false};
    int refused = 0, maxlookups = 0;
    long worsteof = 0;
    std::thread hostile([&] {
        for (long next = msnow(); !stop; next += 333) {
            const int c = load::connectfrom("127.0.0.9", r.port());
            const long t0 = msnow();
            pollfd pf{c, POLLIN, 0};
            char b;
            if (c >= 0 && ::poll(&pf, 1, 15000) == 1 && ::recv(c, &b, 1, 0) == 0)
                worsteof = std::max(worsteof, msnow() - t0);
            else
                worsteof = 99999;
            if (c >= 0)
                ::close(c);
            ++refused;
            maxlookups = std::max(maxlookups, r.info().children);
            while (!stop && msnow() < next + 333)
                sleepms(10);
        }
    });
    // One relayed client echoed by the destination: one byte there and back, again and again.
    const int c = load::connectfrom("127.0.0.2", r.port());
    ASSERT_GE(c, 0);
    pollfd lp{r.destlisten, POLLIN, 0};
    ASSERT_EQ(::poll(&lp, 1, 10000), 1);
    const int d = ::accept(r.destlisten, nullptr, nullptr);
    ASSERT_GE(d, 0);
    long worst = 0, trips = 0;
    for (const long end = msnow() + runms; msnow() < end; ++trips) {
        const long t0 = msnow();
        char b = 'x';
        pollfd pc{c, POLLIN, 0}, pd{d, POLLIN, 0};
        if (::send(c, &b, 1, 0) != 1 || ::poll(&pd, 1, 30000) != 1 || ::recv(d, &b, 1, 0) != 1 ||
            ::send(d, &b, 1, 0) != 1 || ::poll(&pc, 1, 30000) != 1 || ::recv(c, &b, 1, 0) != 1) {
            worst = 99999;
            break;
        }
        worst = std::max(worst, msnow() - t0);
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
    for (int i = 0; i < 300 && rig::countlines(r.err(), line) < refused; ++i)
        sleepms(100);
    EXPECT_EQ(rig::countlines(r.err(), line), refused);
    EXPECT_TRUE(r.alive());
}

// Descriptors run out while one host's clients wait for their questions (20 descriptors, 40
// clients held open): each client beyond is taken off the backlog and closed with a line, the
// loop sleeps meanwhile, and a relayed client loses nothing.
TEST_F(Reliability, DescriptorsRunOutWhileClientsWaitAndTheProgramGoesOn)
{
    if (!haveprog("prlimit"))
        GTEST_SKIP() << "prlimit missing";
    ASSERT_TRUE(r.up(VELKORAN_STANDIN_BIN, {"127.0.0.2", "127.0.0.3"}, {"STANDIN_SILENT_INDEX=1"},
                     false, {"prlimit", "--nofile=20", "--"}))
        << r.why;
    const int c = load::connectfrom("127.0.0.2", r.port());
    ASSERT_GE(c, 0);
    pollfd lp{r.destlisten, POLLIN, 0};
    ASSERT_EQ(::poll(&lp, 1, 10000), 1);
    const int d = ::accept(r.destlisten, nullptr, nullptr);
    ASSERT_GE(d, 0);

    std::vector<int> held;
    for (int k = 0; k < 40; ++k)
        held.push_back(load::connectfrom("127.0.0.3", r.port()));
    // Relayed round trips go on while the held clients are taken in or cut.
    const std::string cut = std::string("accept: ") + std::strerror(EMFILE) + "\n";
    uint64_t sent = 0, back = 0;
    for (int i = 0; i < 400 && rig::countlines(r.err(), cut) == 0; ++i)
        sleepms(10);
    const rig::procinfo p0 = r.info();
    const long t0 = msnow();
    for (int k = 0; k < 2000 && msnow() - t0 < 2000; ++k) {
        char b = static_cast<char>(k);
        pollfd pc{c, POLLIN, 0}, pd{d, POLLIN, 0};
        if (::send(c, &b, 1, 0) == 1 && ::poll(&pd, 1, 5000) == 1 && ::recv(d, &b, 1, 0) == 1 &&
            ::send(d, &b, 1, 0) == 1 && ::poll(&pc, 1, 5000) == 1 && ::recv(c, &b, 1, 0) == 1 &&
            b == static_cast<char>(k))
            ++back;
        ++sent;
        sleepms(1);
    }
    const rig::procinfo p1 = r.info();
    const double cpu = static_cast<double>(p1.cputicks - p0.cputicks) * 10.0 /
                       static_cast<double>(std::max(1L, msnow() - t0));
    int closed = 0;
    for (int h : held) {
        pollfd ph{h, POLLIN, 0};
        char b;
        closed += ::poll(&ph, 1, 0) == 1 && ::recv(h, &b, 1, MSG_DONTWAIT) == 0 ? 1 : 0;
        ::close(h);
    }
    ::close(c);
    ::close(d);
    const std::string err = r.ownerr();
    std::printf("%d of 40 held clients closed, %d accept lines, %d questions up; relayed %lu of "
                "%lu round trips; CPU %.3f of a core\n",
                closed, rig::countlines(err, cut), p1.children, static_cast<unsigned long>(back),
                static_cast<unsigned long>(sent), cpu);
    EXPECT_GT(rig::countlines(err, cut), 0);
    EXPECT_EQ(closed, rig::countlines(err, cut) +
                          rig::countlines(err, "too many questions pending, client refused\n"));
    EXPECT_EQ(back, sent) << "relayed bytes lost";
    EXPECT_LT(cpu, 0.3) << "the loop spun at the limit";
    EXPECT_TRUE(r.alive());
}

TEST_F(Reliability, ClientThatNeverReadsCostsNeitherMemoryNorCpu)
{
    up();
    load::options o = opts(2, 16 << 20);
    o.noreadevery = 2; // client 0 never reads, client 1 moves its 16 MB meanwhile
    o.barrier = false;
    o.lingerms = 2500;
    struct sample {
        long t;
        rig::procinfo p;
    };
    std::vector<sample> samples;
    std::atomic<bool> stop{false};
    const long t0 = load::nowms();
    std::thread sampler([&] {
        while (!stop) {
            samples.push_back({load::nowms() - t0, r.info()});
            sleepms(100);
        }
    });
    const load::result res = load::run(o);
    stop = true;
    sampler.join();
    EXPECT_EQ(res.completed, 2) << load::summary(res);
    EXPECT_EQ(res.corrupt, 0U);
    EXPECT_EQ(res.lost, 0U);
    long maxrss = 0;
    for (const auto& x : samples)
        maxrss = std::max(maxrss, x.p.rsskb);
    EXPECT_LT(maxrss, base.rsskb + 2048) << "the relay's memory grew under a stalled reader";
    // The last linger period has only the stalled pair left: the relay must sleep in select.
    const sample* a = nullptr;
    for (const auto& x : samples)
        if (a == nullptr && x.t >= res.elapsedms - o.lingerms + 500)
            a = &x;
    ASSERT_NE(a, nullptr);
    const sample& b = samples.back();
    ASSERT_GT(b.t - a->t, 1000);
    const double cpu =
        static_cast<double>(b.p.cputicks - a->p.cputicks) * 10.0 / static_cast<double>(b.t - a->t);
    EXPECT_LT(cpu, 0.3) << "share of one core used while stalled";
    EXPECT_TRUE(r.alive());
}

TEST_F(Reliability, DescriptorLimitCutsClientsWithALineAndCorruptsNothing)
{
    if (!haveprog("prlimit"))
        GTEST_SKIP() << "prlimit missing";
    up({"STANDIN_DELAY_MS=1000"}, {"prlimit", "--nofile=64", "--"});
    load::options o = opts(50, 256 << 10);
    o.window = 50;
    o.barrier = false;
    const load::result res = load::run(o);
    EXPECT_EQ(res.completed + res.failed, 50) << load::summary(res);
    EXPECT_GT(res.failed, 0) << "the limit was never reached";
    EXPECT_GT(res.completed, 0);
    EXPECT_EQ(res.corrupt, 0U);
    EXPECT_EQ(res.extra, 0U);
    const std::string err = r.ownerr();
    // Each failed client has its line: no descriptor for its destination connection, or more
    // questions open than the display is asked at once.
    EXPECT_EQ(rig::countlines(err, "socket: Too many open files\n") +
                  rig::countlines(err, "too many questions pending, client refused\n"),
              res.failed)
        << err;
    EXPECT_TRUE(r.alive());
    expectclean(load::run(opts(10, 64 << 10)), 10);
}

TEST_F(Reliability, DialogChildKilledOrStoppedKeepsTheRelayConsistent)
{
    up({"STANDIN_DELAY_MS=1000"});
    // Killed: "child died abnormally", the client's connection ends without a byte.
    {
        const int c = load::connectfrom("127.0.0.2", r.port());
        std::vector<pid_t> kids;
        for (int i = 0; i < 100 && kids.empty(); ++i, sleepms(20))
            kids = rig::childrenof(r.v.pid);
        ASSERT_EQ(kids.size(), 1U);
        ::kill(kids[0], SIGKILL);
        pollfd pf{c, POLLIN, 0};
        ASSERT_EQ(::poll(&pf, 1, 8000), 1);
        char b;
        EXPECT_EQ(::recv(c, &b, 1, 0), 0);
        ::close(c);
        EXPECT_TRUE(settled());
        EXPECT_EQ(r.ownerr(), "child died abnormally\n");
    }
    // Stopped past its answer, then resumed: pending meanwhile, relayed after.
    {
        const int l = r.destlisten;
        const int c = load::connectfrom("127.0.0.2", r.port());
        std::vector<pid_t> kids;
        for (int i = 0; i < 100 && kids.empty(); ++i, sleepms(20))
            kids = rig::childrenof(r.v.pid);
        ASSERT_EQ(kids.size(), 1U);
        ::kill(kids[0], SIGSTOP);
        sleepms(2500);
        EXPECT_EQ(rig::childrenof(r.v.pid).size(), 1U);
        load::nonblock(l);
        EXPECT_LT(::accept(l, nullptr, nullptr), 0) << "a stopped child's client was paired";
        ::kill(kids[0], SIGCONT);
        ASSERT_EQ(::send(c, "ping", 4, 0), 4);
        int d = -1;
        for (int i = 0; i < 300 && d < 0; ++i, sleepms(20))
            d = ::accept(l, nullptr, nullptr);
        ASSERT_GE(d, 0);
        char buf[4] = {};
        pollfd pf{d, POLLIN, 0};
        ASSERT_EQ(::poll(&pf, 1, 5000), 1);
        EXPECT_EQ(::recv(d, buf, 4, MSG_WAITALL), 4);
        EXPECT_EQ(std::string(buf, 4), "ping");
        ::close(d);
        ::close(c);
    }
    EXPECT_TRUE(r.alive());
}

// Hostile command lines never crash or hang the program: each ends with one message and
// status 1. Run in a network namespace of their own, so no name lookup leaves the machine.
TEST(ReliabilityCommandLine, HostileCommandLinesEndWithAMessageAndStatusOne)
{
    if (!haveprog("unshare") || runcmd({"unshare", "-n", "true"}).exitcode() != 0)
        GTEST_SKIP() << "no network namespaces here";
    std::mt19937_64 rng(4);
    for (int i = 0; i < 80; ++i) {
        std::vector<std::string> argv = {"unshare", "-n", VELKORAN_BIN};
        const auto a = cmdfuzz::cmdline(rng);
        argv.insert(argv.end(), a.begin(), a.end());
        const cmdresult res =
            runcmd(argv, {i % 2 == 0 ? "DISPLAY=" : "DISPLAY=localhost:0"}, 10000);
        SCOPED_TRACE("case " + std::to_string(i) + ", " + std::to_string(a.size()) + " arguments");
        EXPECT_EQ(res.exitcode(), 1) << res.err.substr(0, 200);
        ASSERT_FALSE(res.err.empty());
        EXPECT_EQ(res.err.back(), '\n');
        // One message of the command line's or the start-up's own (a host name may hold
        // newlines of its own, so lines are not counted).
        bool known = false;
        for (const char* m : {"usage: velkoran", "no such host ", "display not specified\n",
                              "display must be >= X11.0 and <= X11.100\n",
                              "Unable to open display at destination.\n",
                              "must specify at least one allowed host.\n"})
            known = known || res.err.rfind(m, 0) == 0;
        EXPECT_TRUE(known) << res.err.substr(0, 200);
    }
}

} // namespace
