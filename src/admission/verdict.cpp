// Verdicts: the children's exit statuses, and the pairing of allowed clients.
#include "admission/verdict.h"

#include "admission/admit.h"
#include "diag.h"
#include "dialog/alert.h"
#include "relay/table.h"
#include "startup/config.h"
#include "sys.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iterator>
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
    e->done = 1;
    const int status = e->status;
    if (e->ended < 0 || WIFSIGNALED(status)) { // a failed wait has no status to decode
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

// Records the end of child pid: a lookup frees its slot, a confirmation child keeps its status
// for its entry. Any other child (inherited across exec) is simply collected.
static void collected(pid_t pid, int status)
{
    for (pid_t& l : lookups)
        if (l == pid) {
            l = 0;
            return;
        }
    for (childrec* e = children; e != nullptr; e = e->next)
        if (e->pid == pid && !e->ended) {
            e->ended = 1;
            e->status = status;
            return;
        }
}

int reapchildren()
{
    int got = 0;
    // One wait per ended child, whatever the number of questions still open; none at all
    // while no child of ours runs.
    const bool lookingup =
        std::any_of(std::begin(lookups), std::end(lookups), [](pid_t p) { return p != 0; });
    for (int k = 0; (children != nullptr || lookingup) && k < 1 << 20; ++k) {
        int status = 0;
        const pid_t pid = sys::waitpid(-1, &status, WNOHANG);
        if (pid > 0) {
            collected(pid, status);
            ++got;
            continue;
        }
        if (pid < 0 && errno == EINTR)
            continue;
        if (pid < 0) {
            // No child left at all: whatever is still pending can never be collected.
            for (childrec* e = children; e != nullptr; e = e->next)
                if (!e->ended)
                    e->ended = -1;
            for (pid_t& l : lookups)
                l = 0;
        }
        break;
    }
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
