#include "support/xtest.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <poll.h>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

void sleepms(int ms)
{
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

static long nowms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

static std::vector<std::string> mergeenv(const std::vector<std::string>& extra)
{
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        env.emplace_back(*e);
    for (const auto& x : extra) {
        const auto eq = x.find('=');
        const std::string key = x.substr(0, eq + 1);
        for (auto it = env.begin(); it != env.end();)
            it = it->compare(0, key.size(), key) == 0 ? env.erase(it) : it + 1;
        if (eq + 1 < x.size())
            env.push_back(x);
    }
    return env;
}

bool proc::start(const std::vector<std::string>& argv, const std::vector<std::string>& envx)
{
    int o[2], e[2];
    if (::pipe2(o, O_CLOEXEC) != 0)
        return false;
    if (::pipe2(e, O_CLOEXEC) != 0) {
        ::close(o[0]);
        ::close(o[1]);
        return false;
    }
    const auto env = mergeenv(envx);
    std::vector<char*> av, ev;
    for (const auto& a : argv)
        av.push_back(const_cast<char*>(a.c_str()));
    av.push_back(nullptr);
    for (const auto& x : env)
        ev.push_back(const_cast<char*>(x.c_str()));
    ev.push_back(nullptr);
    const pid_t p = ::fork();
    if (p < 0)
        return false;
    if (p == 0) {
        ::dup2(o[1], 1);
        ::dup2(e[1], 2);
        const int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0)
            ::dup2(devnull, 0);
        // Nothing else of the test process leaks into the program under test.
        for (int fd = 3; fd < 1024; ++fd)
            ::close(fd);
        ::execvpe(av[0], av.data(), ev.data());
        ::_exit(127);
    }
    ::close(o[1]);
    ::close(e[1]);
    pid = p;
    out = o[0];
    err = e[0];
    reaped = false;
    status = -1;
    return true;
}

// Reads what one pipe has; false at end of file.
static bool pull(int& fd, std::string& buf)
{
    char tmp[4096];
    const ssize_t n = ::read(fd, tmp, sizeof tmp);
    if (n > 0) {
        buf.append(tmp, static_cast<size_t>(n));
        return true;
    }
    if (n < 0 && errno == EINTR)
        return true;
    ::close(fd);
    fd = -1;
    return false;
}

bool proc::readline(std::string& line, int timeout_ms)
{
    const long end = nowms() + timeout_ms;
    for (;;) {
        const auto nl = outbuf.find('\n');
        if (nl != std::string::npos) {
            line = outbuf.substr(0, nl + 1);
            outbuf.erase(0, nl + 1);
            return true;
        }
        const long left = end - nowms();
        if (out < 0 || left <= 0)
            return false;
        pollfd pf{out, POLLIN, 0};
        if (::poll(&pf, 1, static_cast<int>(left)) > 0)
            pull(out, outbuf);
    }
}

void proc::drain(int timeout_ms)
{
    const long end = nowms() + timeout_ms;
    while (out >= 0 || err >= 0) {
        const long left = end - nowms();
        if (left <= 0)
            return;
        pollfd pf[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
        if (::poll(pf, 2, static_cast<int>(left)) <= 0)
            continue;
        if (out >= 0 && pf[0].revents != 0)
            pull(out, outbuf);
        if (err >= 0 && pf[1].revents != 0)
            pull(err, errbuf);
    }
}

int proc::wait(int timeout_ms)
{
    if (pid < 0)
        return status;
    if (reaped)
        return status;
    const long end = nowms() + timeout_ms;
    for (;;) {
        int st = 0;
        const pid_t r = ::waitpid(pid, &st, WNOHANG);
        if (r == pid) {
            status = st;
            reaped = true;
            drain(1000);
            return status;
        }
        if (nowms() >= end)
            return -1;
        drain(20);
        sleepms(10);
    }
}

bool proc::running()
{
    if (pid < 0 || reaped)
        return false;
    int st = 0;
    if (::waitpid(pid, &st, WNOHANG) == pid) {
        status = st;
        reaped = true;
        return false;
    }
    return true;
}

void proc::stop()
{
    if (pid > 0 && !reaped) {
        ::kill(pid, SIGTERM);
        if (wait(2000) == -1) {
            ::kill(pid, SIGKILL);
            wait(5000);
        }
    }
    if (out >= 0)
        ::close(out);
    if (err >= 0)
        ::close(err);
    out = err = -1;
}

bool xserver::startonce(const std::vector<std::string>& extra)
{
    if (!haveprog("Xvfb"))
        return false;
    int fds[2];
    if (::pipe(fds) != 0)
        return false;
    // The write end must survive into Xvfb under a known number.
    const int keep = 200;
    ::dup2(fds[1], keep);
    ::close(fds[1]);
    std::vector<std::string> argv = {"Xvfb",    "-displayfd", std::to_string(keep),
                                     "-screen", "0",          "1280x1024x24"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    // Started by hand rather than by proc::start, which closes every descriptor above 2.
    int e[2];
    if (::pipe2(e, O_CLOEXEC) != 0)
        return false;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(e[1], 2);
        const int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, 0);
        ::dup2(devnull, 1);
        for (int fd = 3; fd < 1024; ++fd)
            if (fd != keep)
                ::close(fd);
        std::vector<char*> av;
        for (const auto& a : argv)
            av.push_back(const_cast<char*>(a.c_str()));
        av.push_back(nullptr);
        ::execvp(av[0], av.data());
        ::_exit(127);
    }
    ::close(keep);
    ::close(e[1]);
    p.pid = pid;
    p.err = e[0];
    p.reaped = false;
    std::string num;
    const long end = nowms() + 15000;
    while (nowms() < end) {
        pollfd pf{fds[0], POLLIN, 0};
        if (::poll(&pf, 1, 200) > 0) {
            char c;
            const ssize_t n = ::read(fds[0], &c, 1);
            if (n <= 0 || c == '\n')
                break;
            num.push_back(c);
        }
        if (!p.running())
            break;
    }
    ::close(fds[0]);
    if (num.empty()) {
        p.stop();
        return false;
    }
    display = std::atoi(num.c_str());
    return true;
}

bool xserver::start(const std::vector<std::string>& extra)
{
    bool tcp = false;
    for (size_t i = 0; i + 1 < extra.size(); ++i)
        tcp = tcp || (extra[i] == "-listen" && extra[i + 1] == "tcp");
    // Xvfb picks its number from lock files alone: when another program already holds the IPv4
    // port of that number, it goes on with IPv6 only and "localhost:N" leads to that program.
    // Such a server is kept running while the next one starts, so that the next one takes
    // another number; all of them are stopped when the search ends.
    std::vector<std::unique_ptr<proc>> lost;
    for (int attempt = 0; attempt < 12; ++attempt) {
        if (!startonce(extra))
            return false;
        if (!tcp || listensipv4(p.pid, 6000 + display))
            return true;
        auto held = std::make_unique<proc>();
        held->pid = p.pid;
        held->err = p.err;
        p.pid = -1;
        p.err = -1;
        p.reaped = false;
        lost.push_back(std::move(held));
    }
    return false;
}

bool listensipv4(pid_t pid, int port)
{
    std::set<unsigned long> inodes;
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    std::getline(tcp, line); // header
    while (std::getline(tcp, line)) {
        unsigned lport = 0, state = 0;
        unsigned long inode = 0;
        // sl: local rem st tx:rx tr:when retrnsmt uid timeout inode
        if (std::sscanf(line.c_str(), " %*d: %*x:%x %*x:%*x %x %*x:%*x %*x:%*x %*x %*u %*u %lu",
                        &lport, &state, &inode) == 3 &&
            static_cast<int>(lport) == port && state == 0x0A)
            inodes.insert(inode);
    }
    if (inodes.empty())
        return false;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
        return false;
    bool found = false;
    while (dirent* e = ::readdir(d)) {
        char target[128] = {};
        const std::string link = dir + "/" + e->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        unsigned long inode = 0;
        if (n > 0 && std::sscanf(target, "socket:[%lu]", &inode) == 1 && inodes.count(inode)) {
            found = true;
            break;
        }
    }
    ::closedir(d);
    return found;
}

int cmdresult::exitcode() const
{
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

cmdresult runcmd(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 int timeout_ms)
{
    cmdresult r;
    proc p;
    if (!p.start(argv, env))
        return r;
    const long end = nowms() + timeout_ms;
    while (p.running() && nowms() < end)
        p.drain(20);
    r.status = p.running() ? -1 : p.status;
    // What it wrote just before it ended may still sit in the pipes: read it before closing.
    if (r.status != -1)
        p.drain(1000);
    p.stop();
    r.out = p.outbuf;
    r.err = p.errbuf;
    return r;
}

bool haveprog(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::string s = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= s.size()) {
        const size_t colon = s.find(':', start);
        const std::string dir = s.substr(start, colon - start);
        if (::access((dir + "/" + name).c_str(), X_OK) == 0)
            return true;
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    return false;
}

int announcednumber(const std::string& line)
{
    const auto colon = line.rfind(':');
    if (colon == std::string::npos || colon + 1 >= line.size())
        return -1;
    char* endp = nullptr;
    const long v = std::strtol(line.c_str() + colon + 1, &endp, 10);
    if (endp == line.c_str() + colon + 1)
        return -1;
    return static_cast<int>(v);
}

std::string findalert(const std::string& display, int timeout_ms)
{
    const long end = nowms() + timeout_ms;
    while (nowms() < end) {
        const auto r = runcmd({"xdotool", "search", "--onlyvisible", "--name", "alert_popup"},
                              {"DISPLAY=" + display}, 5000);
        if (r.exitcode() == 0 && !r.out.empty()) {
            // The newest window is listed last.
            std::string ids = r.out;
            while (!ids.empty() && ids.back() == '\n')
                ids.pop_back();
            const auto nl = ids.rfind('\n');
            return nl == std::string::npos ? ids : ids.substr(nl + 1);
        }
        sleepms(100);
    }
    return {};
}

void answeronce(const std::string& display, const std::string& id, bool yes)
{
    if (!yes) {
        runcmd({"xdotool", "windowfocus", "--sync", id, "key", "--clearmodifiers", "Escape"},
               {"DISPLAY=" + display}, 5000);
        return;
    }
    int h = 0;
    std::istringstream g(
        runcmd({"xdotool", "getwindowgeometry", "--shell", id}, {"DISPLAY=" + display}, 5000).out);
    for (std::string kv; g >> kv;)
        if (kv.rfind("HEIGHT=", 0) == 0)
            h = std::atoi(kv.c_str() + 7);
    if (h <= 40)
        return;
    // No --sync: it would wait for ever when the pointer is already there from the last try.
    runcmd({"xdotool", "mousemove", "--window", id, "33", std::to_string(h - 32), "click", "1"},
           {"DISPLAY=" + display}, 5000);
}

bool answerwindow(const std::string& display, const std::string& id, bool yes, int timeout_ms)
{
    const long end = nowms() + timeout_ms;
    while (nowms() < end) {
        const auto r =
            runcmd({"xdotool", "search", "--name", "alert_popup"}, {"DISPLAY=" + display}, 5000);
        if (r.exitcode() != 0 || r.out.find(id + "\n") == std::string::npos)
            return true;
        answeronce(display, id, yes);
        sleepms(150);
    }
    return false;
}

bool answeralert(const std::string& display, bool yes, int timeout_ms)
{
    const std::string id = findalert(display, timeout_ms);
    return !id.empty() && answerwindow(display, id, yes, timeout_ms);
}

int holddisplay(int n, int tries)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const std::string name = "/tmp/.X11-unix/X" + std::to_string(n);
    std::memcpy(a.sun_path + 1, name.data(), name.size()); // sun_path[0] stays 0: abstract
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    for (int t = 0; t < tries; ++t) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), len) == 0)
            return fd;
        const int e = errno;
        ::close(fd);
        if (e != EADDRINUSE)
            return -1;
        if (t + 1 < tries)
            sleepms(5);
    }
    return -1;
}
