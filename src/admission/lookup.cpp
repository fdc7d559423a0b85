// The lookup helper. A resolver may answer at once, late or never; the program's loop must
// never wait for it, so refused clients' names are found here, in a process of its own, by a
// few threads, and each line is written within the limit, with the address if need be.
#include "admission/lookup.h"

#include "admission/children.h"
#include "diag.h"
#include "sys.h"

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

std::string refusedline(const char* name, in_addr addr)
{
    char dotted[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr, dotted, sizeof dotted);
    return std::string("bad host connect from ") + (name != nullptr ? name : dotted) + " (" +
           dotted + ")\n";
}

namespace
{

struct request {
    lookupreq what;
    long deadline; // monotonic milliseconds
    bool done;     // its line is written (or being written): nobody writes another
};

std::mutex lock;
std::condition_variable work;
std::deque<std::shared_ptr<request>> waiting; // for a thread
int idle;                                     // threads waiting for work
int threads;

long nowms()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

// The first thread to claim a request writes its line; the other finds it done.
bool claim(request& r)
{
    std::lock_guard<std::mutex> g(lock);
    if (r.done)
        return false;
    r.done = true;
    return true;
}

void* resolve(void*)
{
    for (;;) {
        std::shared_ptr<request> r;
        {
            std::unique_lock<std::mutex> g(lock);
            ++idle;
            work.wait(g, [] { return !waiting.empty(); });
            --idle;
            r = waiting.front();
            waiting.pop_front();
            if (r->done)
                continue;
        }
        in_addr a{};
        a.s_addr = r->what.addr;
        hostent h{};
        hostent* found = nullptr;
        char buf[8192];
        int herr = 0;
        const int rc = sys::gethostbyaddr_r(&a, 4, static_cast<int>(r->what.family), &h, buf,
                                            sizeof buf, &found, &herr);
        const char* name = rc == 0 && found != nullptr ? found->h_name : nullptr;
        if (claim(*r))
            saywhole(refusedline(name, a));
    }
}

} // namespace

void lookuphelper(int in)
{
    std::list<std::shared_ptr<request>> live; // in order of arrival, so of deadline
    for (;;) {
        const long now = nowms();
        while (!live.empty() && (live.front()->done || live.front()->deadline <= now)) {
            const std::shared_ptr<request> r = live.front();
            live.pop_front();
            if (claim(*r)) {
                in_addr a{};
                a.s_addr = r->what.addr;
                saywhole(refusedline(nullptr, a));
            }
        }
        const bool room = live.size() < static_cast<size_t>(LOOKUPQUEUE);
        const long wait = live.empty() ? -1 : live.front()->deadline - now;
        // A full queue reads nothing: the pipe fills, and the program writes lines itself.
        pollfd p{in, static_cast<short>(room ? POLLIN : 0), 0};
        const int n = ::poll(&p, 1, static_cast<int>(wait));
        if (n < 0 && errno != EINTR)
            ::_exit(1);
        if (n <= 0)
            continue;
        if ((p.revents & (POLLIN | POLLHUP)) == 0)
            continue;
        lookupreq got[64];
        const ssize_t k = ::read(in, got, sizeof got);
        if (k == 0 || (k < 0 && errno != EINTR && errno != EAGAIN))
            ::_exit(0); // the program has gone
        const long at = nowms();
        for (ssize_t i = 0; i < k / static_cast<ssize_t>(sizeof(lookupreq)); ++i) {
            auto r = std::make_shared<request>(request{got[i], at + LOOKUPLIMITMS, false});
            live.push_back(r);
            std::lock_guard<std::mutex> g(lock);
            waiting.push_back(r);
            if (waiting.size() > static_cast<size_t>(idle) && threads < LOOKUPTHREADS) {
                pthread_attr_t attr;
                pthread_t t;
                ::pthread_attr_init(&attr);
                ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
                ::pthread_attr_setstacksize(&attr, 1 << 20);
                // Without a new thread the request waits for a busy one, or for its limit.
                if (::pthread_create(&t, &attr, resolve, nullptr) == 0)
                    ++threads;
                ::pthread_attr_destroy(&attr);
            }
            work.notify_one();
        }
    }
}
