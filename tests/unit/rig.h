// What the unit tests share: the start-of-run state, loopback and socketpair ends, readiness
// as a zero-timeout select sees it, and the bytes written to standard error.
#pragma once

#include "admission/admit.h"
#include "admission/children.h"
#include "diag.h"
#include "relay/loop.h"
#include "relay/table.h"
#include "startup/config.h"
#include "support/child.h"
#include "support/fake.h"
#include "support/net.h"
#include "sys.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <random>
#include <string>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// Every module back to the state start-up leaves, with listener as lsock.
inline void initmodules(int listener)
{
    relayinit(FD_SETSIZE);
    loopinit(listener);
    admitinit();
    childinit();
    configinit();
    diaginit();
}

// A TCP socket bound to 127.0.0.1 on a port of the system's choice, listening unless told
// otherwise (a bound socket that does not listen refuses connections); -1 on failure.
inline int loopbacklistener(sockaddr_in* where = nullptr, bool listening = true)
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        (listening && ::listen(s, 16) != 0) ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(s);
        return -1;
    }
    if (where != nullptr)
        *where = a;
    return s;
}

// A TCP connection to `to` from the source address `from` (dotted; nullptr: the system's
// choice), left non-blocking for the test's reads; -1 on failure.
inline int tcpconnect(const sockaddr_in& to, const char* from = nullptr)
{
    const int s = connectfrom(from != nullptr ? from : "", ntohs(to.sin_port));
    if (s >= 0)
        nonblock(s);
    return s;
}

// The two ends of a socketpair: the relay's end blocking, as the program keeps its sockets,
// and the test's far end non-blocking. A send timeout on the relay's end turns a write that
// select did not allow into a failure instead of a hung test.
struct ends {
    int relay;
    int far;
};

inline ends unixends()
{
    int sp[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sp) != 0)
        return {-1, -1};
    const timeval limit{2, 0};
    ::setsockopt(sp[0], SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    ::fcntl(sp[1], F_SETFL, ::fcntl(sp[1], F_GETFL) | O_NONBLOCK);
    return {sp[0], sp[1]};
}

inline bool isopen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

inline bool inset(int fd, const fd_set& s)
{
    return FD_ISSET(fd, &s) != 0;
}

// Whether a zero-timeout select finds fd readable (forwrite: writable).
inline bool readable(int fd, bool forwrite = false)
{
    fd_set s;
    FD_ZERO(&s);
    FD_SET(fd, &s);
    timeval zero{0, 0};
    return ::select(fd + 1, forwrite ? nullptr : &s, forwrite ? &s : nullptr, nullptr, &zero) == 1;
}

inline bool writable(int fd)
{
    return readable(fd, true);
}

// Stands in for the cycle's select: the real readiness, without ever waiting.
inline int zeroselect(int n, fd_set* r, fd_set* w, fd_set* e, timeval*)
{
    timeval zero{0, 0};
    return ::select(n, r, w, e, &zero);
}

// Sends what the far side takes without blocking; what it took.
inline std::string sendnow(int fd, const std::string& bytes)
{
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT);
    return n > 0 ? bytes.substr(0, static_cast<size_t>(n)) : std::string();
}

// Fills fd's way to its far end until it takes no more, so that fd is not writable; the
// bytes that went in.
inline std::string fillsocket(int fd, unsigned seed)
{
    std::string all, sent;
    for (unsigned i = 0; i < 10000 && !(sent = sendnow(fd, pattern(512, seed + i))).empty(); ++i)
        all += sent;
    return all;
}

inline std::string rbufof(int fd)
{
    return {reinterpret_cast<const char*>(rwbuf[fd].rbuf), static_cast<size_t>(rwbuf[fd].rcount)};
}

inline std::string wbufof(int fd)
{
    return {reinterpret_cast<const char*>(rwbuf[fd].wbuf), static_cast<size_t>(rwbuf[fd].wcount)};
}

inline void setrbuf(int fd, const std::string& bytes)
{
    std::memcpy(rwbuf[fd].rbuf, bytes.data(), bytes.size());
    rwbuf[fd].rcount = static_cast<int>(bytes.size());
}

inline void setwbuf(int fd, const std::string& bytes)
{
    std::memcpy(rwbuf[fd].wbuf, bytes.data(), bytes.size());
    rwbuf[fd].wcount = static_cast<int>(bytes.size());
}

inline bool isidle(int fd)
{
    const rwrec& r = rwbuf[fd];
    return r.peer == -1 && r.rcount == 0 && r.wcount == 0 && r.closepending == 0 && r.eofseen == 0;
}

// In no interest set and no readiness set.
inline bool unwatched(int fd)
{
    return !inset(fd, rinit) && !inset(fd, winit) && !inset(fd, rfds) && !inset(fd, wfds);
}

// Descriptors this process has open.
inline size_t openfds()
{
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

// Runs fn with standard error on a pipe; what was written there by the time fn returned, or,
// given lines, once that many lines have come (at most ms): a process fn started, such as the
// lookup helper, may write after fn returns.
inline std::string capturestderr(const std::function<void()>& fn, int lines = 0, int ms = 0)
{
    int p[2];
    if (::pipe(p) != 0)
        return "pipe failed";
    const int saved = ::dup(2);
    ::dup2(p[1], 2);
    ::close(p[1]);
    fn();
    diaginit(); // the twin of the pipe goes with it
    ::dup2(saved, 2);
    ::close(saved);
    ::fcntl(p[0], F_SETFL, ::fcntl(p[0], F_GETFL) | O_NONBLOCK);
    std::string got;
    waituntil(
        [&] {
            char buf[4096];
            for (ssize_t n; (n = ::read(p[0], buf, sizeof buf)) > 0;)
                got.append(buf, static_cast<size_t>(n));
            return std::count(got.begin(), got.end(), '\n') >= lines;
        },
        ms, 5);
    ::close(p[0]);
    return got;
}

// Byte streams compared without printing kilobytes on failure: the first difference.
inline ::testing::AssertionResult samebytes(const std::string& got, const std::string& want)
{
    if (got == want)
        return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i])
        ++i;
    return ::testing::AssertionFailure() << "got " << got.size() << " bytes, want " << want.size()
                                         << ", first difference at byte " << i;
}

// At most max bytes that fd holds right now.
inline std::string readsome(int fd, size_t max)
{
    std::string buf(max, '\0');
    const ssize_t n = max > 0 ? ::recv(fd, buf.data(), max, MSG_DONTWAIT) : 0;
    buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buf;
}

inline void smallsndbuf(int fd)
{
    const int size = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

// Every module as start-up leaves it, on a loopback listener of the test's own; a gone peer
// gives EPIPE, as the program runs.
class Started : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        std::signal(SIGPIPE, SIG_IGN);
        lfd = loopbacklistener(&laddr);
        ASSERT_GE(lfd, 0);
        initmodules(lfd);
    }
    void TearDown() override
    {
        relayinit(FD_SETSIZE); // a test may have left a smaller table behind
        ::close(lfd);
    }
    int lfd = -1;
    sockaddr_in laddr{};
};

// A table's case shows as its name in failure output...
template <class T> auto operator<<(std::ostream& os, const T& c) -> decltype(c.name, os)
{
    return os << c.name;
}

// ...and names its test: INSTANTIATE_TEST_SUITE_P(Cases, Suite, ValuesIn(table), byname()).
struct byname {
    template <class P> std::string operator()(const ::testing::TestParamInfo<P>& info) const
    {
        return info.param.name;
    }
};

// The far end sees end of file, and not a byte before it.
inline ::testing::AssertionResult endedclean(int far, int ms = 2000)
{
    if (endedbare(far, ms))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no end of file, or a byte before it";
}

// Closed, its record idle and in no set: what tearing a connection down leaves.
inline ::testing::AssertionResult torndown(int fd)
{
    if (!isopen(fd) && isidle(fd) && unwatched(fd))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "fd " << fd << (isopen(fd) ? " open" : "") << (isidle(fd) ? "" : " busy")
           << (unwatched(fd) ? "" : " watched");
}

// A pending question at the head of the children list, as admission leaves one.
inline childrec* pushchild(pid_t pid, int sock)
{
    auto* e = static_cast<childrec*>(std::malloc(sizeof(childrec)));
    *e = {pid, sock, 0, children, 0, 0, 0};
    return children = e;
}

// Names parameterised tests by their errno: "ECONNRESET".
inline std::string errnoname(const ::testing::TestParamInfo<int>& info)
{
    const char* n = strerrorname_np(info.param);
    return n != nullptr ? n : std::to_string(info.param);
}

// Ends what a test of admission or verdicts leaves behind: the confirmation children it started
// and has not reaped (killed, then reaped) and the entries of children; with closesockets also
// the client sockets of entries whose child was forked.
inline void endchildren(const std::vector<pid_t>& pids, bool closesockets)
{
    for (pid_t pid : pids) {
        siginfo_t si{};
        // Only a child not reaped yet is still ours to kill.
        if (::waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOHANG | WNOWAIT) == 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    while (children != nullptr) {
        childrec* e = children;
        children = e->next;
        if (closesockets && isopen(e->sock) && e->pid != 0)
            ::close(e->sock);
        std::free(e);
    }
}
