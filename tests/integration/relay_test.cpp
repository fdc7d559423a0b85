// The relay end to end with the stand-in dialog build: verdicts other than "allow", and bytes
// sent while the question is open. The destination is a server of the test's own: it passes
// the program's start-up probe through to a real X server and leaves every later connection to
// the test.
#include "support/xtest.h"

#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace
{

// A destination display of the test's own on port 6000 + display. The start-up probes of the
// programs under test are passed through to a real X server; every other connection is the
// test's to accept, read and answer.
struct fakedest {
    int lfd = -1;
    int display = -1;
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
    }

    // Takes the top display number of the range, out of the way of the relays under test,
    // which take the lowest free one.
    bool start(int xserverport)
    {
        xport = xserverport;
        for (int k = 100; k >= 60 && lfd < 0; --k) {
            const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_ANY);
            a.sin_port = htons(static_cast<uint16_t>(6000 + k));
            if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(s, 16) == 0) {
                lfd = s;
                display = k;
            } else {
                ::close(s);
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
        if (const auto why = unmet({"Xvfb"}); !why.empty())
            GTEST_SKIP() << why;
        ASSERT_TRUE(x.start());
        ASSERT_TRUE(dest.start(6000 + x.display)) << "no free destination port";
    }
    void TearDown() override
    {
        for (auto& p : v)
            killchildren(p.pid);
    }
    // The stand-in build in front of the test's destination, allowing only 127.0.0.2; its
    // port, or -1.
    int start(proc& p, const std::vector<std::string>& env)
    {
        if (!startvk(p, {"-display", dest.name(), "-allow", "127.0.0.2"}, env, true))
            return -1;
        // Start-up reaches the destination twice: its own check for a first answer, then the
        // probe through Xlib.
        std::string line;
        if (!p.readline(line) || !dest.passthrough(10000) || !dest.passthrough(10000))
            return -1;
        p.outbuf = line; // read again by started(), which waits for the end of the probe
        const int n = started(p);
        return n >= 0 ? 6000 + n : -1;
    }
    // A connection from the allowed address, closed by the fixture.
    int client(int port) { return fds.keep(connectfrom("127.0.0.2", port)); }

    xserver x;
    fakedest dest;
    proc v[3];
    fdlist fds;
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
        EXPECT_TRUE(endedbare(c[i], 8000));
        EXPECT_EQ(errafter(v[i], std::strlen(rows[i].err), 2000), rows[i].err);
        EXPECT_TRUE(v[i].running());
    }
    EXPECT_EQ(fds.keep(dest.accept(0)), -1) << "a client without a yes reached the destination";
}

// While the question is open nothing reaches the destination; once allowed, what the client
// sent meanwhile is the first thing the destination reads, followed by what came later.
TEST_F(Relay, BytesSentWhileTheDialogIsUpArriveFirst)
{
    const int port = start(v[0], {"STANDIN_VERDICT=7", "STANDIN_DELAY_MS=2000"});
    ASSERT_GT(port, 0);
    const int a = client(port);
    ASSERT_GE(a, 0);
    const std::string early = pattern(6000, 21), late = pattern(3000, 22);
    ASSERT_TRUE(sendall(a, early));
    EXPECT_EQ(fds.keep(dest.accept(1000)), -1) << "paired before the verdict";

    const int d = fds.keep(dest.accept(8000));
    ASSERT_GE(d, 0);
    ASSERT_TRUE(sendall(a, late));
    const std::string got = readfor(d, early.size() + late.size(), 5000);
    EXPECT_EQ(got.size(), early.size() + late.size());
    EXPECT_TRUE(got == early + late) << "the stream does not start with the early bytes";

    const std::string reply = pattern(4000, 23);
    ASSERT_TRUE(sendall(d, reply));
    EXPECT_EQ(readfor(a, reply.size(), 5000), reply);
    ::shutdown(a, SHUT_WR);
    bool ended = false;
    EXPECT_EQ(readfor(d, 1, 5000, &ended), "");
    EXPECT_TRUE(ended);
    EXPECT_EQ(v[0].errbuf, "");
}

} // namespace
