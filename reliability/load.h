// Seeded byte streams through the relay, checked byte for byte on both ends.
//
// A client connects to the relay from a chosen source address and sends a 16-byte header
// (magic, connection number, stream length) followed by its upstream stream; the destination
// server, run in the same poll loop or in another process, reads the header, checks every
// upstream byte against the same seeded generator and sends its own downstream stream, which
// the client checks in turn. Chunk sizes, read sizes and pauses are random but seeded, so a
// run can be repeated exactly. Header-only: used by the load tools and the integration tests.
#pragma once

#include "support/net.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace load
{

constexpr uint32_t MAGIC = 0x564b524cU;
constexpr int HEADERSIZE = 16;

inline uint64_t splitmix(uint64_t x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// The key of one direction of one connection; the stream's byte i depends on key and i only.
inline uint64_t streamkey(uint64_t seed, uint32_t id, int up)
{
    return splitmix(seed ^ splitmix((uint64_t{id} << 1) | static_cast<uint64_t>(up)));
}

inline unsigned char streambyte(uint64_t key, uint64_t pos)
{
    return static_cast<unsigned char>(splitmix(key + (pos >> 3)) >> ((pos & 7) * 8));
}

inline void fill(uint64_t key, uint64_t pos, unsigned char* p, size_t n)
{
    for (size_t i = 0; i < n;) {
        const uint64_t word = splitmix(key + ((pos + i) >> 3));
        for (unsigned b = static_cast<unsigned>((pos + i) & 7); b < 8 && i < n; ++b, ++i)
            p[i] = static_cast<unsigned char>(word >> (b * 8));
    }
}

// Number of bytes of p that differ from the stream at pos; *first gets the first bad offset.
inline uint64_t check(uint64_t key, uint64_t pos, const unsigned char* p, size_t n, int64_t* first)
{
    uint64_t bad = 0;
    for (size_t i = 0; i < n;) {
        const uint64_t word = splitmix(key + ((pos + i) >> 3));
        for (unsigned b = static_cast<unsigned>((pos + i) & 7); b < 8 && i < n; ++b, ++i)
            if (p[i] != static_cast<unsigned char>(word >> (b * 8))) {
                if (bad == 0 && *first < 0)
                    *first = static_cast<int64_t>(pos + i);
                ++bad;
            }
    }
    return bad;
}

struct options {
    int relayport = 0;                 // clients connect to 127.0.0.1:relayport
    std::string srcaddr = "127.0.0.2"; // clients bind their source address to this
    int conns = 0;                     // client connections to make (0: serve only)
    uint64_t bytes = 1 << 20;          // per connection, in each direction
    uint64_t seed = 1;
    int destport = 0;     // > 0: serve the destination on 127.0.0.1:destport in this loop
    int listenfd = -1;    // or serve on this listening socket (taken over)
    int maxchunk = 65536; // chunk and read sizes are 1..maxchunk, log-uniform
    int pausepct = 5;     // chance in percent of a pause after a chunk or a read
    int maxpausems = 20;
    int window = 64;          // clients connected but not yet seen by the destination
    int maxopen = 0;          // clients open at once (0: no limit)
    int openeveryms = 0;      // at most one new client per this many milliseconds
    int rstevery = 0;         // > 0: every rstevery-th client (id 0, n, 2n...) resets ...
    uint64_t rstat = 0;       // ... once it has sent this many stream bytes (SO_LINGER 0)
    bool barrier = true;      // no stream byte moves until every client has reached the server
    int timeoutms = 600000;   // the whole run
    int serveforms = 0;       // serve only: stop after this long (0: when timeoutms ends)
    bool servenoread = false; // the server never reads the upstream stream
    int noreadevery = 0;      // > 0: every noreadevery-th client (id 0, n, ...) never reads
    int lingerms = 0;         // once every reading client is done, keep going this long
};

struct result {
    int started = 0;          // client connections opened
    int completed = 0;        // clients that sent and received every byte, all correct
    int failed = 0;           // clients ended by an error or an early end of file
    int resets = 0;           // clients that reset their connection on purpose (rstevery)
    int served = 0;           // connections the destination accepted with a good header
    int servedcomplete = 0;   // ... that received every upstream byte and sent every downstream
    int peakpaired = 0;       // most connections open end to end at the same moment
    uint64_t upsent = 0;      // stream bytes written by clients
    uint64_t upchecked = 0;   // upstream bytes received and checked by the destination
    uint64_t downsent = 0;    // stream bytes written by the destination
    uint64_t downchecked = 0; // downstream bytes received and checked by clients
    uint64_t corrupt = 0;     // checked bytes that differ from the stream (reordered or wrong)
    uint64_t lost = 0;        // bytes expected but never received
    uint64_t extra = 0;       // bytes received beyond the stream's end
    int badheaders = 0;
    long elapsedms = 0;
    bool timedout = false;
    std::vector<std::string> errors; // the first few failures, for the report
};

struct end {
    int fd = -1;
    bool client = false;
    uint32_t id = 0;
    bool known = false; // server: header seen
    unsigned char hdr[HEADERSIZE]{};
    int hdrdone = 0; // bytes of the header sent (client) or received (server)
    uint64_t total = 0;
    uint64_t txkey = 0, rxkey = 0, txdone = 0, rxdone = 0;
    long nextsend = 0, nextrecv = 0;
    int64_t firstbad = -1;
    bool eof = false;
    bool reset = false; // this client reset its connection on purpose
    std::mt19937_64 rng;
};

inline int randchunk(std::mt19937_64& rng, int maxchunk)
{
    // Log-uniform: as many tiny chunks as big ones.
    std::uniform_real_distribution<double> d(0.0, std::log2(static_cast<double>(maxchunk)));
    return std::max(1, std::min(maxchunk, static_cast<int>(std::exp2(d(rng)))));
}

class runner
{
  public:
    explicit runner(const options& o) : o_(o) {}

    result run()
    {
        const long start = nowms();
        const long deadline = start + o_.timeoutms;
        const long servestop = o_.serveforms > 0 ? start + o_.serveforms : deadline;
        lfd_ = o_.listenfd >= 0 ? o_.listenfd : (o_.destport > 0 ? listenon(o_.destport) : -1);
        if (o_.destport > 0 && lfd_ < 0)
            fail("cannot listen on the destination port");
        if (lfd_ >= 0)
            nonblock(lfd_);
        std::vector<unsigned char> buf(static_cast<size_t>(o_.maxchunk));
        for (;;) {
            const long now = nowms();
            if (o_.conns > 0 && finished_ >= o_.conns && (lfd_ < 0 || servers_ == 0))
                break;
            if (o_.conns == 0 && now >= servestop)
                break;
            if (o_.noreadevery > 0 && opened_ >= o_.conns) {
                int readers = 0;
                for (const auto& [fd, e] : ends_)
                    readers += e.client && !noread(e) ? 1 : 0;
                if (readers == 0 && lingerstart_ == 0)
                    lingerstart_ = now;
                if (lingerstart_ != 0 && now - lingerstart_ >= o_.lingerms)
                    break;
            }
            if (now >= deadline) {
                r_.timedout = true;
                break;
            }
            openmore();
            std::vector<pollfd> pf;
            std::vector<int> who;
            if (lfd_ >= 0) {
                pf.push_back({lfd_, POLLIN, 0});
                who.push_back(-1);
            }
            long wake = now + 50;
            if (o_.openeveryms > 0 && opened_ < o_.conns)
                wake = std::min(wake, lastopen_ + o_.openeveryms);
            const bool go = released();
            for (auto& [fd, e] : ends_) {
                short ev = 0;
                const bool rxwant = e.client ? !noread(e) : !(o_.servenoread && e.known);
                if (!e.eof && rxwant) {
                    if (now >= e.nextrecv)
                        ev |= POLLIN;
                    else
                        wake = std::min(wake, e.nextrecv);
                }
                if (sending(e, go)) {
                    if (now >= e.nextsend)
                        ev |= POLLOUT;
                    else
                        wake = std::min(wake, e.nextsend);
                }
                pf.push_back({fd, ev, 0});
                who.push_back(fd);
            }
            const int n = ::poll(pf.data(), pf.size(), static_cast<int>(std::max(0L, wake - now)));
            if (n < 0 && errno != EINTR) {
                fail("poll: " + std::string(std::strerror(errno)));
                break;
            }
            for (size_t i = 0; n > 0 && i < pf.size(); ++i) {
                if (pf[i].revents == 0)
                    continue;
                if (who[i] < 0) {
                    acceptall();
                    continue;
                }
                auto it = ends_.find(who[i]);
                if (it == ends_.end())
                    continue;
                end& e = it->second;
                bool open = true;
                const bool rxwant = e.client ? !noread(e) : !(o_.servenoread && e.known);
                if (!rxwant && (pf[i].revents & (POLLHUP | POLLERR))) {
                    e.eof = true;
                    open = false;
                }
                if (open && (pf[i].revents & POLLOUT))
                    open = dosend(e, buf);
                if (open && rxwant && (pf[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    open = dorecv(e, buf);
                if (open)
                    open = !done(e);
                if (!open)
                    closeend(it->first);
            }
        }
        for (auto& [fd, e] : ends_) {
            account(e);
            ::close(fd);
        }
        ends_.clear();
        if (lfd_ >= 0 && o_.listenfd < 0)
            ::close(lfd_);
        r_.elapsedms = nowms() - start;
        return r_;
    }

  private:
    options o_;
    result r_;
    std::map<int, end> ends_;
    int lfd_ = -1;
    int opened_ = 0, finished_ = 0, servers_ = 0, servedtotal_ = 0, paired_ = 0;
    int nevermade_ = 0; // clients that ended before the destination saw them
    long lingerstart_ = 0;
    long lastopen_ = 0;
    std::vector<bool> reached_; // client ids the destination has seen

    // Stream bytes move once every client has reached the destination (or never will).
    bool released() const
    {
        return !o_.barrier || o_.conns == 0 || lfd_ < 0 || servedtotal_ + nevermade_ >= o_.conns;
    }

    void fail(const std::string& what)
    {
        if (r_.errors.size() < 20)
            r_.errors.push_back(what);
    }

    bool sending(const end& e, bool go) const
    {
        if (e.client)
            return e.hdrdone < HEADERSIZE || (go && e.txdone < e.total);
        return e.known && go && e.txdone < e.total;
    }

    void openmore()
    {
        while (opened_ < o_.conns && opened_ - servedtotal_ - nevermade_ < o_.window &&
               (o_.maxopen <= 0 || opened_ - finished_ < o_.maxopen) &&
               (o_.openeveryms <= 0 || nowms() - lastopen_ >= o_.openeveryms)) {
            lastopen_ = nowms();
            const int fd = connectfrom(o_.srcaddr, o_.relayport, false);
            const uint32_t id = static_cast<uint32_t>(opened_++);
            ++r_.started;
            if (fd < 0) {
                fail("connect " + std::to_string(id) + ": " + std::strerror(errno));
                ++r_.failed;
                ++finished_;
                ++nevermade_;
                continue;
            }
            if (reached_.size() <= id)
                reached_.resize(id + 1);
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            end e;
            e.fd = fd;
            e.client = true;
            e.id = id;
            e.total = o_.bytes;
            e.txkey = streamkey(o_.seed, id, 1);
            e.rxkey = streamkey(o_.seed, id, 0);
            e.rng.seed(splitmix(o_.seed ^ (uint64_t{id} * 3 + 1)));
            const uint32_t h[4] = {htonl(MAGIC), htonl(id),
                                   htonl(static_cast<uint32_t>(o_.bytes >> 32)),
                                   htonl(static_cast<uint32_t>(o_.bytes))};
            std::memcpy(e.hdr, h, HEADERSIZE);
            ends_[fd] = e;
        }
    }

    void acceptall()
    {
        for (;;) {
            const int fd = ::accept(lfd_, nullptr, nullptr);
            if (fd < 0)
                return;
            nonblock(fd);
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            end e;
            e.fd = fd;
            ends_[fd] = e;
            ++servers_;
        }
    }

    void pause(std::mt19937_64& rng, long& when)
    {
        if (o_.pausepct <= 0)
            return;
        std::uniform_int_distribution<int> pct(0, 99);
        if (pct(rng) < o_.pausepct) {
            std::uniform_int_distribution<int> ms(0, o_.maxpausems);
            when = nowms() + ms(rng);
        }
    }

    bool dosend(end& e, std::vector<unsigned char>& buf)
    {
        if (e.client && e.hdrdone < HEADERSIZE) {
            const ssize_t n = ::send(e.fd, e.hdr + e.hdrdone,
                                     static_cast<size_t>(HEADERSIZE - e.hdrdone), MSG_NOSIGNAL);
            if (n < 0)
                return errno == EAGAIN || errno == EINTR ? true : broken(e, "send");
            e.hdrdone += static_cast<int>(n);
            return true;
        }
        if (!sending(e, released()))
            return true;
        const size_t k = static_cast<size_t>(std::min<uint64_t>(
            static_cast<uint64_t>(randchunk(e.rng, o_.maxchunk)), e.total - e.txdone));
        fill(e.txkey, e.txdone, buf.data(), k);
        const ssize_t n = ::send(e.fd, buf.data(), k, MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR ? true : broken(e, "send");
        e.txdone += static_cast<uint64_t>(n);
        (e.client ? r_.upsent : r_.downsent) += static_cast<uint64_t>(n);
        if (e.client && o_.rstevery > 0 && e.id % static_cast<uint32_t>(o_.rstevery) == 0 &&
            e.txdone >= o_.rstat) {
            const linger lg{1, 0}; // close now sends a reset, not an orderly end
            ::setsockopt(e.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
            e.reset = true;
            return false;
        }
        pause(e.rng, e.nextsend);
        return true;
    }

    bool dorecv(end& e, std::vector<unsigned char>& buf)
    {
        if (!e.client && !e.known) {
            const ssize_t n =
                ::recv(e.fd, e.hdr + e.hdrdone, static_cast<size_t>(HEADERSIZE - e.hdrdone), 0);
            if (n == 0) {
                e.eof = true;
                return false;
            }
            if (n < 0)
                return errno == EAGAIN || errno == EINTR ? true : broken(e, "recv");
            e.hdrdone += static_cast<int>(n);
            if (e.hdrdone < HEADERSIZE)
                return true;
            uint32_t h[4];
            std::memcpy(h, e.hdr, HEADERSIZE);
            if (ntohl(h[0]) != MAGIC) {
                ++r_.badheaders;
                fail("bad header");
                return false;
            }
            e.known = true;
            e.id = ntohl(h[1]);
            e.total = (uint64_t{ntohl(h[2])} << 32) | ntohl(h[3]);
            e.rxkey = streamkey(o_.seed, e.id, 1);
            e.txkey = streamkey(o_.seed, e.id, 0);
            e.rng.seed(splitmix(o_.seed ^ (uint64_t{e.id} * 3 + 2)));
            e.hdrdone = 0;
            if (reached_.size() <= e.id)
                reached_.resize(e.id + 1);
            reached_[e.id] = true;
            ++r_.served;
            ++servedtotal_;
            ++paired_;
            r_.peakpaired = std::max(r_.peakpaired, paired_);
            return true;
        }
        const size_t k = static_cast<size_t>(randchunk(e.rng, o_.maxchunk));
        const ssize_t n = ::recv(e.fd, buf.data(), k, 0);
        if (n == 0) {
            e.eof = true;
            return false;
        }
        if (n < 0)
            return errno == EAGAIN || errno == EINTR ? true : broken(e, "recv");
        const uint64_t got = static_cast<uint64_t>(n);
        if (e.client && lfd_ < 0 && e.rxdone == 0)
            ++servedtotal_; // the destination is elsewhere: its first byte shows the pairing
        const uint64_t inrange = e.rxdone < e.total ? std::min(got, e.total - e.rxdone) : 0;
        r_.corrupt +=
            check(e.rxkey, e.rxdone, buf.data(), static_cast<size_t>(inrange), &e.firstbad);
        r_.extra += got - inrange;
        e.rxdone += got;
        (e.client ? r_.downchecked : r_.upchecked) += inrange;
        pause(e.rng, e.nextrecv);
        return true;
    }

    bool broken(end& e, const char* what)
    {
        if (!resetpeer(e))
            fail(std::string(e.client ? "client " : "server ") + std::to_string(e.id) + " " + what +
                 ": " + std::strerror(errno));
        e.eof = true;
        return false;
    }

    // A client is done when it has sent and received everything; a server waits for the
    // relay to close its side after the client has gone.
    bool done(const end& e) const
    {
        // A client that never reads stays open until the run ends.
        return e.client && !noread(e) && e.hdrdone == HEADERSIZE && e.txdone == e.total &&
               e.rxdone >= e.total;
    }

    void account(const end& e)
    {
        const bool rxwanted = e.client ? !noread(e) : !o_.servenoread;
        const bool complete = e.txdone == e.total && (!rxwanted || e.rxdone == e.total) &&
                              e.firstbad < 0 && (e.client ? e.hdrdone == HEADERSIZE : e.known);
        if (rxwanted && e.rxdone < e.total && (e.client || e.known) && !e.reset && !resetpeer(e) &&
            !noread(e)) // a stalled stream is cut short on purpose
            r_.lost += e.total - e.rxdone;
        if (e.firstbad >= 0)
            fail(std::string(e.client ? "client " : "server ") + std::to_string(e.id) +
                 ": first wrong byte at " + std::to_string(e.firstbad));
        if (e.client) {
            ++finished_;
            // A client cut off before the destination saw it no longer holds the window.
            const bool reached =
                lfd_ >= 0 ? e.id < reached_.size() && reached_[e.id] : e.rxdone > 0;
            if (!reached)
                ++nevermade_;
            if (e.reset)
                ++r_.resets;
            else if (complete)
                ++r_.completed;
            else
                ++r_.failed;
        } else {
            --servers_;
            if (e.known) {
                --paired_;
                if (complete && !resetpeer(e))
                    ++r_.servedcomplete;
            }
        }
    }

    // Clients that never read, and the server ends of their connections.
    bool noread(const end& e) const
    {
        return o_.noreadevery > 0 && (e.client || e.known) &&
               e.id % static_cast<uint32_t>(o_.noreadevery) == 0;
    }

    // The server end of a client that resets on purpose: its shortfall is expected.
    bool resetpeer(const end& e) const
    {
        return !e.client && o_.rstevery > 0 && e.id % static_cast<uint32_t>(o_.rstevery) == 0;
    }

    void closeend(int fd)
    {
        auto it = ends_.find(fd);
        account(it->second);
        ::close(fd);
        ends_.erase(it);
    }
};

inline result run(const options& o)
{
    return runner(o).run();
}

inline std::string summary(const result& r)
{
    std::string s;
    s += "clients started " + std::to_string(r.started) + ", completed " +
         std::to_string(r.completed) + ", failed " + std::to_string(r.failed) + "\n";
    s += "destination served " + std::to_string(r.served) + ", complete " +
         std::to_string(r.servedcomplete) + ", peak open end to end " +
         std::to_string(r.peakpaired) + "\n";
    s += "upstream sent " + std::to_string(r.upsent) + " checked " + std::to_string(r.upchecked) +
         "; downstream sent " + std::to_string(r.downsent) + " checked " +
         std::to_string(r.downchecked) + "\n";
    s += "corrupt " + std::to_string(r.corrupt) + ", lost " + std::to_string(r.lost) + ", extra " +
         std::to_string(r.extra) + ", bad headers " + std::to_string(r.badheaders) +
         (r.timedout ? ", TIMED OUT" : "") + ", " + std::to_string(r.elapsedms) + " ms\n";
    for (const auto& e : r.errors)
        s += "  " + e + "\n";
    return s;
}

} // namespace load
