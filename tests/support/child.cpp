#include "support/child.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

int childresult::exitcode() const
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

childresult runchild(const std::function<void()>& fn, int timeout_ms)
{
    int p[2];
    if (::pipe(p) != 0)
        return {-1, "pipe failed"};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(p[0]);
        ::dup2(p[1], 2);
        ::close(p[1]);
        fn();
        ::_exit(0);
    }
    ::close(p[1]);
    childresult r{0, {}};
    char buf[4096];
    int waited = 0;
    for (;;) {
        pollfd pf{p[0], POLLIN, 0};
        const int n = ::poll(&pf, 1, 100);
        if (n == 0) {
            waited += 100;
            if (waited >= timeout_ms) {
                ::kill(pid, SIGKILL);
                break;
            }
            continue;
        }
        const ssize_t k = ::read(p[0], buf, sizeof buf);
        if (k <= 0)
            break;
        r.err.append(buf, static_cast<size_t>(k));
    }
    ::close(p[0]);
    ::waitpid(pid, &r.status, 0);
    return r;
}
