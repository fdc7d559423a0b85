// Verdicts: the children's exit statuses, and the pairing of allowed clients.
#include "admission/verdict.h"

#include "admission/children.h"
#include "diag.h"
#include "dialog/alert.h"
#include "relay/table.h"
#include "startup/config.h"
#include "sys.h"

#include <cerrno>
#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
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
    e->done = 1;
    const int status = e->status;
    if (e->withdrawn) {
        // Its client has gone and its end was asked for: nothing to act on, nothing to say.
    } else if (e->ended < 0 || WIFSIGNALED(status)) { // a failed wait has no status to decode
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

// A client that closed or reset its connection while its question is up takes the question
// with it. poll reads nothing, so what a waiting client sent is still relayed first on Yes.
static void withdrawgone()
{
    // At most MAXQUESTIONS entries wait for an answer: admission turns a further client away.
    pollfd p[MAXQUESTIONS];
    childrec* of[MAXQUESTIONS];
    int n = 0;
    for (childrec* e = children; e != nullptr && n < MAXQUESTIONS; e = e->next)
        if (!e->done && !e->withdrawn && e->ended == 0 && e->sock >= 0) {
            p[n] = {e->sock, POLLRDHUP, 0};
            of[n++] = e;
        }
    if (n > 0 && ::poll(p, static_cast<nfds_t>(n), 0) > 0)
        for (int i = 0; i < n; ++i)
            if ((p[i].revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0)
                withdraw(of[i]);
}

int reapchildren()
{
    const int got = collectchildren();
    withdrawgone();
    // Acted on newest first, as the list runs.
    for (childrec* e = children; e != nullptr; e = e->next)
        if (e->ended != 0)
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
    return got;
}
