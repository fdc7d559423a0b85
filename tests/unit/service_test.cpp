// Servicing over socketpairs: the test holds the far ends, a zero-timeout select the readiness.
#include "relay/service.h"
#include "rig.h"

#include <sys/ioctl.h>

class Service : public Started
{
  protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(Started::SetUp());
        const ends x = unixends(), y = unixends();
        a = x.relay;
        fa = x.far;
        b = y.relay;
        fb = y.far;
        ASSERT_TRUE(a >= 0 && b >= 0);
        ASSERT_LT(a, b);
        relaypair(a, b);
    }
    void TearDown() override
    {
        for (int fd :
             {fa, fb, a, b, others[0].relay, others[0].far, others[1].relay, others[1].far})
            if (fd >= 0 && isopen(fd))
                ::close(fd);
        Started::TearDown();
    }
    // One cycle of the loop on the real readiness.
    static void cycle()
    {
        fake f(sys::select, &zeroselect);
        relaycycle();
    }
    // Runs cycles (at most 500) until the far end far sees end of file: exactly want reached
    // it before that.
    static ::testing::AssertionResult cyclestoeof(int far, const std::string& want)
    {
        std::string got;
        bool eof = false;
        for (int i = 0; i < 500 && !eof; ++i) {
            cycle();
            got += readnow(far, &eof);
        }
        return eof ? samebytes(got, want) : ::testing::AssertionFailure() << "no end of file";
    }
    // What fd's socket holds that nobody has read yet.
    static int unread(int fd)
    {
        int n = 0;
        ::ioctl(fd, FIONREAD, &n);
        return n;
    }
    void closefar(int& fd)
    {
        ::close(fd);
        fd = -1;
    }
    // fd's partner is gone: fd only drains what it holds, then closes.
    static void drain(int fd)
    {
        relayclose(rwbuf[fd].peer);
        rwbuf[fd].peer = -1;
        rwbuf[fd].closepending = 1;
    }
    // A second relayed pair, for what tearing down the first must leave alone.
    void otherpair()
    {
        others[0] = unixends();
        others[1] = unixends();
        relaypair(others[0].relay, others[1].relay);
    }
    bool othersuntouched() const
    {
        const int y = others[0].relay, z = others[1].relay;
        return rwbuf[y].peer == z && rwbuf[z].peer == y && isopen(y) && isopen(z) &&
               inset(y, rinit) && inset(z, rinit);
    }
    int a = -1, b = -1, fa = -1, fb = -1;
    ends others[2] = {{-1, -1}, {-1, -1}};
};

static size_t writecap;

static ssize_t shortwrite(int fd, const void* buf, size_t n)
{
    return ::write(fd, buf, std::min(n, writecap));
}

class PartialWrite : public Service, public ::testing::WithParamInterface<size_t>
{
};

TEST_P(PartialWrite, UnwrittenBytesStayInFrontAndTheRefillGoesBehind)
{
    writecap = GetParam();
    const std::string p = pattern(600, 3), q = pattern(700, 4);
    setwbuf(a, p);
    setrbuf(b, q);
    FD_CLR(b, &rinit);
    fake f(sys::write, &shortwrite);

    ASSERT_TRUE(writable(a));
    EXPECT_EQ(writephase(a), writeresult::readnext);
    const size_t w = std::min<size_t>(600, writecap);
    const size_t moved = std::min<size_t>(700, RWBUFSIZE - (600 - w));
    EXPECT_TRUE(samebytes(wbufof(a), p.substr(w) + q.substr(0, moved)));
    EXPECT_TRUE(samebytes(rbufof(b), q.substr(moved)));
    EXPECT_TRUE(inset(a, winit));
    EXPECT_TRUE(inset(b, rinit));
    std::string got = readnow(fa);
    EXPECT_TRUE(samebytes(got, p.substr(0, w)));

    for (int i = 0; i < 3000 && rwbuf[a].wcount > 0; ++i) {
        ASSERT_TRUE(writable(a));
        writephase(a);
        got += readnow(fa);
    }
    EXPECT_TRUE(samebytes(got, p + q));
    EXPECT_FALSE(inset(a, winit));
}

INSTANTIATE_TEST_SUITE_P(Caps, PartialWrite, ::testing::Values(1, 100, 599, 1024));

// One write phase of a, from the state given, on a writable socket: how it ends a's turn, what
// reaches a's far end, and whether the pair then goes on relaying both ways.
struct writecase {
    const char* name;
    int wcount;    // bytes waiting in a's wbuf
    int held;      // bytes waiting in the partner's rbuf
    bool draining; // a has lost its partner
    writeresult result;
};

class WritePhase : public Service, public ::testing::WithParamInterface<writecase>
{
};

TEST_P(WritePhase, FlushesRefillsAndDrainCloses)
{
    const writecase c = GetParam();
    const std::string out = pattern(static_cast<size_t>(c.wcount), 5);
    const std::string held = pattern(static_cast<size_t>(c.held), 6);
    if (c.draining) {
        drain(a);
    } else {
        setrbuf(b, held);
        if (c.held == RWBUFSIZE)
            FD_CLR(b, &rinit); // as a full rbuf leaves it
    }
    setwbuf(a, out);

    ASSERT_TRUE(writable(a));
    EXPECT_EQ(writephase(a), c.result);
    bool eof = false;
    std::string got = readfor(fa, out.size() + (c.draining ? 1U : 0U), 1000, &eof);
    EXPECT_TRUE(samebytes(got, out)) << "what a held went out at once";
    if (c.draining) {
        EXPECT_TRUE(eof);
        EXPECT_TRUE(torndown(a));
        return;
    }
    EXPECT_FALSE(eof);
    // The held bytes follow, then whatever b's far end sends next: b reads again.
    ASSERT_EQ(sendnow(fb, "next"), "next");
    for (int i = 0; i < 50 && got.size() < out.size() + held.size() + 4; ++i) {
        cycle();
        got += readnow(fa);
    }
    EXPECT_TRUE(samebytes(got, out + held + "next"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WritePhase,
    ::testing::Values(writecase{"FlushWithNothingToRefill", 10, 0, false, writeresult::readnext},
                      writecase{"FlushThenRefill", 10, RWBUFSIZE, false, writeresult::readnext},
                      // Moving the partner's bytes into an empty wbuf ends the turn.
                      writecase{"EmptyTakesThePartnersBytes", 0, RWBUFSIZE, false,
                                writeresult::refilled},
                      writecase{"EmptyWithNothingToRefill", 0, 0, false, writeresult::readnext},
                      writecase{"DrainingFlushedThenClosed", 10, 0, true, writeresult::closed},
                      writecase{"DrainingAlreadyEmptyClosed", 0, 0, true, writeresult::closed}),
    byname());

TEST_F(Service, FullRbufLeavesRinitAndReturnsAfterThePartnersWrite)
{
    const std::string old = pattern(RWBUFSIZE, 7), in = pattern(3000, 8);
    setwbuf(b, old);

    ASSERT_EQ(sendnow(fa, in.substr(0, 100)).size(), 100U);
    ASSERT_TRUE(waitreadable(a, 1000));
    readphase(a);
    EXPECT_TRUE(samebytes(rbufof(a), in.substr(0, 100))); // the partner has no room
    EXPECT_EQ(rwbuf[b].wcount, RWBUFSIZE);
    EXPECT_TRUE(inset(a, rinit)); // not full yet

    ASSERT_EQ(sendnow(fa, in.substr(100)).size(), 2900U);
    ASSERT_TRUE(readable(a));
    readphase(a);
    EXPECT_TRUE(samebytes(rbufof(a), in.substr(0, RWBUFSIZE)));
    EXPECT_FALSE(inset(a, rinit));

    // Still readable, but a full rbuf takes nothing more and changes nothing.
    ASSERT_TRUE(readable(a));
    readphase(a);
    EXPECT_EQ(rwbuf[a].rcount, RWBUFSIZE);
    EXPECT_FALSE(inset(a, rinit));
    EXPECT_EQ(unread(a), 3000 - RWBUFSIZE);

    ASSERT_TRUE(writable(b));
    EXPECT_EQ(writephase(b), writeresult::readnext);
    EXPECT_TRUE(samebytes(readfor(fb, RWBUFSIZE, 1000), old));
    EXPECT_TRUE(samebytes(wbufof(b), in.substr(0, RWBUFSIZE)));
    EXPECT_EQ(rwbuf[a].rcount, 0);
    EXPECT_TRUE(inset(a, rinit));
}

// A side whose rbuf is full and whose partner cannot take more comes back into rinit when
// bytes of the other direction move into its own wbuf. While input waits on it, it must not be
// reported ready cycle after cycle: a client that never reads would keep the loop busy.
TEST_F(Service, FullRbufBackInRinitLeavesItAndTheLoopSleeps)
{
    const std::string old = pattern(RWBUFSIZE, 11), full = pattern(RWBUFSIZE, 12);
    const std::string other = pattern(10, 13);
    setwbuf(b, old);
    setrbuf(a, full);
    FD_CLR(a, &rinit);
    fillsocket(b, 14); // b's far end never reads: b is not writable, its wbuf stays full
    ASSERT_EQ(sendnow(fa, pattern(500, 15)).size(), 500U);
    setrbuf(b, other);
    copyfromto(b, a); // the other direction moves on and puts a back into rinit
    ASSERT_TRUE(inset(a, rinit));
    ASSERT_TRUE(waitreadable(a, 1000));

    cycle();
    EXPECT_FALSE(inset(a, rinit));
    EXPECT_TRUE(samebytes(rbufof(a), full));
    EXPECT_EQ(unread(a), 500);

    // Nothing is ready any more: the next select times out instead of returning at once.
    EXPECT_TRUE(samebytes(readfor(fa, other.size(), 1000), other));
    EXPECT_FALSE(inset(a, winit));
    fd_set r = rinit, w = winit;
    timeval tv{0, 0};
    const int n = ::select(nfds, &r, &w, nullptr, &tv);
    EXPECT_FALSE(n > 0 && (FD_ISSET(a, &r) || FD_ISSET(b, &r) || FD_ISSET(b, &w)));
}

TEST_F(Service, ReadMovesWhatFitsAndKeepsTheRestInFront)
{
    const std::string old = pattern(1000, 9), in = pattern(100, 10);
    setwbuf(b, old);
    FD_CLR(b, &rinit);
    FD_CLR(b, &winit);
    ASSERT_EQ(sendnow(fa, in), in);
    ASSERT_TRUE(waitreadable(a, 1000));
    readphase(a);
    EXPECT_TRUE(samebytes(wbufof(b), old + in.substr(0, 24)));
    EXPECT_TRUE(samebytes(rbufof(a), in.substr(24)));
    EXPECT_TRUE(inset(b, winit));
    EXPECT_TRUE(inset(b, rinit));
    EXPECT_TRUE(inset(a, rinit));
}

TEST_F(Service, RefillComesBeforeReading)
{
    cycle(); // a pair with nothing to say leaves winit on its first write phases
    ASSERT_FALSE(inset(a, winit));
    ASSERT_FALSE(inset(b, winit));

    const std::string held = pattern(50, 11), in = pattern(30, 12);
    setrbuf(b, held);
    FD_CLR(b, &rinit);
    FD_SET(a, &winit);
    ASSERT_EQ(sendnow(fa, in), in);
    ASSERT_TRUE(waitreadable(a, 1000));

    cycle(); // a is writable with an empty wbuf, and readable
    EXPECT_TRUE(samebytes(wbufof(a), held));
    EXPECT_EQ(rwbuf[a].rcount, 0);
    EXPECT_TRUE(readable(a));
    EXPECT_TRUE(inset(a, winit));
    EXPECT_FALSE(inset(b, rinit));

    cycle(); // a writes, then reads and hands on
    EXPECT_TRUE(samebytes(readfor(fa, 50, 1000), held));
    EXPECT_TRUE(samebytes(wbufof(b), in));
    EXPECT_TRUE(inset(b, rinit));
    cycle();
    EXPECT_TRUE(samebytes(readfor(fb, 30, 1000), in));
}

TEST_F(Service, EndOfFileClosesAtOnceAndThePartnerDrainsThenCloses)
{
    smallsndbuf(b);
    const std::string filler = fillsocket(b, 13);
    ASSERT_FALSE(writable(b));
    const std::string out = pattern(700, 14), last = pattern(100, 15);
    setwbuf(b, out);
    FD_SET(b, &winit);
    ASSERT_EQ(sendnow(fa, last), last);
    closefar(fa);

    for (int i = 0; i < 10 && isopen(a); ++i)
        cycle();
    EXPECT_TRUE(torndown(a));
    EXPECT_EQ(rwbuf[b].peer, -1);
    EXPECT_EQ(rwbuf[b].closepending, 1);
    EXPECT_TRUE(inset(b, winit));
    EXPECT_TRUE(samebytes(wbufof(b), out + last));

    EXPECT_TRUE(cyclestoeof(fb, filler + out + last));
    EXPECT_TRUE(torndown(b));
}

// A client that sends a burst and closes while the other side is slow: the bytes still held
// in its rbuf at end of file must all arrive, then end of file.
TEST_F(Service, EndOfFileWithBytesStillHeldLosesNone)
{
    smallsndbuf(b);
    const std::string filler = fillsocket(b, 16);
    ASSERT_FALSE(writable(b));
    const std::string burst = pattern(RWBUFSIZE + 500, 17);
    ASSERT_EQ(sendnow(fa, burst), burst);
    closefar(fa);

    for (int i = 0; i < 8; ++i)
        cycle();
    EXPECT_TRUE(isopen(a));
    EXPECT_EQ(rwbuf[a].eofseen, 1);
    EXPECT_TRUE(samebytes(rbufof(a), burst.substr(RWBUFSIZE)));
    EXPECT_TRUE(samebytes(wbufof(b), burst.substr(0, RWBUFSIZE)));
    EXPECT_EQ(rwbuf[a].peer, b);
    EXPECT_EQ(rwbuf[b].peer, a);
    EXPECT_EQ(rwbuf[b].closepending, 0);
    EXPECT_FALSE(inset(a, rinit));

    // Only now does the far end of b read.
    EXPECT_TRUE(cyclestoeof(fb, filler + burst));
    EXPECT_TRUE(torndown(a));
    EXPECT_TRUE(torndown(b));
}

TEST_F(Service, EndOfFileOnADrainingDescriptorClosesOnlyIt)
{
    otherpair();
    drain(a);
    setwbuf(a, "never delivered");
    smallsndbuf(a);
    fillsocket(a, 18);
    ASSERT_FALSE(writable(a));
    ::shutdown(fa, SHUT_WR); // end of file for a, which still cannot write
    for (int i = 0; i < 10 && isopen(a); ++i)
        cycle();
    EXPECT_TRUE(torndown(a));
    EXPECT_TRUE(othersuntouched());
}

// A read or write phase that fails: the line, then the connection torn down, and only it.
struct errcase {
    const char* name;
    bool reading; // a's read phase fails; else b's write phase
    int e;
    bool real;     // a real closed peer rather than a faked failure
    bool draining; // the failing side's partner is already gone
};

static int failerrno;

static ssize_t failingwrite(int, const void*, size_t)
{
    errno = failerrno;
    return -1;
}

static ssize_t failingread(int, void*, size_t)
{
    errno = failerrno;
    return -1;
}

class IoError : public Service, public ::testing::WithParamInterface<errcase>
{
};

TEST_P(IoError, TearsDownTheConnectionAndOnlyEpipeIsQuiet)
{
    const errcase c = GetParam();
    failerrno = c.e;
    otherpair();
    const int fd = c.reading ? a : b, partner = c.reading ? b : a;
    setwbuf(fd, "pending");
    if (c.draining)
        drain(fd);
    else
        setrbuf(partner, "held");
    if (c.real)
        closefar(fb);
    const fd_set r = rinit, w = winit;
    ASSERT_TRUE(c.reading || writable(fd));
    writeresult result = writeresult::closed;
    const std::string err = capturestderr([&] {
        fake f(sys::write, c.reading || c.real ? sys::write : &failingwrite);
        fake g(sys::read, c.reading ? &failingread : sys::read);
        if (c.reading)
            readphase(fd);
        else
            result = writephase(fd);
    });
    EXPECT_EQ(result, writeresult::closed);
    EXPECT_EQ(err, c.e == EPIPE
                       ? std::string()
                       : "fd " + std::to_string(fd) + (c.reading ? ":read: " : ":write: ") +
                             std::strerror(c.e) + "\n");
    EXPECT_TRUE(torndown(fd) && torndown(partner));
    for (int far : {fa, fb})
        EXPECT_TRUE(far < 0 || endedclean(far, 1000)) << far;
    EXPECT_TRUE(othersuntouched());
    for (int k = 0; k < FD_SETSIZE; ++k) {
        if (k != fd && k != partner) {
            EXPECT_EQ(inset(k, rinit), inset(k, r)) << k;
            EXPECT_EQ(inset(k, winit), inset(k, w)) << k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IoError,
    ::testing::Values(errcase{"WritePeerGone", false, EPIPE, true, false},
                      errcase{"WriteConnectionReset", false, ECONNRESET, false, false},
                      errcase{"WriteIoError", false, EIO, false, false},
                      errcase{"ReadConnectionReset", true, ECONNRESET, false, false},
                      errcase{"ReadIoError", true, EIO, false, false},
                      errcase{"ReadTimedOut", true, ETIMEDOUT, false, false},
                      errcase{"ReadWhileDraining", true, ECONNRESET, false, true}),
    byname());

// The calls servicing makes, in order: "w7 r9".
static std::string calls;

static void note(char what, int fd)
{
    calls += (calls.empty() ? "" : " ") + std::string(1, what) + std::to_string(fd);
}

static ssize_t notedwrite(int fd, const void* buf, size_t n)
{
    note('w', fd);
    return ::write(fd, buf, n);
}

static ssize_t notedread(int fd, void* buf, size_t n)
{
    note('r', fd);
    return ::read(fd, buf, n);
}

static std::string notedcycle()
{
    calls.clear();
    return capturestderr([] {
        fake w(sys::write, &notedwrite);
        fake r(sys::read, &notedread);
        fake s(sys::select, &zeroselect);
        relaycycle();
    });
}

TEST_F(Service, PartnerTornDownEarlierInTheCycleIsNotServiced)
{
    cycle();
    setwbuf(a, "to a");
    FD_SET(a, &winit);
    closefar(fa); // a's write fails quietly with EPIPE and takes b with it
    setwbuf(b, "to b");
    FD_SET(b, &winit);
    ASSERT_EQ(sendnow(fb, "from b"), "from b");
    ASSERT_TRUE(waitreadable(b, 1000));
    ASSERT_TRUE(writable(b));

    EXPECT_EQ(notedcycle(), "");
    EXPECT_EQ(calls, "w" + std::to_string(a));
    EXPECT_FALSE(isopen(a));
    EXPECT_FALSE(isopen(b));
}

TEST_F(Service, DrainClosedDescriptorIsNotReadInTheSameCycle)
{
    drain(a);
    ASSERT_EQ(sendnow(fa, "late"), "late");
    ASSERT_TRUE(waitreadable(a, 1000));

    EXPECT_EQ(notedcycle(), "");
    EXPECT_EQ(calls, "");
    EXPECT_FALSE(isopen(a));
    EXPECT_TRUE(isidle(a));
}

static std::minstd_rand capper;

static ssize_t randomwrite(int fd, const void* buf, size_t n)
{
    return ::write(fd, buf, std::min<size_t>(n, 1 + capper() % RWBUFSIZE));
}

TEST_F(Service, BytesLeaveEachDirectionInTheOrderTheyEntered)
{
    smallsndbuf(a); // the relay's sockets fill often: back-pressure in both directions
    smallsndbuf(b);
    std::mt19937 rng(20240611);
    capper.seed(7);
    const std::string ab = pattern(400000, 19), ba = pattern(400000, 20);
    size_t sentab = 0, sentba = 0;
    std::string gotab, gotba;
    fake w(sys::write, &randomwrite);
    fake s(sys::select, &zeroselect);
    for (int round = 0; round < 400; ++round) {
        sentab += sendnow(fa, ab.substr(sentab, rng() % 2500)).size();
        sentba += sendnow(fb, ba.substr(sentba, rng() % 2500)).size();
        for (auto k = rng() % 3; k < 3; ++k)
            relaycycle();
        gotab += readsome(fb, rng() % 4000);
        gotba += readsome(fa, rng() % 4000);
    }
    for (int i = 0; i < 1500 && (gotab.size() < sentab || gotba.size() < sentba); ++i) {
        relaycycle();
        gotab += readnow(fb);
        gotba += readnow(fa);
    }
    EXPECT_GT(sentab, 100000U);
    EXPECT_GT(sentba, 100000U);
    EXPECT_TRUE(samebytes(gotab, ab.substr(0, sentab)));
    EXPECT_TRUE(samebytes(gotba, ba.substr(0, sentba)));
}
