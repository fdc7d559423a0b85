// Accepting clients, checking the allow list, refusing, and starting a question.
#include "admission/admit.h"

#include "admission/children.h"
#include "admission/lookup.h"
#include "diag.h"
#include "dialog/alert.h"
#include "relay/table.h"
#include "startup/config.h"
#include "sys.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

// Kept open so that a client can still be accepted, and closed, when the descriptors run out.
static int spare = -1;
// While accept cannot get memory even for that, the listener rests until this time.
static timespec restuntil;
static bool resting;
constexpr int RESTMS = 1000;

void admitinit()
{
    resting = false;
    if (spare < 0)
        spare = movehigh(::open("/dev/null", O_RDONLY | O_CLOEXEC));
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
    spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
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

// The client is closed at once; its line follows when its name is known, from the lookup
// helper. The loop's cost of a refusal is an accept, a close and a write to a pipe.
static void refuse(int fd, const sockaddr_in& peer)
{
    ::close(fd);
    if (!asklookup(peer))
        say(refusedline(nullptr, peer.sin_addr));
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
    const pid_t pid = forkchild(-1);
    if (pid < 0) {
        say("Fork of child failed.\n");
        std::free(e);
        ::close(fd);
        return;
    }
    if (pid == 0)
        alertuser(i);
    *e = {pid, fd, 0, children, 0, 0, 0};
    children = e;
}
