// Verdicts from real children, pairing with a loopback destination, and the prune.
#include "admission/verdict.h"
#include "dialog/alert.h"
#include "rig.h"
#include "startup/startup.h"

#include <netinet/tcp.h>
#include <regex>

// How a child ends: an exit status, or one of these.
constexpr int KILLED = -1;  // raise(SIGKILL)
constexpr int PENDING = -2; // waits until the test kills it
constexpr int STOPS = -3;   // raise(SIGSTOP), then _exit(VERDICT_DENY) once continued

class Verdict : public Started
{
  protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(Started::SetUp());
        dest = loopbacklistener(&forward_to);
        clients = loopbacklistener(&clientaddr);
        ASSERT_TRUE(dest >= 0 && clients >= 0);
    }
    void TearDown() override
    {
        endchildren(pids, false);
        for (int fd : opened)
            if (isopen(fd))
                ::close(fd);
        for (int fd : {dest, clients})
            ::close(fd);
        Started::TearDown();
    }

    pid_t spawn(int end)
    {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (end == KILLED)
                ::raise(SIGKILL);
            if (end == PENDING)
                for (;;)
                    ::pause();
            if (end == STOPS) {
                ::raise(SIGSTOP);
                ::_exit(VERDICT_DENY);
            }
            ::_exit(end);
        }
        pids.push_back(pid);
        return pid;
    }

    // Waits (bounded) until the child has ended or stopped, without collecting it.
    static bool settled(pid_t pid, int how = WEXITED)
    {
        siginfo_t si{};
        return waituntil(
            [&] {
                return ::waitid(P_PID, static_cast<id_t>(pid), &si, how | WNOHANG | WNOWAIT) == 0 &&
                       si.si_pid == pid;
            },
            5000, 5);
    }

    // An accepted TCP client: the relay's descriptor and the test's far end.
    ends client()
    {
        const int far = tcpconnect(clientaddr);
        const int c = ::accept(clients, nullptr, nullptr);
        opened.push_back(far);
        opened.push_back(c);
        return {c, far};
    }

    // A question for a fresh client, its child ending as end says (and settled as how says).
    struct question {
        pid_t pid;
        int relay, far;
        bool settled;
    };
    question ask(int end, int how = WEXITED)
    {
        const pid_t pid = spawn(end);
        const ends cl = client();
        pushchild(pid, cl.relay);
        return {pid, cl.relay, cl.far, settled(pid, how)};
    }

    int dest = -1, clients = -1;
    sockaddr_in clientaddr{};
    std::vector<pid_t> pids;
    std::vector<int> opened;
};

struct verdictcase {
    const char* name;
    int end;
    const char* message;
    bool ignored = false; // started with SIGCHLD ignored, as a careless parent may leave it
};

class Verdicts : public Verdict, public ::testing::WithParamInterface<verdictcase>
{
};

TEST_P(Verdicts, ActOnTheWayTheChildEnded)
{
    const verdictcase c = GetParam();
    if (c.ignored) {
        std::signal(SIGCHLD, SIG_IGN);
        initmodules(lfd);
    }
    const question cl = ask(c.end);
    ASSERT_TRUE(cl.settled);
    const int before = nfds;

    EXPECT_EQ(capturestderr(reapchildren), c.message);
    EXPECT_EQ(children, nullptr);
    siginfo_t si{};
    EXPECT_NE(::waitid(P_PID, static_cast<id_t>(cl.pid), &si, WEXITED | WNOHANG), 0)
        << "the child is collected";

    if (c.end == VERDICT_ALLOW) {
        ASSERT_TRUE(isopen(cl.relay));
        const int s = rwbuf[cl.relay].peer;
        ASSERT_GE(s, 0);
        EXPECT_EQ(rwbuf[s].peer, cl.relay);
        ASSERT_TRUE(waitreadable(dest, 2000));
        opened.push_back(::accept(dest, nullptr, nullptr));
        return;
    }
    EXPECT_FALSE(isopen(cl.relay));
    EXPECT_TRUE(endedclean(cl.far));
    EXPECT_FALSE(waitreadable(dest, 0)) << "no connection to the destination";
    EXPECT_EQ(nfds, before);
    EXPECT_TRUE(unwatched(cl.relay));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Verdicts,
    ::testing::Values(verdictcase{"Allow", VERDICT_ALLOW, ""},
                      verdictcase{"Deny", VERDICT_DENY, ""},
                      verdictcase{"ExitZero", 0, "Unknown exit status of child\n"},
                      verdictcase{"ExitOne", 1, "Unknown exit status of child\n"},
                      verdictcase{"ExitMinusOne", 255, "Unknown exit status of child\n"},
                      verdictcase{"KilledBySignal", KILLED, "child died abnormally\n"},
                      verdictcase{"AllowStartedWithChildrenIgnored", VERDICT_ALLOW, "", true},
                      verdictcase{"DenyStartedWithChildrenIgnored", VERDICT_DENY, "", true}),
    byname());

static int seennfds;
static fd_set seenr, seenw;

static int watch(int n, fd_set* r, fd_set* w, fd_set*, timeval*)
{
    seennfds = n;
    seenr = *r;
    seenw = *w;
    return 0;
}

static int nodelay(int fd)
{
    int on = 0;
    socklen_t len = sizeof on;
    ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &len);
    return on;
}

TEST_F(Verdict, AllowPairsWithANewDestinationConnectionSeenByThisCyclesSelect)
{
    const question cl = ask(VERDICT_ALLOW);
    ASSERT_TRUE(cl.settled);
    const int c = cl.relay;
    // What an earlier connection on the same number left behind must not leak into this one.
    setrbuf(c, "stale");
    setwbuf(c, "stale");
    rwbuf[c].closepending = 1;
    ASSERT_EQ(sendnow(cl.far, "sent while waiting"), "sent while waiting");
    const int before = nfds;

    {
        fake f(sys::select, &watch);
        relaycycle();
    }
    const int s = rwbuf[c].peer;
    ASSERT_GE(s, 0);
    EXPECT_NE(s, c);
    EXPECT_EQ(rwbuf[s].peer, c);
    EXPECT_EQ(nfds, std::max({before, c + 1, s + 1}));
    EXPECT_EQ(seennfds, nfds);
    for (int fd : {c, s}) {
        EXPECT_EQ(rwbuf[fd].rcount, 0);
        EXPECT_EQ(rwbuf[fd].wcount, 0);
        EXPECT_EQ(rwbuf[fd].closepending, 0);
        EXPECT_TRUE(inset(fd, rinit) && inset(fd, winit));
        EXPECT_TRUE(inset(fd, seenr) && inset(fd, seenw));
        EXPECT_EQ(nodelay(fd), 1);
    }
    EXPECT_EQ(children, nullptr);

    ASSERT_TRUE(waitreadable(dest, 2000));
    const int server = ::accept(dest, nullptr, nullptr);
    opened.push_back(server);
    ::fcntl(server, F_SETFL, ::fcntl(server, F_GETFL) | O_NONBLOCK);

    // The bytes the client sent while it waited are the first to reach the destination, and
    // the destination's answer goes back.
    std::string atserver, atclient;
    ASSERT_EQ(sendnow(server, "answer"), "answer");
    for (int i = 0; i < 200 && (atserver.size() < 18 || atclient.size() < 6); ++i) {
        fake f(sys::select, &zeroselect);
        relaycycle();
        atserver += readnow(server);
        atclient += readnow(cl.far);
        ::usleep(1000);
    }
    EXPECT_EQ(atserver, "sent while waiting");
    EXPECT_EQ(atclient, "answer");
    opened.push_back(s);
}

TEST_F(Verdict, RefusedConnectClosesBothAndGoesOn)
{
    ::close(dest);
    dest = loopbacklistener(&forward_to, false); // bound, not listening: connections refused
    ASSERT_GE(dest, 0);
    const question cl = ask(VERDICT_ALLOW);
    ASSERT_TRUE(cl.settled);
    const int before = nfds;
    const size_t fds = openfds();

    EXPECT_EQ(capturestderr(reapchildren), "connect: Connection refused\n");
    EXPECT_EQ(openfds(), fds - 1); // the client and the new socket closed, nothing left over
    EXPECT_FALSE(isopen(cl.relay));
    EXPECT_TRUE(endedclean(cl.far));
    EXPECT_EQ(children, nullptr);
    EXPECT_EQ(nfds, before);
    EXPECT_TRUE(unwatched(cl.relay));
}

TEST_F(Verdict, ChildrenEndingInOneCycleAreAllHandledNewestFirst)
{
    const pid_t oldest = spawn(0), pending1 = spawn(PENDING), killed = spawn(KILLED),
                pending2 = spawn(PENDING);
    const ends c1 = client(), c2 = client(), c3 = client(), c4 = client();
    pushchild(oldest, c1.relay);
    pushchild(pending1, c2.relay);
    pushchild(killed, c3.relay);
    pushchild(pending2, c4.relay);
    childrec* const keepnewer = children;
    childrec* const keepolder = children->next->next;
    ASSERT_TRUE(settled(oldest));
    ASSERT_TRUE(settled(killed));

    EXPECT_EQ(capturestderr(reapchildren), "child died abnormally\nUnknown exit status of child\n");
    ASSERT_EQ(children, keepnewer);
    EXPECT_EQ(children->pid, pending2);
    ASSERT_EQ(children->next, keepolder);
    EXPECT_EQ(children->next->pid, pending1);
    EXPECT_EQ(children->next->next, nullptr);
    EXPECT_EQ(children->done + children->next->done, 0);
    EXPECT_TRUE(endedclean(c1.far));
    EXPECT_TRUE(endedclean(c3.far));
    EXPECT_TRUE(isopen(c2.relay) && isopen(c4.relay));
    EXPECT_TRUE(unwatched(c2.relay) && unwatched(c4.relay));

    // A later cycle with nothing ended changes nothing.
    EXPECT_EQ(capturestderr(reapchildren), "");
    EXPECT_EQ(children, keepnewer);
    EXPECT_EQ(children->next, keepolder);
}

TEST_F(Verdict, FailedWaitIsNeverDecoded)
{
    const ends cl = client();
    pushchild(999999, cl.relay);
    // A failed wait that left an allow in the status word must still not pair.
    fake f(
        sys::waitpid, +[](pid_t, int* status, int) -> pid_t {
            *status = VERDICT_ALLOW << 8;
            errno = ECHILD;
            return -1;
        });
    EXPECT_EQ(capturestderr(reapchildren), "child died abnormally\n");
    EXPECT_EQ(children, nullptr);
    EXPECT_FALSE(isopen(cl.relay));
    EXPECT_TRUE(endedclean(cl.far));
    EXPECT_FALSE(waitreadable(dest, 0));
    EXPECT_TRUE(isidle(cl.relay));
}

static int waits;

TEST_F(Verdict, ReapingCostsOneWaitWhateverIsPending)
{
    for (int k = 0; k < 16; ++k)
        pushchild(spawn(PENDING), -1);
    const question cl = ask(VERDICT_DENY);
    ASSERT_TRUE(cl.settled);
    waits = 0;
    fake f(
        sys::waitpid, +[](pid_t pid, int* status, int options) {
            ++waits;
            return ::waitpid(pid, status, options);
        });
    EXPECT_EQ(reapchildren(), 1);
    EXPECT_EQ(waits, 2); // the ended child, then the answer that no other has ended
    EXPECT_TRUE(endedclean(cl.far));
    waits = 0;
    EXPECT_EQ(reapchildren(), 0);
    EXPECT_EQ(waits, 1);
}

TEST_F(Verdict, StoppedChildStaysPendingUntilItEnds)
{
    const question cl = ask(STOPS, WSTOPPED);
    ASSERT_TRUE(cl.settled);

    EXPECT_EQ(capturestderr(reapchildren), "");
    ASSERT_NE(children, nullptr);
    EXPECT_EQ(children->done, 0);
    EXPECT_TRUE(isopen(cl.relay));

    ::kill(cl.pid, SIGCONT);
    ASSERT_TRUE(settled(cl.pid));
    EXPECT_EQ(capturestderr(reapchildren), "");
    EXPECT_EQ(children, nullptr);
    EXPECT_TRUE(endedclean(cl.far));
}

// Every number below FD_SETSIZE taken when a Yes comes: the new connection to the destination
// gets a number the sets cannot hold, and both ends are closed with a line.
TEST_F(Verdict, DestinationConnectionAboveTheSetsRefusesTheClient)
{
    const question cl = ask(VERDICT_ALLOW);
    ASSERT_TRUE(cl.settled);
    collectchildren(); // here: the forked test below is not the child's parent
    const int before = nfds;
    const childresult r = runchild([] {
        const int spare = ::open("/dev/null", O_RDONLY);
        for (int i = 0; i < 2 * FD_SETSIZE && ::fcntl(spare, F_DUPFD, 0) < FD_SETSIZE - 1; ++i) {
        }
        reapchildren();
        ::_exit(children == nullptr ? 0 : 5);
    });
    ::close(cl.relay); // the forked test's copy is gone with it
    EXPECT_EQ(r.exitcode(), 0);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        r.err, m, std::regex("fd ([0-9]+): too many open connections, client refused\n")))
        << r.err;
    EXPECT_GE(std::stoi(m[1]), FD_SETSIZE);
    EXPECT_TRUE(endedclean(cl.far));
    EXPECT_EQ(nfds, before);
    // The destination saw a connection come and go, without a byte.
    ASSERT_TRUE(waitreadable(dest, 2000));
    const int server = ::accept(dest, nullptr, nullptr);
    opened.push_back(server);
    EXPECT_TRUE(endedclean(server));
}
