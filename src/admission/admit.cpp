// Accepting clients, checking the allow list, starting confirmation and lookup children.
#include "admission/admit.h"

#include "diag.h"
#include "dialog/alert.h"
#include "relay/table.h"
#include "startup/config.h"
#include "sys.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

childrec* children;
pid_t lookups[MAXLOOKUPS];
int wakeread = -1;

// Kept open so that a client can still be accepted, and closed, when the descriptors run out.
static int spare = -1;
// While accept cannot get memory even for that, the listener rests until this time.
static timespec restuntil;
static bool resting;
constexpr int RESTMS = 1000;

// Above the standard descriptors, which stay free for relayed connections; where no other
// number is free, fd stays as it is.
static int movehigh(int fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    const int high = ::fcntl(fd, F_DUPFD, 3);
    if (high < 0)
        return fd;
    ::close(fd);
    return high;
}

void admitinit()
{
    children = nullptr;
    for (pid_t& p : lookups)
        p = 0;
    resting = false;
    if (wakeread < 0) {
        int p[2];
        if (::pipe(p) == 0) {
            wakeread = movehigh(p[0]);
            wakefd = movehigh(p[1]);
            ::fcntl(wakeread, F_SETFL, O_NONBLOCK);
            // A child that finds the pipe full is no loss: the parent is woken already.
            ::fcntl(wakefd, F_SETFL, O_NONBLOCK);
        }
        spare = movehigh(::open("/dev/null", O_RDONLY));
    }
    drainwake();
    // Started with SIGCHLD ignored, the system would collect our children itself and their
    // verdicts would be lost.
    std::signal(SIGCHLD, SIG_DFL);
}

int drainwake()
{
    int got = 0;
    char buf[64];
    for (ssize_t n; wakeread >= 0 && (n = ::read(wakeread, buf, sizeof buf)) > 0;)
        got += static_cast<int>(n);
    return got;
}

// Errors that one already-failed pending connection passes up through accept: they end
// that client only, never the program and every relayed connection with it.
static bool transient(int e)
{
    switch (e) {
    case EINTR:
    case EAGAIN:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

// Out of descriptors or memory: the waiting client cannot be taken in, but must not stay in the
// backlog either, or lsock would stay readable and the loop would spin on it.
static bool outofroom(int e)
{
    return e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM;
}

static void shedclient()
{
    if (spare >= 0)
        ::close(spare);
    const int fd = sys::accept(lsock, nullptr, nullptr);
    if (fd >= 0)
        ::close(fd);
    // Every number was taken: the spare gets back the one just given up.
    spare = ::open("/dev/null", O_RDONLY);
    if (fd < 0) {
        FD_CLR(lsock, &rinit);
        FD_CLR(lsock, &rfds);
        ::clock_gettime(CLOCK_MONOTONIC, &restuntil);
        restuntil.tv_sec += RESTMS / 1000;
        resting = true;
    }
}

int listenerrest()
{
    if (!resting)
        return 0;
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const long ms =
        (restuntil.tv_sec - now.tv_sec) * 1000 + (restuntil.tv_nsec - now.tv_nsec) / 1000000;
    if (ms > 0)
        return static_cast<int>(ms);
    resting = false;
    FD_SET(lsock, &rinit);
    return 0;
}

// In a child: the process ends with the program, so no dialog or lookup outlives it.
static void diewithparent(pid_t parent)
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
        ::_exit(1);
}

// In a child: gives up every inherited descriptor but standard error and the wake-up pipe,
// so that a connection the parent closes really ends.
static void closeinherited()
{
    ::close(0);
    ::close(1);
    const unsigned keep = wakefd >= 3 ? static_cast<unsigned>(wakefd) : 0U;
    bool closed = false;
    if (keep != 0U)
        closed = ::syscall(SYS_close_range, 3U, keep - 1U, 0U) == 0 &&
                 ::syscall(SYS_close_range, keep + 1U, ~0U, 0U) == 0;
    else
        closed = ::syscall(SYS_close_range, 3U, ~0U, 0U) == 0;
    if (closed)
        return;
    rlimit rl{};
    long top = 1024;
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        top = static_cast<long>(rl.rlim_cur);
    for (long fd = 3; fd < top; ++fd)
        if (fd != static_cast<long>(keep))
            ::close(static_cast<int>(fd));
}

static void sayrefused(const hostent* h, const sockaddr_in& peer)
{
    const char* dotted = inet_ntoa(peer.sin_addr);
    // With no name to be had, the dotted address stands in its place.
    sayf("bad host connect from %s (%s)\n",
         h != nullptr && h->h_name != nullptr ? h->h_name : dotted, dotted);
}

// The client is closed at once; its line follows when its name is known. A resolver that never
// answers must hold up a child, never the loop, and a flood of refusals costs at most
// MAXLOOKUPS children.
static void refuse(int fd, const sockaddr_in& peer)
{
    ::close(fd);
    int slot = 0;
    while (slot < MAXLOOKUPS && lookups[slot] != 0)
        ++slot;
    const pid_t parent = ::getpid();
    const pid_t pid = slot < MAXLOOKUPS ? sys::fork() : -1;
    if (pid == 0) {
        diewithparent(parent);
        closeinherited();
        sayrefused(sys::gethostbyaddr(&peer.sin_addr, 4, peer.sin_family), peer);
        wakeparent();
        ::_exit(0);
    }
    if (pid < 0) {
        sayrefused(nullptr, peer);
        return;
    }
    lookups[slot] = pid;
}

static int questions()
{
    int n = 0;
    for (const childrec* e = children; e != nullptr; e = e->next)
        n += e->done ? 0 : 1;
    return n;
}

void admitclient()
{
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd = sys::accept(lsock, reinterpret_cast<sockaddr*>(&peer), &len);
    if (fd < 0) {
        if (transient(errno))
            return;
        if (!outofroom(errno))
            diesys("accept");
        saysys("accept");
        shedclient();
        return;
    }
    if (!fdusable(fd)) {
        sayf("fd %d: too many open connections, client refused\n", fd);
        ::close(fd);
        return;
    }

    int i = 0;
    while (i < nallow && (peer.sin_family != AF_INET || peer.sin_addr.s_addr != allowaddrs[i]))
        ++i;
    if (i == nallow) {
        refuse(fd, peer);
        return;
    }

    // Each question is an X client of the display: an unbounded number would take every slot
    // the server has and lock the user out of their own display.
    if (questions() >= MAXQUESTIONS) {
        say("too many questions pending, client refused\n");
        ::close(fd);
        return;
    }
    auto* e = static_cast<childrec*>(std::malloc(sizeof(childrec)));
    if (e == nullptr) {
        say("out of memory, client refused\n");
        ::close(fd);
        return;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = sys::fork();
    if (pid < 0) {
        say("Fork of child failed.\n");
        std::free(e);
        ::close(fd);
        return;
    }
    if (pid == 0) {
        diewithparent(parent);
        closeinherited();
        alertuser(i);
    }
    *e = {pid, fd, 0, children, 0, 0};
    children = e;
}
