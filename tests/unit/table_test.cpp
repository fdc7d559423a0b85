// The descriptor table: copyfromto on plain memory, idle records, closing, pairing, sizing.
#include "rig.h"

class Table : public Started
{
};

struct copycase {
    const char* name;
    int rcount; // source
    int wcount; // destination
    int moved;
};

class CopyFromTo : public Table, public ::testing::WithParamInterface<copycase>
{
};

// Only records and sets are touched: the numbers need no open descriptors behind them.
constexpr int SRC = 5;
constexpr int DST = 9;

TEST_P(CopyFromTo, MovesWhatFitsAndPacksTheRest)
{
    const copycase c = GetParam();
    const std::string s = pattern(static_cast<size_t>(c.rcount), 1);
    const std::string d = pattern(static_cast<size_t>(c.wcount), 2);
    setrbuf(SRC, s);
    setwbuf(DST, d);
    FD_SET(SRC, &rinit); // the source's interest is not copyfromto's business

    copyfromto(SRC, DST);

    const size_t k = static_cast<size_t>(c.moved);
    EXPECT_EQ(rwbuf[DST].wcount, c.wcount + c.moved);
    EXPECT_EQ(wbufof(DST), d + s.substr(0, k));
    EXPECT_EQ(rwbuf[SRC].rcount, c.rcount - c.moved);
    EXPECT_EQ(rbufof(SRC), s.substr(k));
    const bool joins = c.wcount < RWBUFSIZE; // a full destination changes no set
    EXPECT_EQ(inset(DST, winit), joins);
    EXPECT_EQ(inset(DST, rinit), joins);
    EXPECT_TRUE(inset(SRC, rinit));
    EXPECT_FALSE(inset(SRC, winit));
}

INSTANTIATE_TEST_SUITE_P(Cases, CopyFromTo,
                         ::testing::Values(copycase{"FullDestinationMovesNothing", 100, 1024, 0},
                                           copycase{"OneByteRoomTakesTheFirstByte", 100, 1023, 1},
                                           copycase{"AllFit", 300, 0, 300},
                                           copycase{"EmptySourceStillJoinsBothSets", 0, 500, 0},
                                           copycase{"FillsTheDestinationExactly", 1024, 1000, 24},
                                           copycase{"FullSourceIntoEmpty", 1024, 0, 1024}),
                         byname());

TEST_F(Table, CopyIntoASideThatSawEndOfFileDoesNotReadItAgain)
{
    setrbuf(SRC, "abc");
    rwbuf[DST].eofseen = 1;
    copyfromto(SRC, DST);
    EXPECT_EQ(wbufof(DST), "abc");
    EXPECT_TRUE(inset(DST, winit));
    EXPECT_FALSE(inset(DST, rinit));
}

TEST_F(Table, FreshTableIsIdleAndTheSetsEmpty)
{
    // Leave every kind of dirt behind, then start again.
    const ends x = unixends(), y = unixends();
    relaypair(x.relay, y.relay);
    setrbuf(x.relay, "left over");
    setwbuf(y.relay, "left over");
    rwbuf[40].closepending = 1;
    rwbuf[41].eofseen = 1;
    rwbuf[FD_SETSIZE - 1].peer = 3;
    FD_SET(40, &rfds);
    FD_SET(41, &wfds);

    ASSERT_TRUE(relayinit(FD_SETSIZE));
    EXPECT_EQ(ntable, FD_SETSIZE);
    int busy = 0;
    for (int fd = 0; fd < ntable; ++fd)
        busy += isidle(fd) ? 0 : 1;
    EXPECT_EQ(busy, 0);
    for (int fd = 0; fd < FD_SETSIZE; ++fd)
        busy += unwatched(fd) ? 0 : 1;
    EXPECT_EQ(busy, 0);
    EXPECT_EQ(nfds, 0);
    for (int fd : {x.relay, x.far, y.relay, y.far})
        ::close(fd);
}

TEST_F(Table, RelayCloseMakesTheRecordIdleAndClearsAllFourSets)
{
    const ends x = unixends(), y = unixends();
    const int a = x.relay, b = y.relay;
    relaypair(a, b);
    setrbuf(a, "read, never moved");
    setwbuf(a, "never written");
    rwbuf[a].eofseen = 1;
    for (fd_set* s : {&rinit, &winit, &rfds, &wfds}) {
        FD_SET(a, s);
        FD_SET(b, s);
    }

    relayclose(a);

    EXPECT_TRUE(isidle(a));
    EXPECT_TRUE(unwatched(a));
    EXPECT_FALSE(isopen(a));
    EXPECT_TRUE(endedclean(x.far, 1000));
    // The partner is the caller's business: untouched here.
    EXPECT_EQ(rwbuf[b].peer, a);
    EXPECT_TRUE(isopen(b));
    for (const fd_set* s : {&rinit, &winit, &rfds, &wfds})
        EXPECT_TRUE(inset(b, *s));
    for (int fd : {x.far, y.relay, y.far})
        ::close(fd);
}

TEST_F(Table, RelayCloseAboveTheSetsOnlyCloses)
{
    const ends x = unixends();
    const int high = ::fcntl(x.relay, F_DUPFD, FD_SETSIZE + 10);
    ASSERT_GE(high, FD_SETSIZE);
    ::close(x.relay);
    FD_SET(lfd, &wfds);
    const fd_set r = rinit, w = winit, rr = rfds, ww = wfds;

    relayclose(high);

    EXPECT_FALSE(isopen(high));
    EXPECT_EQ(std::memcmp(&r, &rinit, sizeof r), 0);
    EXPECT_EQ(std::memcmp(&w, &winit, sizeof w), 0);
    EXPECT_EQ(std::memcmp(&rr, &rfds, sizeof rr), 0);
    EXPECT_EQ(std::memcmp(&ww, &wfds, sizeof ww), 0);
    ::close(x.far);
}

// Moves the open descriptor from onto the number fd, which must be free.
static bool claim(int fd, int from)
{
    const bool ok = !isopen(fd) && ::dup2(from, fd) == fd;
    ::close(from);
    return ok;
}

// Out of the way of the low numbers a test wants to claim.
static int outoftheway(int fd)
{
    const int high = ::fcntl(fd, F_DUPFD, 200);
    ::close(fd);
    return high;
}

struct paircase {
    const char* name;
    int nfds, a, b, expect;
};

class RelayPair : public Table, public ::testing::WithParamInterface<paircase>
{
};

TEST_P(RelayPair, RaisesNfdsAsTheMaximumAndClosingNeverLowersIt)
{
    const paircase c = GetParam();
    const ends x = unixends();
    const int one = outoftheway(x.relay), other = outoftheway(x.far);
    ASSERT_TRUE(claim(c.a, one)) << "descriptor " << c.a << " is in use";
    ASSERT_TRUE(claim(c.b, other)) << "descriptor " << c.b << " is in use";
    nfds = c.nfds;
    // What earlier connections on the same numbers left behind is gone after pairing.
    setrbuf(c.a, "old");
    setwbuf(c.b, "old");
    rwbuf[c.a].closepending = 1;
    rwbuf[c.b].eofseen = 1;

    relaypair(c.a, c.b);

    EXPECT_EQ(nfds, c.expect);
    EXPECT_EQ(rwbuf[c.a].peer, c.b);
    EXPECT_EQ(rwbuf[c.b].peer, c.a);
    for (int fd : {c.a, c.b}) {
        EXPECT_EQ(rwbuf[fd].rcount, 0);
        EXPECT_EQ(rwbuf[fd].wcount, 0);
        EXPECT_EQ(rwbuf[fd].closepending, 0);
        EXPECT_EQ(rwbuf[fd].eofseen, 0);
        EXPECT_TRUE(inset(fd, rinit));
        EXPECT_TRUE(inset(fd, winit));
    }

    relayclose(c.a);
    relayclose(c.b);
    EXPECT_EQ(nfds, c.expect);
}

INSTANTIATE_TEST_SUITE_P(Cases, RelayPair,
                         ::testing::Values(paircase{"AboveTheBound", 24, 25, 27, 28},
                                           paircase{"HigherNumberFirst", 24, 29, 26, 30},
                                           paircase{"BothBelowTheBound", 40, 25, 27, 40}),
                         byname());

static size_t callocnmemb, callocsize;

struct sizecase {
    const char* name;
    int count, records;
};

class RelayInit : public Table, public ::testing::WithParamInterface<sizecase>
{
};

TEST_P(RelayInit, HoldsAtMostFdSetSizeRecords)
{
    const sizecase c = GetParam();
    callocnmemb = callocsize = 0;
    fake f(
        sys::calloc, +[](size_t n, size_t size) {
            callocnmemb = n;
            callocsize = size;
            return std::calloc(n, size);
        });
    ASSERT_TRUE(relayinit(c.count));
    EXPECT_EQ(ntable, c.records);
    EXPECT_EQ(callocnmemb, static_cast<size_t>(c.records));
    EXPECT_EQ(callocsize, sizeof(rwrec));
    EXPECT_TRUE(fdusable(c.records - 1));
    EXPECT_FALSE(fdusable(c.records));
    EXPECT_FALSE(fdusable(-1));
    EXPECT_TRUE(isidle(c.records - 1));
}

INSTANTIATE_TEST_SUITE_P(Cases, RelayInit,
                         ::testing::Values(sizecase{"Small", 10, 10},
                                           sizecase{"Exact", FD_SETSIZE, FD_SETSIZE},
                                           sizecase{"OneMore", FD_SETSIZE + 1, FD_SETSIZE},
                                           sizecase{"HighLimit", 1000000, FD_SETSIZE}),
                         byname());

TEST_F(Table, RelayInitWithoutMemoryReportsIt)
{
    fake f(
        sys::calloc, +[](size_t, size_t) -> void* { return nullptr; });
    EXPECT_FALSE(relayinit(FD_SETSIZE));
    EXPECT_EQ(ntable, 0);
    EXPECT_FALSE(fdusable(0));
}
