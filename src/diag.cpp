// Diagnostics on standard error: exact bytes, one write per line, and a loop that never waits
// for a reader who does not read (a full pipe, a terminal stopped with Ctrl-S).
#include "diag.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// How a line reaches standard error without waiting. O_NONBLOCK is never set on descriptor 2
// itself: its open file is shared with the user's shell and terminal.
enum class way {
    none,   // standard error is closed: lines go nowhere
    twin,   // a private non-blocking open of the same pipe or terminal
    socket, // a socket takes MSG_DONTWAIT on each send
    plain,  // a regular file or the like, which never holds a writer up
    polled, // no twin could be had: written only when poll says there is room
};

struct target {
    way how = way::none;
    int fd = -1; // the twin, or 2
    dev_t dev = 0;
    ino_t ino = 0;
    mode_t mode = 0;
    bool known = false;
};

target out;
std::string queue;
size_t lost;

// Standard error may be replaced under us (tests do it): the target follows its file.
void follow()
{
    struct stat st {
    };
    if (::fstat(2, &st) != 0) {
        if (out.how == way::twin)
            ::close(out.fd);
        out = target{};
        out.known = true;
        return;
    }
    if (out.known && out.how != way::none && st.st_dev == out.dev && st.st_ino == out.ino &&
        st.st_mode == out.mode)
        return;
    if (out.how == way::twin)
        ::close(out.fd);
    out = target{};
    out.known = true;
    out.dev = st.st_dev;
    out.ino = st.st_ino;
    out.mode = st.st_mode;
    out.fd = 2;
    if (S_ISSOCK(st.st_mode)) {
        out.how = way::socket;
    } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
        // O_NOCTTY: a terminal opened anew must never become our controlling terminal.
        const int t = ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        const int high = t >= 0 ? ::fcntl(t, F_DUPFD_CLOEXEC, 3) : -1;
        if (t >= 0)
            ::close(t);
        if (high >= 0 && high < FD_SETSIZE) {
            out.how = way::twin;
            out.fd = high;
        } else {
            if (high >= 0)
                ::close(high);
            out.how = way::polled;
        }
    } else {
        out.how = way::plain;
    }
}

// One attempt that never waits: bytes written, or -1 with errno (EAGAIN: no room now).
ssize_t trywrite(const char* p, size_t n)
{
    switch (out.how) {
    case way::none:
        return static_cast<ssize_t>(n);
    case way::socket:
        return ::send(2, p, n, MSG_DONTWAIT | MSG_NOSIGNAL);
    case way::polled: {
        pollfd q{2, POLLOUT, 0};
        if (::poll(&q, 1, 0) != 1 || (q.revents & POLLOUT) == 0) {
            errno = EAGAIN;
            return -1;
        }
        return ::write(2, p, n);
    }
    case way::twin:
    case way::plain:
        break;
    }
    return ::write(out.fd, p, n);
}

// The longest run of whole lines from the front that one write can carry without being split
// (a pipe writes up to PIPE_BUF bytes at once or not at all); at least the first line.
size_t chunk()
{
    if (queue.size() <= PIPE_BUF)
        return queue.size();
    const size_t cut = queue.rfind('\n', PIPE_BUF - 1);
    if (cut != std::string::npos)
        return cut + 1;
    const size_t first = queue.find('\n');
    return first == std::string::npos ? queue.size() : first + 1;
}

std::string lostline(size_t n)
{
    return std::to_string(n) + " diagnostic lines lost\n";
}

// Writes from the front of the queue until standard error takes no more.
void drain()
{
    for (int tries = 0; !queue.empty() && tries < 1000; ++tries) {
        const ssize_t n = trywrite(queue.data(), chunk());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n < 0) {
            queue.clear(); // nowhere else to report it: standard error is broken for good
            return;
        }
        queue.erase(0, static_cast<size_t>(n));
        if (queue.empty() && lost > 0) {
            queue = lostline(lost);
            lost = 0;
        }
    }
}

void enqueue(std::string_view text)
{
    if (lost > 0) {
        const std::string l = lostline(lost);
        if (queue.size() + l.size() + text.size() > DIAGQUEUE) {
            ++lost;
            return;
        }
        queue += l;
        lost = 0;
    } else if (queue.size() + text.size() > DIAGQUEUE) {
        ++lost;
        return;
    }
    queue.append(text);
}

} // namespace

void saywhole(std::string_view text)
{
    const char* p = text.data();
    size_t left = text.size();
    for (int tries = 0; left > 0 && tries < 10000; ++tries) {
        const ssize_t n = ::write(2, p, left);
        if (n < 0 && errno == EAGAIN) {
            pollfd q{2, POLLOUT, 0};
            ::poll(&q, 1, -1); // descriptor 2 was made non-blocking by someone else
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void say(std::string_view text)
{
    follow();
    if (out.how == way::none)
        return;
    enqueue(text);
    drain();
}

void diagopen()
{
    follow();
}

int diagwaiting()
{
    if (queue.empty() || (out.how != way::twin && out.how != way::socket && out.how != way::polled))
        return -1;
    return out.fd < FD_SETSIZE ? out.fd : -1;
}

void diagflush()
{
    if (queue.empty())
        return;
    follow();
    drain();
}

int diagnonblocking()
{
    follow();
    return out.how == way::twin ? out.fd : -1;
}

void diaginit()
{
    queue.clear();
    lost = 0;
    if (out.how == way::twin)
        ::close(out.fd);
    out = target{};
}

[[gnu::format(printf, 1, 0)]] static std::string vformat(const char* fmt, va_list ap)
{
    va_list ap2;
    va_copy(ap2, ap);
    const int len = std::vsnprintf(nullptr, 0, fmt, ap);
    if (len < 0) {
        va_end(ap2);
        return {};
    }
    std::string line(static_cast<size_t>(len) + 1, '\0');
    std::vsnprintf(line.data(), line.size(), fmt, ap2);
    va_end(ap2);
    line.resize(static_cast<size_t>(len));
    return line;
}

void sayf(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    const std::string line = vformat(fmt, ap);
    va_end(ap);
    say(line);
}

// Every queued line, the count of those lost, then text: all of it, even if that means waiting.
static void lastwords(std::string_view text)
{
    follow();
    if (out.how == way::none)
        return;
    std::string all = queue;
    if (lost > 0)
        all += lostline(lost);
    queue.clear();
    lost = 0;
    all.append(text);
    saywhole(all);
}

void die(std::string_view text)
{
    lastwords(text);
    std::exit(1);
}

void dief(const char* fmt, ...)
{
    {
        va_list ap;
        va_start(ap, fmt);
        const std::string line = vformat(fmt, ap);
        va_end(ap);
        lastwords(line); // the line is gone before the exit, which may not return here
    }
    std::exit(1);
}

void saysys(const char* word)
{
    const int e = errno; // save first: building the line may change errno
    say(std::string(word) + ": " + std::strerror(e) + "\n");
}

void saysysfd(int fd, const char* word)
{
    const int e = errno;
    say("fd " + std::to_string(fd) + ":" + word + ": " + std::strerror(e) + "\n");
}

void diesys(const char* word)
{
    const int e = errno;
    lastwords(std::string(word) + ": " + std::strerror(e) + "\n");
    std::exit(1);
}
