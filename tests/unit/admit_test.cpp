// Admission through a real loopback listener: refusals, confirmation children, accept and fork
// failures. Refused clients come from 127.0.0.1 (named by /etc/hosts), allowed ones from
// 127.0.0.2, so no lookup ever leaves the machine.
#include "admission/lookup.h"
#include "admission/verdict.h"
#include "dialog/alert.h"
#include "rig.h"
#include "support/standin.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <regex>
#include <sys/resource.h>

static char allowedname[] = "trusted";

class Admit : public Started
{
  protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(Started::SetUp());
        nallow = 1;
        allownames[0] = allowedname;
        allowaddrs[0] = inet_addr("127.0.0.2");
        standin_verdict = VERDICT_ALLOW;
        standin_delay_ms = 0;
    }
    void TearDown() override
    {
        endchildren(pids, true);
        for (int fd : fars)
            ::close(fd);
        Started::TearDown();
    }

    // A client connected from the address from (nullptr: the system's choice, a refused
    // one), waiting in lsock's queue; lsock is readable.
    int pending(const char* from = "127.0.0.2")
    {
        const int far = tcpconnect(laddr, from);
        EXPECT_GE(far, 0) << "no connection from " << (from != nullptr ? from : "127.0.0.1");
        EXPECT_TRUE(waitreadable(lfd, 2000));
        if (far >= 0)
            fars.push_back(far);
        return far;
    }

    // admitclient, once lsock is readable; the entry it made, if any, is remembered.
    void admit()
    {
        ASSERT_TRUE(waitreadable(lfd, 2000));
        const childrec* head = children;
        admitclient();
        if (children != head)
            pids.push_back(children->pid);
    }

    std::vector<pid_t> pids;
    std::vector<int> fars;
};

// The reverse lookup of a refused peer: a stand-in answer, no answer, or the real resolver.
enum lookup { NAMED, NAMELESS, REAL };

struct refusecase {
    const char* name;
    lookup how;
    const char* shown;
};

static char standinname[] = "refused.example";
static lookup answer;
static int forks;

// Runs in the lookup helper: only its answer comes back, in the refusal line.
static int standinlookup(const void*, socklen_t, int, hostent* h, char*, size_t, hostent** r, int*)
{
    *h = hostent{standinname, nullptr, AF_INET, 4, nullptr};
    *r = answer == NAMED ? h : nullptr;
    return answer == NAMED ? 0 : ENOENT;
}

// Silent for 127.0.0.1, the stand-in name at once for any other address.
static int silentresolver(const void* addr, socklen_t, int, hostent* h, char*, size_t, hostent** r,
                          int*)
{
    if (std::memcmp(addr, "\x7f\0\0\x01", 4) != 0) {
        *h = hostent{standinname, nullptr, AF_INET, 4, nullptr};
        *r = h;
        return 0;
    }
    ::sleep(60);
    *r = nullptr;
    return ENOENT;
}

// The lookup helpers this process has, alive.
static std::vector<pid_t> lookuphelpers()
{
    std::vector<pid_t> out;
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        const std::string pid = e.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream comm(e.path() / "comm"), stat(e.path() / "stat");
        std::string name, skip, state, ppid;
        if (std::getline(comm, name) && name == "velkoran-lookup" &&
            std::getline(stat, skip, ')') && stat >> state >> ppid && state != "Z" &&
            std::stoi(ppid) == ::getpid())
            out.push_back(std::stoi(pid));
    }
    return out;
}

class Refused : public Admit, public ::testing::WithParamInterface<refusecase>
{
};

TEST_P(Refused, OneLineEachAndClosedWithoutAByte)
{
    const refusecase c = GetParam();
    answer = c.how;
    forks = 0;
    // An entry already waiting stays as it is.
    childrec* const waiting = pushchild(0, -1);
    const int before = nfds;
    const fd_set r = rinit, w = winit;
    std::vector<int> far;
    size_t fds = 0, after = 0;
    std::string err;
    {
        fake l(sys::gethostbyaddr_r, c.how == REAL ? sys::gethostbyaddr_r : &standinlookup);
        fake f(
            sys::fork, +[] {
                ++forks;
                return ::fork();
            });
        err = capturestderr(
            [&] {
                for (int k = 0; k < 2; ++k) {
                    far.push_back(pending(nullptr));
                    fds = openfds();
                    admit();
                    after = openfds();
                }
            },
            2, 5000);
    }
    const std::string line = std::string("bad host connect from ") + c.shown + " (127.0.0.1)\n";
    EXPECT_EQ(err, line + line);
    EXPECT_EQ(forks, 1) << "one lookup helper for every refusal, no confirmation child";
    EXPECT_EQ(children, waiting);
    EXPECT_EQ(waiting->next, nullptr);
    EXPECT_EQ(after, fds) << "once the helper runs, a refusal leaves nothing open";
    for (int f : far) {
        EXPECT_TRUE(endedclean(f, 2000));
    }
    EXPECT_EQ(nfds, before);
    EXPECT_EQ(std::memcmp(&r, &rinit, sizeof r), 0);
    EXPECT_EQ(std::memcmp(&w, &winit, sizeof w), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, Refused,
                         ::testing::Values(refusecase{"Named", NAMED, "refused.example"},
                                           refusecase{"NamelessShowsTheAddress", NAMELESS,
                                                      "127.0.0.1"},
                                           refusecase{"RealLookup", REAL, "localhost"}),
                         byname());

TEST_F(Admit, ASilentResolverNeverHoldsTheLoop)
{
    fake l(sys::gethostbyaddr_r, &silentresolver);
    std::vector<int> far;
    long slowest = 0;
    const auto start = std::chrono::steady_clock::now();
    const std::string err = capturestderr(
        [&] {
            pending("127.0.0.3");
            admit();
            for (int k = 0; k < 3; ++k) {
                far.push_back(pending(nullptr));
                const auto t = std::chrono::steady_clock::now();
                admit();
                slowest =
                    std::max<long>(slowest, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                std::chrono::steady_clock::now() - t)
                                                .count());
                EXPECT_TRUE(endedclean(far.back(), 1000)) << "closed at once, name or not";
            }
        },
        4, LOOKUPLIMITMS + 5000);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
    EXPECT_LT(slowest, 1000);
    // Another client's name comes at once, beside the lookups that hang; at the limit, and not
    // before, the address stands in their name's place.
    EXPECT_EQ(err, "bad host connect from refused.example (127.0.0.3)\n"
                   "bad host connect from 127.0.0.1 (127.0.0.1)\n"
                   "bad host connect from 127.0.0.1 (127.0.0.1)\n"
                   "bad host connect from 127.0.0.1 (127.0.0.1)\n");
    EXPECT_GE(took, LOOKUPLIMITMS - 500);
}

// A helper that dies says nothing through the verdicts, and another takes its place.
TEST_F(Admit, ADeadLookupHelperIsReplaced)
{
    answer = NAMED;
    fake l(sys::gethostbyaddr_r, &standinlookup);
    const std::string err = capturestderr(
        [&] {
            pending(nullptr);
            admit();
            std::vector<pid_t> helpers;
            ASSERT_TRUE(
                waituntil([&] { return (helpers = lookuphelpers()).size() == 1; }, 2000, 5));
            ::kill(helpers[0], SIGKILL);
            EXPECT_TRUE(waituntil(
                [] {
                    reapchildren();
                    return lookuphelpers().empty();
                },
                2000, 5));
            // Refused at once with the address while none runs, by name again once one does.
            EXPECT_TRUE(waituntil(
                [&] {
                    pending(nullptr);
                    admit();
                    return lookuphelpers().size() == 1;
                },
                3000, 100));
            pending(nullptr);
            admit();
        },
        1000, 3000);
    EXPECT_NE(err.find("bad host connect from 127.0.0.1 (127.0.0.1)\n"), std::string::npos)
        << "while no helper runs, the address at once";
    EXPECT_EQ(err.size() - err.rfind("bad host connect from refused.example (127.0.0.1)\n"),
              std::string("bad host connect from refused.example (127.0.0.1)\n").size())
        << err;
    EXPECT_EQ(err.find("child"), std::string::npos) << "no line about the helper's end";
}

TEST_F(Admit, AFullLookupQueueIsToldAtOnce)
{
    fake l(sys::gethostbyaddr_r, &silentresolver);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = inet_addr("127.0.0.1");
    int taken = 0;
    bool full = false;
    for (int k = 0; k < 100000 && !full; ++k) {
        if (asklookup(peer))
            ++taken;
        else
            full = true;
    }
    EXPECT_TRUE(full);
    EXPECT_GT(taken, 0);
    EXPECT_LT(taken, LOOKUPQUEUE + 1024) << "the helper's queue and its short pipe, no more";
}

static uint32_t peerof(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return a.sin_addr.s_addr;
}

TEST_F(Admit, AllowedClientsGetAChildEachNewestFirst)
{
    // A match at the last entry admits like one at the first.
    nallow = 3;
    allowaddrs[0] = inet_addr("127.0.0.9");
    allowaddrs[1] = inet_addr("127.0.0.3");
    allowaddrs[2] = inet_addr("127.0.0.2");
    const int before = nfds;
    const fd_set r = rinit;

    pending();
    standin_verdict = VERDICT_DENY; // each child takes the verdict set before its fork
    EXPECT_EQ(capturestderr([this] { admit(); }), "");
    childrec* const first = children;
    ASSERT_NE(first, nullptr);
    const int far2 = pending();
    standin_verdict = VERDICT_ALLOW;
    EXPECT_EQ(capturestderr([this] { admit(); }), "");
    childrec* const second = children;
    ASSERT_NE(second, first);
    ASSERT_EQ(second->next, first);
    EXPECT_EQ(first->next, nullptr);

    for (const childrec* e : {first, second}) {
        EXPECT_GT(e->pid, 0);
        EXPECT_EQ(e->done, 0);
        EXPECT_TRUE(isopen(e->sock));
        EXPECT_TRUE(unwatched(e->sock)); // pairing watches it, not admission
        EXPECT_TRUE(isidle(e->sock));
        EXPECT_EQ(peerof(e->sock), inet_addr("127.0.0.2"));
    }
    EXPECT_EQ(nfds, before);
    EXPECT_EQ(std::memcmp(&r, &rinit, sizeof r), 0);
    // Each entry holds its own client's connection.
    ASSERT_EQ(sendnow(far2, "2"), "2");
    EXPECT_TRUE(waitreadable(second->sock, 2000));
    EXPECT_FALSE(readable(first->sock));

    int status = 0;
    ASSERT_EQ(::waitpid(first->pid, &status, 0), first->pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == VERDICT_DENY);
    ASSERT_EQ(::waitpid(second->pid, &status, 0), second->pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == VERDICT_ALLOW);
}

TEST_F(Admit, ConfirmationChildGivesUpTheParentsConnections)
{
    const ends relayed = unixends(); // a connection the relay serves while the dialog is up
    standin_delay_ms = 5000;
    pending();
    admit();
    ASSERT_NE(children, nullptr);
    const int client = fars.back();

    // Closed by the parent, both connections end at once although the child runs on.
    ::close(children->sock);
    ::close(relayed.relay);
    for (int far : {client, relayed.far}) {
        EXPECT_TRUE(endedclean(far, 1000));
    }
    siginfo_t si{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(children->pid), &si, WEXITED | WNOHANG | WNOWAIT),
              0);
    EXPECT_EQ(si.si_pid, 0) << "the child is still asking";
    ::close(relayed.far);
}

// accept or fork failing with e while a client waits: the message, whether the program goes
// on, and whether the client is ended at once and the listener rested (a listener still
// readable, watched at once, would keep the loop spinning).
struct seamcase {
    const char* name;
    bool forking; // fork fails, else accept
    int e;
    std::string err;
    bool ended, rested;
    int exitcode = 0; // 1: the program ends
};

static const seamcase* seam;

class SeamFailure : public Admit, public ::testing::WithParamInterface<seamcase>
{
};

TEST_P(SeamFailure, LeavesNoQuestionBehind)
{
    seam = &GetParam();
    const int far = pending();
    const childresult r = runchild([] {
        fake a(
            sys::accept, +[](int fd, sockaddr* addr, socklen_t* len) {
                errno = seam->e;
                return seam->forking ? ::accept(fd, addr, len) : -1;
            });
        fake f(
            sys::fork, +[]() -> pid_t {
                errno = seam->e;
                return -1;
            });
        admitclient();
        const bool rested = !inset(lsock, rinit) && listenerrest() > 0;
        ::_exit(children == nullptr && rested == seam->rested ? 0 : 5);
    });
    EXPECT_EQ(r.exitcode(), GetParam().exitcode);
    EXPECT_EQ(r.err, GetParam().err);
    EXPECT_TRUE(!GetParam().ended || endedclean(far));
}

static std::string acceptline(int e)
{
    return "accept: " + std::string(strerror(e)) + "\n";
}

static std::vector<seamcase> seamcases()
{
    std::vector<seamcase> v = {
        {"ForkFails", true, EAGAIN, "Fork of child failed.\n", true, false},
        {"AcceptWithoutMemory", false, ENOBUFS, acceptline(ENOBUFS), false, true},
        // Not an error of this one client: nothing to go on with.
        {"AcceptFailsOtherwise", false, EBADF, acceptline(EBADF), false, false, 1}};
    // One client's failure passed up through accept (or a signal): nothing said, the program
    // and every relayed connection go on.
    for (int e : {EINTR, ECONNABORTED, ENETUNREACH})
        v.push_back({strerrorname_np(e), false, e, "", false, false});
    return v;
}

INSTANTIATE_TEST_SUITE_P(Cases, SeamFailure, ::testing::ValuesIn(seamcases()), byname());

#if defined(__SANITIZE_ADDRESS__)
static int acceptcalls;
#endif

TEST_F(Admit, AcceptOutOfDescriptorsEndsThatClientOnly)
{
    const int far = pending();
    const childresult r = runchild([] {
#if defined(__SANITIZE_ADDRESS__)
        // The sanitizer runtime itself needs descriptors at exit: here the first accept runs
        // out through the seam instead.
        acceptcalls = 0;
        fake f(
            sys::accept, +[](int fd, sockaddr* a, socklen_t* len) {
                if (acceptcalls++ == 0) {
                    errno = EMFILE;
                    return -1;
                }
                return ::accept(fd, a, len);
            });
#else
        rlimit rl{};
        ::getrlimit(RLIMIT_NOFILE, &rl);
        rl.rlim_cur = 64;
        ::setrlimit(RLIMIT_NOFILE, &rl);
        for (int i = 0; i < 100 && ::dup(2) >= 0; ++i) {
        }
#endif
        admitclient();
        ::_exit(children == nullptr && inset(lsock, rinit) && listenerrest() == 0 ? 0 : 5);
    });
    EXPECT_EQ(r.exitcode(), 0);
    EXPECT_EQ(r.err, std::string("accept: ") + std::strerror(EMFILE) + "\n");
    EXPECT_TRUE(endedclean(far)); // taken off the backlog and closed, not left hanging
}

TEST_F(Admit, QuestionsAreBoundedAndLeaveWithTheirClients)
{
    standin_delay_ms = 60000;
    for (int k = 0; k < MAXQUESTIONS; ++k) {
        pending();
        admit();
        ASSERT_EQ(sendnow(fars.back(), "x"), "x"); // a waiting client's bytes
    }
    childrec* const head = children;
    const int far = pending();
    EXPECT_EQ(capturestderr([this] { admit(); }), "too many questions pending, client refused\n");
    EXPECT_EQ(children, head);
    EXPECT_TRUE(endedclean(far, 2000));

    // A client that leaves takes its question with it, without a word; the others stay.
    childrec* const oldest = [] {
        childrec* e = children;
        while (e->next != nullptr)
            e = e->next;
        return e;
    }();
    const pid_t asking = oldest->pid;
    const int sock = oldest->sock;
    ::close(fars.front());
    fars.erase(fars.begin());
    std::string err;
    const bool gone = waituntil(
        [&] {
            err += capturestderr([] { reapchildren(); });
            return ::kill(asking, 0) != 0;
        },
        2000, 5);
    EXPECT_TRUE(gone) << "the dialog of a client that left is ended and collected";
    EXPECT_EQ(err, "");
    EXPECT_FALSE(isopen(sock));
    EXPECT_EQ(questions(), MAXQUESTIONS - 1);
    for (const childrec* e = children; e != nullptr; e = e->next) {
        EXPECT_TRUE(isopen(e->sock));
        EXPECT_EQ(readsome(e->sock, 8), "x") << "nothing read from a waiting client";
    }
    // The room it left is the next client's.
    pending();
    EXPECT_EQ(capturestderr([this] { admit(); }), "");
    EXPECT_EQ(questions(), MAXQUESTIONS);
}

TEST_F(Admit, ChildrenEndWithTheProgram)
{
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    pending();
    const int out = p[1];
    const childresult r = runchild([out] {
        standin_delay_ms = 60000;
        admitclient();
        const pid_t pid = children != nullptr ? children->pid : 0;
        [[maybe_unused]] const ssize_t n = ::write(out, &pid, sizeof pid);
        ::_exit(0);
    });
    ::close(p[1]);
    pid_t asking = 0;
    ASSERT_EQ(::read(p[0], &asking, sizeof asking), static_cast<ssize_t>(sizeof asking));
    ::close(p[0]);
    ASSERT_EQ(r.exitcode(), 0);
    ASSERT_GT(asking, 0);
    // Gone, or at most a zombie waiting for whoever adopted it.
    const bool gone = waituntil(
        [asking] {
            std::ifstream stat("/proc/" + std::to_string(asking) + "/stat");
            std::string pid, comm, state;
            return !(stat >> pid >> comm >> state) || state == "Z";
        },
        2000, 5);
    EXPECT_TRUE(gone);
    if (!gone)
        ::kill(asking, SIGKILL);
}

static std::chrono::steady_clock::time_point actedon;
static bool asked;

TEST_F(Admit, AnAnswerWakesTheLoopAtOnce)
{
    standin_verdict = VERDICT_DENY;
    standin_delay_ms = 100;
    const int far = pending();
    actedon = {};
    asked = false;
    const auto start = std::chrono::steady_clock::now();
    // The real select, until the cycle that acted on the verdict is about to wait.
    fake f(
        sys::select, +[](int n, fd_set* r, fd_set* w, fd_set* e, timeval* tv) {
            if (children != nullptr) {
                asked = true;
            } else if (asked) {
                actedon = std::chrono::steady_clock::now();
                return 0;
            }
            return ::select(n, r, w, e, tv);
        });
    const std::string err = capturestderr([] {
        for (int i = 0; i < 50 && actedon.time_since_epoch().count() == 0; ++i)
            relaycycle();
    });
    EXPECT_EQ(err, "");
    ASSERT_EQ(children, nullptr);
    // Without the wake-up the verdict would wait for select's whole timeout.
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(actedon - start).count(), 2000);
    EXPECT_TRUE(endedclean(far, 2000));
    EXPECT_FALSE(readable(chldfd)) << "told once: the next select sleeps";
}

TEST_F(Admit, ClientAboveTheSetsIsRefusedAtOnce)
{
    const int far = pending();
    const childresult r = runchild([] {
        // Every number below FD_SETSIZE taken: accept has to hand out a higher one.
        const int spare = ::open("/dev/null", O_RDONLY);
        for (int i = 0; i < 2 * FD_SETSIZE && ::fcntl(spare, F_DUPFD, 0) < FD_SETSIZE - 1; ++i) {
        }
        admitclient();
        ::_exit(children == nullptr ? 0 : 5);
    });
    EXPECT_EQ(r.exitcode(), 0);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.err, m,
                                 std::regex("fd ([0-9]+): too many open connections, client "
                                            "refused\n")))
        << r.err;
    EXPECT_GE(std::stoi(m[1]), FD_SETSIZE);
    EXPECT_TRUE(endedclean(far, 2000));
}
