// The event loop with a faked select: the idle count, the sweep and the servicing scan.
#include "rig.h"

#include <sstream>

class Loop : public Started
{
};

static int timeout(int, fd_set*, fd_set*, fd_set*, timeval*)
{
    return 0;
}

TEST_F(Loop, TheTimeoutAfterIdleLimitTimeoutsEndsTheProgram)
{
    fake f(sys::select, &timeout);
    for (int k = 1; k <= IDLELIMIT; ++k) {
        relaycycle();
        ASSERT_EQ(idlecount, k);
    }
    const childresult r = runchild([] {
        relaycycle();
        ::_exit(0);
    });
    EXPECT_EQ(r.exitcode(), 1);
    EXPECT_EQ(r.err, "connections timed out\n");
}

// One scripted select result per cycle: 0 a timeout, -1 a failure with errno e, n > 0 that
// many readinesses (with no descriptor marked, so the scan finds nothing to do).
struct step {
    int result;
    int e;
    int idleafter;
};

static const step* script;

static int scripted(int, fd_set* r, fd_set* w, fd_set*, timeval*)
{
    const step s = *script++;
    FD_ZERO(r);
    FD_ZERO(w);
    errno = s.e;
    return s.result;
}

TEST_F(Loop, TimeoutsCountInterruptionsNeitherCountNorResetAndReadinessResets)
{
    // From a fresh start, then from one short of the limit.
    const std::vector<std::pair<int, std::vector<step>>> scripts = {
        {0,
         {{0, 0, 1},
          {0, 0, 2},
          {0, 0, 3},
          {-1, EINTR, 3},
          {0, 0, 4},
          {3, 0, 0},
          {0, 0, 1},
          {-1, EINTR, 1},
          {-1, EINTR, 1},
          {1, 0, 0}}},
        {IDLELIMIT - 1, {{0, 0, IDLELIMIT}, {1, 0, 0}, {0, 0, 1}}}};
    fake f(sys::select, &scripted);
    for (const auto& [start, steps] : scripts) {
        idlecount = start;
        script = steps.data();
        for (const step& s : steps) {
            relaycycle();
            EXPECT_EQ(idlecount, s.idleafter) << "from " << start << ", select gave " << s.result;
        }
    }
}

class SelectFailure : public Loop, public ::testing::WithParamInterface<int>
{
};

static int failwith;

TEST_P(SelectFailure, EndsWithThePerrorLine)
{
    failwith = GetParam();
    const childresult r = runchild([] {
        fake f(
            sys::select, +[](int, fd_set*, fd_set*, fd_set*, timeval*) {
                errno = failwith;
                return -1;
            });
        relaycycle();
        ::_exit(0);
    });
    EXPECT_EQ(r.exitcode(), 1);
    EXPECT_EQ(r.err, std::string("select: ") + std::strerror(GetParam()) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Errors, SelectFailure, ::testing::Values(EBADF, EINVAL, ENOMEM),
                         errnoname);

// What the loop handed to select.
static int seennfds;
static fd_set seenr, seenw;
static timeval seentv;
static bool seenexcept;

static int watch(int n, fd_set* r, fd_set* w, fd_set* e, timeval* tv)
{
    seennfds = n;
    seenr = *r;
    seenw = *w;
    seentv = *tv;
    seenexcept = e != nullptr;
    return 0;
}

TEST_F(Loop, SelectWaitsThreeSecondsOnCopiesOfTheInterestSets)
{
    fake f(sys::select, &watch);
    nfds = 30;
    FD_SET(20, &rinit);
    FD_SET(21, &winit);
    relaycycle();
    // Children's ends are watched too, without ever joining the interest sets.
    ASSERT_TRUE(chldfd >= 0 && !inset(chldfd, rinit));
    EXPECT_EQ(seennfds, std::max(30, chldfd + 1));
    fd_set want = rinit;
    FD_SET(chldfd, &want);
    EXPECT_EQ(std::memcmp(&seenr, &want, sizeof seenr), 0);
    EXPECT_EQ(std::memcmp(&seenw, &winit, sizeof seenw), 0);
    EXPECT_TRUE(inset(lfd, seenr));
    EXPECT_EQ(seentv.tv_sec, 3);
    EXPECT_EQ(seentv.tv_usec, 0);
    EXPECT_FALSE(seenexcept);
    // The timeout is set afresh for every select, whatever the last one left in it.
    seentv = {};
    relaycycle();
    EXPECT_EQ(seentv.tv_sec, 3);
}

// Standard error on a pipe that nobody reads, as a terminal stopped with Ctrl-S: lines wait,
// the loop goes on, a relayed pair keeps moving, and once the reader reads again every kept
// line comes whole and in order, then one line with the number lost.
TEST_F(Loop, AFullStandardErrorNeverHoldsTheLoop)
{
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    nonblock(p[1]);
    std::string filler(65536, 'f');
    size_t filled = 0;
    for (ssize_t n; (n = ::write(p[1], filler.data(), filler.size())) > 0;)
        filled += static_cast<size_t>(n);
    ::fcntl(p[1], F_SETFL, ::fcntl(p[1], F_GETFL) & ~O_NONBLOCK); // a writer would block
    const int saved = ::dup(2);
    ::dup2(p[1], 2);
    ::close(p[1]);

    const ends a = unixends(), b = unixends();
    relaypair(a.relay, b.relay);
    const std::string line(99, 'x');
    constexpr int LINES = 1000;
    for (int i = 0; i < LINES; ++i)
        say(std::to_string(1000 + i) + line.substr(4) + "\n");
    EXPECT_GE(diagwaiting(), 0);
    ASSERT_EQ(sendnow(a.far, "ping"), "ping");
    std::string got;
    for (int i = 0; i < 20 && got.size() < 4; ++i) {
        relaycycle();
        got += readsome(b.far, 16);
    }
    EXPECT_EQ(got, "ping");
    {
        fake f(sys::select, &watch);
        relaycycle();
        EXPECT_TRUE(diagwaiting() >= 0 && inset(diagwaiting(), seenw)) << "select wakes for room";
    }

    nonblock(p[0]);
    std::string err;
    const bool flowed = waituntil(
        [&] {
            char buf[8192];
            for (ssize_t n; (n = ::read(p[0], buf, sizeof buf)) > 0;)
                err.append(buf, static_cast<size_t>(n));
            if (diagwaiting() < 0)
                return true;
            diagflush();
            return false;
        },
        3000, 1);
    diaginit();
    ::dup2(saved, 2);
    ::close(saved);
    ::close(p[0]);
    ASSERT_TRUE(flowed);
    std::istringstream lines(err.substr(filled));
    std::string l;
    int kept = 0;
    while (std::getline(lines, l) && l.size() == line.size())
        EXPECT_EQ(l.substr(0, 4), std::to_string(1000 + kept++));
    EXPECT_GE(kept * 100, static_cast<int>(DIAGQUEUE) - 100);
    EXPECT_LE(kept * 100, static_cast<int>(DIAGQUEUE));
    EXPECT_EQ(l, std::to_string(LINES - kept) + " diagnostic lines lost");
    std::printf("%d lines kept, then: %s\n", kept, l.c_str());
    EXPECT_FALSE(std::getline(lines, l));
    for (const ends& e : {a, b})
        ::close(e.far);
}

TEST_F(Loop, SweepPutsEveryClosePendingDescriptorBelowNfdsIntoWinit)
{
    fake f(sys::select, &watch);
    nfds = 20;
    rwbuf[7].closepending = 1;
    rwbuf[12].closepending = 1;
    rwbuf[25].closepending = 1; // not below nfds: not swept
    relaycycle();
    for (int fd = 0; fd < 30; ++fd) {
        const bool swept = fd == 7 || fd == 12;
        EXPECT_EQ(inset(fd, winit), swept) << fd;
        EXPECT_EQ(inset(fd, seenw), swept) << fd;
    }
    EXPECT_EQ(inset(7, rinit), false);
}

// The servicing scan, observed through the calls it makes. Descriptors 0..3 of a scenario are
// two real pairs (0 with 1, 2 with 3), 4 is lsock; "w2 r0" marks readiness, the log records
// "w<i>" for a write, "r<i>" for a read and "a<i>" for an accept.
struct scancase {
    const char* name;
    int wcount[4];
    int rcount[4];
    const char* marks;
    int n;
    const char* expect;
};

static int fds[5];
static std::string scanlog;
static fd_set markr, markw;
static int markn;

static void logcall(char what, int fd)
{
    for (int i = 0; i < 5; ++i)
        if (fds[i] == fd)
            scanlog += (scanlog.empty() ? "" : " ") + std::string(1, what) + std::to_string(i);
}

class Scan : public Loop, public ::testing::WithParamInterface<scancase>
{
};

TEST_P(Scan, VisitsReadyDescriptorsInOrder)
{
    const scancase c = GetParam();
    const ends e0 = unixends(), e1 = unixends(), e2 = unixends(), e3 = unixends();
    const ends all[] = {e0, e1, e2, e3};
    for (int i = 0; i < 4; ++i)
        fds[i] = all[i].relay;
    fds[4] = lfd;
    ASSERT_TRUE(fds[0] < fds[1] && fds[1] < fds[2] && fds[2] < fds[3]);
    relaypair(fds[0], fds[1]);
    relaypair(fds[2], fds[3]);
    for (int i = 0; i < 4; ++i) {
        setwbuf(fds[i], std::string(static_cast<size_t>(c.wcount[i]), 'w'));
        setrbuf(fds[i], std::string(static_cast<size_t>(c.rcount[i]), 'r'));
    }
    FD_ZERO(&markr);
    FD_ZERO(&markw);
    std::istringstream marks(c.marks);
    for (std::string m; marks >> m;)
        FD_SET(fds[m[1] - '0'], m[0] == 'w' ? &markw : &markr);
    markn = c.n;
    scanlog.clear();

    {
        fake s(
            sys::select, +[](int, fd_set* r, fd_set* w, fd_set*, timeval*) {
                *r = markr;
                *w = markw;
                return markn;
            });
        fake wr(
            sys::write, +[](int fd, const void*, size_t n) {
                logcall('w', fd);
                return static_cast<ssize_t>(n);
            });
        fake rd(
            sys::read, +[](int fd, void* buf, size_t n) {
                logcall('r', fd);
                const size_t k = std::min<size_t>(n, 3);
                std::memcpy(buf, "xyz", k);
                return static_cast<ssize_t>(k);
            });
        fake ac(
            sys::accept, +[](int fd, sockaddr*, socklen_t*) {
                logcall('a', fd);
                errno = EAGAIN;
                return -1;
            });
        relaycycle();
    }
    EXPECT_EQ(scanlog, c.expect);
    EXPECT_EQ(idlecount, 0);
    for (const ends& e : all) {
        ::close(e.relay);
        ::close(e.far);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Scan,
    ::testing::Values(
        scancase{"WriteBeforeRead", {10, 0, 0, 0}, {0, 0, 0, 0}, "r0 w0", 2, "w0 r0"},
        scancase{"AscendingOrder", {0, 0, 5, 0}, {0, 0, 0, 0}, "r3 w2 r0", 3, "r0 w2 r3"},
        scancase{"ReadyCountStopsTheScan", {5, 0, 0, 5}, {0, 0, 0, 0}, "w0 r1 w3", 2, "w0 r1"},
        // Refilling an empty wbuf from the partner ends the turn: 0 is not read, and since
        // that read readiness is never counted off, the scan runs on to 2.
        scancase{"RefillEndsTheTurn", {0, 0, 5, 0}, {0, 5, 0, 0}, "w0 r0 w2", 3, "w2"},
        scancase{"NothingToWriteStillReads", {0, 0, 0, 0}, {0, 0, 0, 0}, "w0 r0", 2, "r0"},
        scancase{"ListenerGoesToAdmission", {0, 0, 0, 0}, {0, 0, 0, 0}, "r4", 1, "a4"},
        scancase{"ListenerInAscendingOrder", {0, 0, 0, 0}, {0, 0, 0, 0}, "r4 r2", 2, "a4 r2"}),
    byname());
