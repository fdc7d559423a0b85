// Child processes from fork to collection: what each does first, how the loop hears of its end,
// the list of questions, and the one lookup helper with its pipe.
#include "admission/children.h"

#include "admission/lookup.h"
#include "diag.h"
#include "sys.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <unistd.h>

childrec* children;
int chldfd = -1;

static pid_t helper;      // the lookup helper, 0 while there is none
static bool chldpending;  // chldfd said a child ended: collect even with no question open
static int helperfd = -1; // write end of its pipe, non-blocking
static long helperstart;  // when the last one was started, monotonic milliseconds
constexpr long HELPERRETRYMS = 1000; // a helper that died is started again after this
constexpr int HELPERPIPE = 4096;     // a short pipe: what waits there waits for little

static long nowms()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

int movehigh(int fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (high < 0)
        return fd;
    ::close(fd);
    return high;
}

static void endhelper()
{
    if (helperfd >= 0)
        ::close(helperfd);
    helperfd = -1;
    if (helper > 0) {
        ::kill(helper, SIGKILL);
        ::waitpid(helper, nullptr, 0);
    }
    helper = 0;
}

void childinit()
{
    children = nullptr;
    endhelper();
    helperstart = 0;
    chldpending = true;
    if (chldfd < 0) {
        sigset_t s;
        sigemptyset(&s);
        sigaddset(&s, SIGCHLD);
        ::sigprocmask(SIG_BLOCK, &s, nullptr);
        chldfd = movehigh(::signalfd(-1, &s, SFD_NONBLOCK | SFD_CLOEXEC));
    }
    // Started with SIGCHLD ignored, the system would collect our children itself and their
    // verdicts would be lost.
    std::signal(SIGCHLD, SIG_DFL);
    drainchld();
}

void drainchld()
{
    signalfd_siginfo si;
    for (int k = 0; chldfd >= 0 && k < 1024 && ::read(chldfd, &si, sizeof si) > 0; ++k)
        chldpending = true;
}

// Gives up every inherited descriptor but standard error and keep, so that a connection the
// parent closes really ends.
static void closeinherited(int keep)
{
    ::close(0);
    ::close(1);
    const unsigned k = keep >= 3 ? static_cast<unsigned>(keep) : 0U;
    bool closed = false;
    if (k != 0U)
        closed = ::syscall(SYS_close_range, 3U, k - 1U, 0U) == 0 &&
                 ::syscall(SYS_close_range, k + 1U, ~0U, 0U) == 0;
    else
        closed = ::syscall(SYS_close_range, 3U, ~0U, 0U) == 0;
    if (closed)
        return;
    rlimit rl{};
    long top = 1024;
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        top = static_cast<long>(rl.rlim_cur);
    for (long fd = 3; fd < top; ++fd)
        if (fd != static_cast<long>(k))
            ::close(static_cast<int>(fd));
}

pid_t forkchild(int keep)
{
    const int quiet = diagnonblocking();
    const pid_t parent = ::getpid();
    const pid_t pid = sys::fork();
    if (pid != 0)
        return pid;
    // No dialog or lookup outlives the program.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
        ::_exit(1);
    // A child waiting for a reader of standard error who does not read would hold its question
    // for ever; its own messages (the toolkit's) may be lost instead.
    if (quiet >= 0 && keep < 0)
        ::dup2(quiet, 2);
    closeinherited(keep);
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGCHLD);
    ::sigprocmask(SIG_UNBLOCK, &s, nullptr);
    return 0;
}

int collectchildren()
{
    // With no question open only the helper's end can be waited for, and it says so through
    // chldfd: a relaying cycle makes no call for it.
    if (children == nullptr && !chldpending)
        return 0;
    chldpending = false;
    int got = 0;
    for (int k = 0; (children != nullptr || helper > 0) && k < 1 << 20; ++k) {
        int status = 0;
        const pid_t pid = sys::waitpid(-1, &status, WNOHANG);
        if (pid < 0 && errno == EINTR)
            continue;
        if (pid < 0) {
            // No child left at all: whatever is still pending can never be collected.
            for (childrec* e = children; e != nullptr; e = e->next)
                if (!e->ended)
                    e->ended = -1;
            helper = 0;
        }
        if (pid <= 0)
            break;
        ++got;
        if (pid == helper) {
            helper = 0;
            continue;
        }
        for (childrec* e = children; e != nullptr; e = e->next)
            if (e->pid == pid && !e->ended) {
                e->ended = 1;
                e->status = status;
                break;
            }
    }
    return got;
}

int questions()
{
    int n = 0;
    for (const childrec* e = children; e != nullptr; e = e->next)
        n += e->done || e->withdrawn ? 0 : 1;
    return n;
}

void withdraw(childrec* e)
{
    e->withdrawn = 1;
    if (e->sock >= 0)
        ::close(e->sock);
    e->sock = -1;
    if (!e->ended)
        ::kill(e->pid, SIGKILL);
}

bool startlookups()
{
    if (helper > 0 && helperfd >= 0)
        return true;
    if (helperfd >= 0) { // collected already: its pipe leads nowhere
        ::close(helperfd);
        helperfd = -1;
    }
    const long now = nowms();
    if (helperstart != 0 && now - helperstart < HELPERRETRYMS)
        return false;
    helperstart = now;
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0)
        return false;
    const int rd = movehigh(p[0]);
    const int wr = movehigh(p[1]);
    ::fcntl(wr, F_SETPIPE_SZ, HELPERPIPE);
    ::fcntl(wr, F_SETFL, O_NONBLOCK);
    const pid_t pid = forkchild(rd);
    if (pid == 0) {
        char name[] = "velkoran-lookup"; // how ps and top show it
        ::prctl(PR_SET_NAME, name);
        lookuphelper(rd);
    }
    ::close(rd);
    if (pid < 0) {
        ::close(wr);
        return false;
    }
    helper = pid;
    helperfd = wr;
    return true;
}

bool asklookup(const sockaddr_in& peer)
{
    if (!startlookups())
        return false;
    const lookupreq r{peer.sin_addr.s_addr, static_cast<uint32_t>(peer.sin_family)};
    const ssize_t n = ::write(helperfd, &r, sizeof r);
    if (n == static_cast<ssize_t>(sizeof r))
        return true;
    if (n < 0 && errno == EPIPE) { // it died; collection will say so, a later refusal retries
        ::close(helperfd);
        helperfd = -1;
    }
    return false;
}
