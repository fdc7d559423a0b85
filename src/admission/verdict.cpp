// Verdicts: the children's exit statuses, and the pairing of allowed clients.
#include "admission/verdict.h"

#include "admission/admit.h"
#include "diag.h"
#include "dialog/alert.h"
#include "relay/table.h"
#include "startup/listener.h"
#include "sys.h"

#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

// Replies longer than one write must not wait for the peer's delayed acknowledgement.
static void nodelay(int fd)
{
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

static void connectclient(int c)
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) {
        saysys("socket");
        ::close(c);
        return;
    }
    if (::connect(s, reinterpret_cast<const sockaddr*>(&forward_to), sizeof forward_to) < 0) {
        saysys("connect");
        ::close(s);
        ::close(c);
        return;
    }
    if (!fdusable(s) || !fdusable(c)) {
        sayf("fd %d: too many open connections, client refused\n", fdusable(s) ? c : s);
        ::close(s);
        ::close(c);
        return;
    }
    nodelay(c);
    nodelay(s);
    relaypair(c, s);
}

static void actonverdict(childrec* e)
{
    int status = 0;
    const pid_t r = sys::waitpid(e->pid, &status, WNOHANG);
    if (r == 0)
        return;
    e->done = 1;
    if (r < 0 || WIFSIGNALED(status)) { // a failed wait has no status to decode
        say("child died abnormally\n");
        ::close(e->sock);
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == VERDICT_ALLOW) {
        connectclient(e->sock);
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == VERDICT_DENY) {
        ::close(e->sock);
    } else {
        say("Unknown exit status of child\n");
        ::close(e->sock);
    }
}

void reapchildren()
{
    for (childrec* e = children; e != nullptr; e = e->next)
        actonverdict(e);
    for (childrec** pp = &children; *pp != nullptr;) {
        childrec* e = *pp;
        if (e->done) {
            *pp = e->next;
            std::free(e);
        } else {
            pp = &e->next;
        }
    }
}
