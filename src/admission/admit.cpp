// Accepting clients, checking the allow list, starting confirmation children.
#include "admission/admit.h"

#include "diag.h"
#include "dialog/alert.h"
#include "relay/loop.h"
#include "relay/table.h"
#include "startup/config.h"
#include "sys.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/resource.h>
#include <unistd.h>

#ifndef SYS_close_range
#include <sys/syscall.h>
#endif

childrec* children;

void admitinit()
{
    children = nullptr;
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

void closeinherited()
{
    ::close(0);
    ::close(1);
    if (::syscall(SYS_close_range, 3U, ~0U, 0U) == 0)
        return;
    rlimit rl{};
    long top = 1024;
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        top = static_cast<long>(rl.rlim_cur);
    for (long fd = 3; fd < top; ++fd)
        ::close(static_cast<int>(fd));
}

static void refuse(int fd, const sockaddr_in& peer)
{
    const hostent* h = sys::gethostbyaddr(&peer.sin_addr, 4, peer.sin_family);
    const char* dotted = inet_ntoa(peer.sin_addr);
    // With no name to be had, the dotted address stands in its place.
    if (h != nullptr && h->h_name != nullptr)
        sayf("bad host connect from %s (%s)\n", h->h_name, dotted);
    else
        sayf("bad host connect from %s (%s)\n", dotted, dotted);
    ::close(fd);
}

void admitclient()
{
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd = sys::accept(lsock, reinterpret_cast<sockaddr*>(&peer), &len);
    if (fd < 0) {
        if (transient(errno))
            return;
        diesys("accept");
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

    auto* e = static_cast<childrec*>(std::malloc(sizeof(childrec)));
    if (e == nullptr) {
        say("out of memory, client refused\n");
        ::close(fd);
        return;
    }
    const pid_t pid = sys::fork();
    if (pid < 0)
        die("Fork of child failed.\n");
    if (pid == 0) {
        closeinherited();
        alertuser(i);
    }
    e->pid = pid;
    e->sock = fd;
    e->done = 0;
    e->next = children;
    children = e;
}
