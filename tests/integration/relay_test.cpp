// The relay end to end with the stand-in dialog build: verdicts other than "allow", a
// destination that refuses at pairing, bytes sent while the question is open, and a burst
// followed by end of file towards a slow destination. The destination is a server of the
// test's own: it passes the program's start-up probe through to a real X server and leaves
// every later connection to the test.
#include "integration/endtoend.h"

#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/tcp.h>
#include <thread>

namespace
{

using namespace e2e;

// A destination display of the test's own on port 6000 + display. The start-up probes of the
// programs under test are passed through to a real X server; every other connection is the
// test's to accept, read and answer.
struct fakedest {
    int lfd = -1;
    int display = -1;
    int hold = -1; // the display number, held against X servers and other tests' destinations
    int xport = -1;
    std::thread pump;
    std::atomic<bool> quit{false};
    std::mutex lock;
    std::vector<std::pair<int, int>> probes; // each with its connection to the X server

    fakedest() = default;
    fakedest(const fakedest&) = delete;
    fakedest& operator=(const fakedest&) = delete;
    ~fakedest()
    {
        quit = true;
        if (pump.joinable())
            pump.join();
        for (const auto& [c, x] : probes)
            if (c >= 0) {
                ::close(c);
                ::close(x);
            }
        if (lfd >= 0)
            ::close(lfd);
        if (hold >= 0)
            ::close(hold);
    }

    // Takes a free display number from the top of the range, where the relays under test
    // (which take the lowest free one) rarely get.
    bool start(int xserverport)
    {
        xport = xserverport;
        for (int k = 100; k >= 60 && lfd < 0; --k) {
            // While refused the port is bound but not listening, and a socket with
            // SO_REUSEADDR elsewhere could bind it too: the number is claimed first.
            const int h = holddisplay(k, 1);
            if (h < 0)
                continue;
            const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const int one = 1;
            // Needed to listen again after refuse(): the probes still hold the port.
            ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_ANY);
            a.sin_port = htons(static_cast<uint16_t>(6000 + k));
            if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(s, 16) == 0) {
                lfd = s;
                display = k;
                hold = h;
            } else {
                ::close(s);
                ::close(h);
            }
        }
        if (lfd < 0)
            return false;
        pump = std::thread([this] { passprobes(); });
        return true;
    }

    std::string name() const { return "localhost:" + std::to_string(display); }

    // The next connection to the destination, -1 if none came within timeout_ms.
    int accept(int timeout_ms)
    {
        pollfd pf{lfd, POLLIN, 0};
        if (::poll(&pf, 1, timeout_ms) <= 0)
            return -1;
        return ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    }

    // Accepts the next connection and passes it through to the X server from now on.
    bool passthrough(int timeout_ms)
    {
        const int c = accept(timeout_ms);
        const int x = c >= 0 ? connectfrom("", xport) : -1;
        if (x < 0) {
            if (c >= 0)
                ::close(c);
            return false;
        }
        const std::lock_guard<std::mutex> g(lock);
        probes.emplace_back(c, x);
        return true;
    }

    // Connections are refused from now on; the port stays bound to this socket.
    bool refuse() { return ::shutdown(lfd, SHUT_RD) == 0; }
    bool listenagain() { return ::listen(lfd, 16) == 0; }
    // Connections accepted from now on take little at a time: a small receive buffer and a
    // small segment size keep the sender's buffer small too, so it fills up soon.
    void narrow()
    {
        const int rcv = 4096, mss = 536;
        ::setsockopt(lfd, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);
        ::setsockopt(lfd, IPPROTO_TCP, TCP_MAXSEG, &mss, sizeof mss);
    }

  private:
    void passprobes()
    {
        while (!quit) {
            std::vector<pollfd> pf;
            {
                const std::lock_guard<std::mutex> g(lock);
                for (const auto& [c, x] : probes) {
                    pf.push_back({c, POLLIN, 0});
                    pf.push_back({x, POLLIN, 0});
                }
            }
            if (pf.empty()) {
                sleepms(20);
                continue;
            }
            if (::poll(pf.data(), pf.size(), 50) <= 0)
                continue;
            for (size_t i = 0; i < pf.size(); ++i) {
                if (pf[i].revents == 0)
                    continue;
                char buf[65536];
                const ssize_t n = ::read(pf[i].fd, buf, sizeof buf);
                if (n > 0 && sendall(pf[i ^ 1].fd, std::string(buf, static_cast<size_t>(n))))
                    continue;
                // One side has gone (its program ended): drop the pair.
                const std::lock_guard<std::mutex> g(lock);
                auto& [c, x] = probes[i / 2];
                if (c >= 0) {
                    ::close(c);
                    ::close(x);
                    c = x = -1;
                }
                pf[i ^ 1].revents = 0;
            }
        }
    }
};

class Relay : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (!haveprog("Xvfb"))
            GTEST_SKIP() << "Xvfb missing";
        x = startxvfb();
        ASSERT_TRUE(x) << "no X server with a TCP port of its own";
        ASSERT_TRUE(dest.start(6000 + x->display)) << "no free destination port";
    }
    void TearDown() override
    {
        for (auto& p : v)
            killchildren(p);
        for (const int fd : fds)
            ::close(fd);
    }
    // The stand-in build in front of the test's destination, allowing only 127.0.0.2; its
    // port, or -1.
    int start(proc& p, const std::vector<std::string>& env)
    {
        if (!p.start({VELKORAN_STANDIN_BIN, "-display", dest.name(), "-allow", "127.0.0.2"}, env))
            return -1;
        // Start-up reaches the destination twice: its own check for a first answer, then the
        // probe through Xlib.
        std::string line;
        if (!p.readline(line) || !dest.passthrough(10000) || !dest.passthrough(10000))
            return -1;
        const int n = announcednumber(line);
        const bool up = waituntil(
            [&] {
                p.drain(20);
                return p.out < 0;
            },
            10000);
        return up && n >= 0 ? 6000 + n : -1;
    }
    // A connection from the allowed address, closed by the fixture.
    int client(int port)
    {
        const int fd = connectfrom("127.0.0.2", port);
        if (fd >= 0)
            fds.push_back(fd);
        return fd;
    }
    int keep(int fd)
    {
        if (fd >= 0)
            fds.push_back(fd);
        return fd;
    }

    std::unique_ptr<xserver> x;
    fakedest dest;
    proc v[3];
    std::vector<int> fds;
};

// Each end of the confirmation child but "allow" closes the client without a byte; only an
// exit status that is no verdict at all is reported.
TEST_F(Relay, ChildStatusesOtherThanAllowCloseTheClient)
{
    struct row {
        const char* status;
        const char* err;
    };
    const row rows[] = {
        {"0", "Unknown exit status of child\n"},
        {"1", "Unknown exit status of child\n"},
        {"4", ""}, // "No"
    };
    int c[3];
    for (int i = 0; i < 3; ++i) {
        const int port = start(v[i], {std::string("STANDIN_VERDICT=") + rows[i].status});
        ASSERT_GT(port, 0);
        c[i] = client(port);
        ASSERT_GE(c[i], 0);
        ASSERT_TRUE(sendall(c[i], XSETUP));
    }
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(std::string("exit status ") + rows[i].status);
        const received r = readfor(c[i], 8000);
        EXPECT_TRUE(r.closed());
        EXPECT_EQ(r.bytes, "");
        EXPECT_EQ(errafter(v[i], std::strlen(rows[i].err), 2000), rows[i].err);
        EXPECT_TRUE(v[i].running());
    }
    EXPECT_EQ(keep(dest.accept(0)), -1) << "a client without a yes reached the destination";
}

// A destination that refuses at pairing ends that client with one line; the next client is
// relayed once the destination is back.
TEST_F(Relay, DestinationGoneAtPairingCostsOnlyThatClient)
{
    const int port = start(v[0], {"STANDIN_VERDICT=7"});
    ASSERT_GT(port, 0);
    ASSERT_TRUE(dest.refuse());

    const int a = client(port);
    ASSERT_GE(a, 0);
    ASSERT_TRUE(sendall(a, XSETUP));
    const received ra = readfor(a, 8000);
    EXPECT_TRUE(ra.closed());
    EXPECT_EQ(ra.bytes, "");
    const std::string line = "connect: Connection refused\n";
    EXPECT_EQ(errafter(v[0], line.size(), 2000), line);
    ASSERT_TRUE(v[0].running());

    ASSERT_TRUE(dest.listenagain()) << "another program took the destination port meanwhile";
    const int b = client(port);
    ASSERT_GE(b, 0);
    const std::string up = pattern(11, 5000), down = pattern(12, 7000);
    ASSERT_TRUE(sendall(b, up));
    const int d = keep(dest.accept(8000));
    ASSERT_GE(d, 0) << "the program stopped pairing after the refusal";
    EXPECT_EQ(readfor(d, 5000, up.size()).bytes, up);
    ASSERT_TRUE(sendall(d, down));
    EXPECT_EQ(readfor(b, 5000, down.size()).bytes, down);
    v[0].drain(100);
    EXPECT_EQ(v[0].errbuf, line);
}

// While the question is open nothing reaches the destination; once allowed, what the client
// sent meanwhile is the first thing the destination reads, followed by what came later.
TEST_F(Relay, BytesSentWhileTheDialogIsUpArriveFirst)
{
    const int port = start(v[0], {"STANDIN_VERDICT=7", "STANDIN_DELAY_MS=2000"});
    ASSERT_GT(port, 0);
    const int a = client(port);
    ASSERT_GE(a, 0);
    const std::string early = pattern(21, 6000), late = pattern(22, 3000);
    ASSERT_TRUE(sendall(a, early));
    EXPECT_EQ(keep(dest.accept(1000)), -1) << "paired before the verdict";

    const int d = keep(dest.accept(8000));
    ASSERT_GE(d, 0);
    ASSERT_TRUE(sendall(a, late));
    const received got = readfor(d, 5000, early.size() + late.size());
    EXPECT_EQ(got.bytes.size(), early.size() + late.size());
    EXPECT_TRUE(got.bytes == early + late) << "the stream does not start with the early bytes";

    const std::string reply = pattern(23, 4000);
    ASSERT_TRUE(sendall(d, reply));
    EXPECT_EQ(readfor(a, 5000, reply.size()).bytes, reply);
    ::shutdown(a, SHUT_WR);
    const received rest = readfor(d, 5000);
    EXPECT_TRUE(rest.eof);
    EXPECT_EQ(rest.bytes, "");
    EXPECT_EQ(v[0].errbuf, "");
}

// A client sends a burst and closes before the destination reads a byte. The way to the
// destination holds far less than the burst, so the program meets end of file on the client
// while bytes it has read still wait for room at the destination. The slow destination gets
// all of them in order, then end of file.
TEST_F(Relay, EndOfFileAfterABurstToASlowDestinationLosesNothing)
{
    const int port = start(v[0], {"STANDIN_VERDICT=7"});
    ASSERT_GT(port, 0);
    dest.narrow();
    const int a = connectfrom("127.0.0.2", port);
    ASSERT_GE(a, 0);
    const int d = keep(dest.accept(8000));
    if (d < 0)
        ::close(a);
    ASSERT_GE(d, 0);

    // Not a multiple of the program's buffer size, so the last read is a short one.
    const std::string burst = pattern(31, (256 << 10) + 517);
    std::atomic<bool> done{false}, sentok{false};
    std::thread writer([&] { // its writes block until the program has read
        sentok = sendall(a, burst);
        ::close(a);
        done = true;
    });
    const bool closed = waituntil([&] { return done.load(); }, 10000);

    std::string got;
    bool eof = false;
    for (int i = 0; i < 100000 && !eof; ++i) {
        pollfd pf{d, POLLIN, 0};
        if (::poll(&pf, 1, 5000) <= 0)
            break;
        char buf[512]; // about one segment: the program finds the destination full again soon
        const ssize_t n = ::read(d, buf, sizeof buf);
        if (n <= 0) {
            eof = n == 0;
            break;
        }
        got.append(buf, static_cast<size_t>(n));
        sleepms(1); // slower than the program moves bytes
    }
    if (!done)
        ::shutdown(d, SHUT_RDWR); // lets the writer end; the test has failed anyway
    writer.join();
    EXPECT_TRUE(closed) << "the burst did not fit into the buffers on the way";
    EXPECT_TRUE(sentok);
    EXPECT_EQ(got.size(), burst.size());
    EXPECT_TRUE(got == burst) << "bytes lost or out of order";
    EXPECT_TRUE(eof);
    v[0].drain(100);
    EXPECT_EQ(v[0].errbuf, "");
}

} // namespace
