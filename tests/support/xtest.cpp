#include "support/xtest.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <net/if.h>
#include <sched.h>
#include <set>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

static bool isolated = false;

bool isolate()
{
    if (::unshare(CLONE_NEWNET) != 0)
        return false;
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = ::ioctl(s, SIOCGIFFLAGS, &ifr) == 0 &&
                    (ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING),
                     ::ioctl(s, SIOCSIFFLAGS, &ifr) == 0);
    ::close(s);
    isolated = up;
    return up;
}

std::string unmet(std::initializer_list<const char*> progs)
{
    // Sharing the machine's ports, a test could reach another program's server at the port it
    // expects its own at, or find the port it needs taken: its outcome would not be its own.
    if (!isolated)
        return "needs a network namespace of its own (run as root)";
    for (const char* p : progs)
        if (!haveprog(p))
            return std::string(p) + " missing";
    return "";
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

bool proc::start(const std::vector<std::string>& argv, const std::vector<std::string>& envx,
                 int keepfd, bool quiet)
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
        const int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(quiet ? devnull : o[1], 1);
        ::dup2(quiet ? devnull : e[1], 2);
        if (devnull >= 0)
            ::dup2(devnull, 0);
        // Nothing else of the test process leaks into the program under test.
        for (int fd = 3; fd < 1024; ++fd)
            if (fd != keepfd)
                ::close(fd);
        if (keepfd >= 0)
            ::fcntl(keepfd, F_SETFD, 0);
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
    const long end = nowms() + timeout_ms;
    for (;;) {
        if (!running()) {
            // What it wrote just before it ended may still sit in the pipes.
            drain(1000);
            return status;
        }
        if (nowms() >= end)
            return -1;
        drain(20);
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

int cmdresult::exitcode() const
{
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What a started process leaves once it has ended (killed after timeout_ms).
static cmdresult finish(proc& p, int timeout_ms)
{
    cmdresult r;
    r.status = p.wait(timeout_ms);
    p.stop();
    r.out = p.outbuf;
    r.err = p.errbuf;
    return r;
}

cmdresult runcmd(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 int timeout_ms)
{
    proc p;
    return p.start(argv, env) ? finish(p, timeout_ms) : cmdresult{};
}

bool startvk(proc& v, const std::vector<std::string>& args, const std::vector<std::string>& env,
             bool standin, const std::vector<std::string>& prefix)
{
    std::vector<std::string> argv = prefix;
    argv.emplace_back(standin ? VELKORAN_STANDIN_BIN : VELKORAN_BIN);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> e = env;
    if (std::any_of(env.begin(), env.end(),
                    [](const std::string& x) { return x.rfind("FAKE_", 0) == 0; }))
        e.push_back(std::string("LD_PRELOAD=") + FAKESYS_LIB);
    return v.start(argv, e);
}

cmdresult runvk(const std::vector<std::string>& args, const std::vector<std::string>& env,
                int timeout_ms)
{
    proc p;
    return startvk(p, args, env) ? finish(p, timeout_ms) : cmdresult{};
}

bool haveprog(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (::access((dir + "/" + name).c_str(), X_OK) == 0)
            return true;
    return false;
}

static std::string slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Fields of /proc/pid/stat after the command name (index 0 = state, 1 = parent).
static std::vector<std::string> statfields(pid_t pid)
{
    const std::string s = slurp("/proc/" + std::to_string(pid) + "/stat");
    std::vector<std::string> out;
    const auto close = s.rfind(')');
    if (close == std::string::npos)
        return out;
    std::istringstream in(s.substr(close + 2));
    for (std::string f; in >> f;)
        out.push_back(f);
    return out;
}

// The children of parent, by scanning /proc: the kernel's own list leaves out none that has
// ended but is not yet reaped.
static std::vector<pid_t> scanchildren(pid_t parent, int* zombies)
{
    std::vector<pid_t> out;
    *zombies = 0;
    DIR* d = ::opendir("/proc");
    if (d == nullptr)
        return out;
    while (const dirent* e = ::readdir(d)) {
        const pid_t p = static_cast<pid_t>(std::atoi(e->d_name));
        const auto f = p > 0 ? statfields(p) : std::vector<std::string>{};
        // The program's lookup helper lives as long as the program: it is no child to settle.
        if (f.size() > 1 && std::atoi(f[1].c_str()) == parent &&
            slurp("/proc/" + std::to_string(p) + "/comm") != "velkoran-lookup\n") {
            if (f[0] == "Z")
                ++*zombies;
            else
                out.push_back(p);
        }
    }
    ::closedir(d);
    return out;
}

std::vector<pid_t> childpids(pid_t pid)
{
    int zombies = 0;
    return scanchildren(pid, &zombies);
}

procinfo inspect(pid_t pid)
{
    procinfo pi;
    const std::string dir = "/proc/" + std::to_string(pid);
    std::istringstream st(slurp(dir + "/status"));
    for (std::string line; std::getline(st, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            pi.rsskb = std::atol(line.c_str() + 6);
        if (line.rfind("VmSize:", 0) == 0)
            pi.vmkb = std::atol(line.c_str() + 7);
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
            pi.sleeps = std::atol(line.c_str() + 24);
    }
    if (DIR* d = ::opendir((dir + "/fd").c_str())) {
        pi.fds = 0;
        while (const dirent* e = ::readdir(d))
            pi.fds += e->d_name[0] != '.' ? 1 : 0;
        ::closedir(d);
    }
    pi.children = static_cast<int>(scanchildren(pid, &pi.zombies).size());
    const auto f = statfields(pid);
    if (f.size() > 12)
        pi.cputicks = std::atol(f[11].c_str()) + std::atol(f[12].c_str());
    return pi;
}

std::string show(const procinfo& p)
{
    return "RSS " + std::to_string(p.rsskb) + " kB, fds " + std::to_string(p.fds) + ", children " +
           std::to_string(p.children) + ", zombies " + std::to_string(p.zombies);
}

std::string fdlink(pid_t pid, int fd)
{
    char buf[256];
    const std::string path = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// How many descriptors of process pid are IPv4 TCP sockets in state (as /proc/net/tcp writes
// it) whose local port (remote with remote) is port.
static int tcpsockets(pid_t pid, int port, bool remote, unsigned state)
{
    std::set<std::string> inodes;
    std::istringstream tcp(slurp("/proc/net/tcp"));
    std::string line;
    std::getline(tcp, line); // header
    while (std::getline(tcp, line)) {
        unsigned lport = 0, rport = 0, st = 0;
        unsigned long inode = 0;
        // sl: local rem st tx:rx tr:when retrnsmt uid timeout inode
        if (std::sscanf(line.c_str(), " %*d: %*x:%x %*x:%x %x %*x:%*x %*x:%*x %*x %*u %*u %lu",
                        &lport, &rport, &st, &inode) == 4 &&
            static_cast<int>(remote ? rport : lport) == port && st == state)
            inodes.insert("socket:[" + std::to_string(inode) + "]");
    }
    int n = 0;
    for (int fd = 0; fd < 1024 && !inodes.empty(); ++fd)
        n += inodes.count(fdlink(pid, fd)) != 0 ? 1 : 0;
    return n;
}

bool listensipv4(pid_t pid, int port)
{
    return tcpsockets(pid, port, false, 0x0A) > 0;
}

int connectionsto(pid_t pid, int port)
{
    return tcpsockets(pid, port, true, 0x01);
}

bool adoptorphans()
{
    return ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
}

static void reapended()
{
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

std::vector<std::string> endleftovers(int grace_ms)
{
    const pid_t me = ::getpid();
    std::vector<pid_t> live;
    std::vector<std::string> killed;
    int wait_ms = grace_ms;
    // Each round kills what is left; its children come to this process and are the next
    // round's.
    for (int round = 0; round < 10; ++round, wait_ms = 2000) {
        if (waituntil(
                [&] {
                    reapended();
                    live = childpids(me);
                    return live.empty();
                },
                wait_ms, 20))
            break;
        for (const pid_t k : live) {
            std::string cmd = slurp("/proc/" + std::to_string(k) + "/cmdline");
            std::replace(cmd.begin(), cmd.end(), '\0', ' ');
            killed.push_back(std::to_string(k) + " " + cmd.substr(0, 200));
            ::kill(k, SIGKILL);
        }
    }
    return killed;
}

void killchildren(pid_t pid)
{
    if (pid > 0)
        for (const pid_t k : childpids(pid))
            ::kill(k, SIGKILL);
}

bool xserver::start(const std::vector<std::string>& extra)
{
    int fds[2];
    if (!haveprog("Xvfb") || ::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    // -noreset: the server stays as it is when its last client goes, instead of starting over
    // (slow on a loaded machine) just as the next client comes.
    std::vector<std::string> argv = {
        "Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1280x1024x24", "-noreset"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    const bool ok = p.start(argv, {}, fds[1], true);
    ::close(fds[1]);
    std::string num;
    // The number arrives once the server listens; end of file means it gave up.
    const long end = nowms() + 15000;
    while (ok && nowms() < end && p.running()) {
        char c = 0;
        if (waitreadable(fds[0], 200) && (::read(fds[0], &c, 1) != 1 || c == '\n'))
            break;
        if (c != 0)
            num.push_back(c);
    }
    ::close(fds[0]);
    if (num.empty()) {
        p.stop();
        return false;
    }
    display = std::atoi(num.c_str());
    return true;
}

void xserver::stop()
{
    const pid_t pid = p.pid;
    p.stop();
    if (display < 0 || pid <= 0)
        return;
    // The lock holds the server's process id; a server that was killed left it behind, and the
    // socket beside it.
    const std::string n = std::to_string(display);
    const std::string lock = "/tmp/.X" + n + "-lock";
    if (std::atoi(slurp(lock).c_str()) == pid) {
        ::unlink(("/tmp/.X11-unix/X" + n).c_str());
        ::unlink(lock.c_str());
    }
}

int announcednumber(const std::string& line)
{
    const auto colon = line.rfind(':');
    if (colon == std::string::npos || colon + 1 >= line.size())
        return -1;
    char* endp = nullptr;
    const long v = std::strtol(line.c_str() + colon + 1, &endp, 10);
    return endp == line.c_str() + colon + 1 ? -1 : static_cast<int>(v);
}

int started(proc& v, int timeout_ms)
{
    std::string line;
    if (!v.readline(line, timeout_ms))
        return -1;
    const int n = announcednumber(line);
    return outclosed(v, timeout_ms) ? n : -1;
}

bool outclosed(proc& v, int timeout_ms)
{
    return waituntil(
        [&] {
            v.drain(20);
            return v.out < 0;
        },
        timeout_ms);
}

bool anyrunning(const std::vector<std::unique_ptr<proc>>& ps)
{
    return std::any_of(ps.begin(), ps.end(), [](const auto& p) { return p->running(); });
}

std::string errafter(proc& v, size_t want, int timeout_ms)
{
    waituntil(
        [&] {
            v.drain(20);
            return v.errbuf.size() >= want;
        },
        timeout_ms, 1);
    return v.errbuf;
}

std::vector<std::string> alerts(const std::string& display)
{
    const auto r = runcmd({"xdotool", "search", "--onlyvisible", "--name", "alert_popup"},
                          {"DISPLAY=" + display}, 5000);
    std::vector<std::string> ids;
    std::istringstream in(r.exitcode() == 0 ? r.out : "");
    for (std::string id; in >> id;)
        ids.push_back(id);
    return ids;
}

std::string findalert(const std::string& display, int timeout_ms,
                      const std::vector<std::string>& known)
{
    std::string found;
    waituntil(
        [&] {
            for (const auto& id : alerts(display))
                if (std::find(known.begin(), known.end(), id) == known.end())
                    found = id;
            return !found.empty();
        },
        timeout_ms, 100);
    return found;
}

// The left-hand button's place in the dialog: the buttons sit in a row along its bottom.
static bool yesbutton(const std::string& display, const std::string& id, int& x, int& y)
{
    const auto r =
        runcmd({"xdotool", "getwindowgeometry", "--shell", id}, {"DISPLAY=" + display}, 5000);
    int w = 0, h = 0;
    std::istringstream g(r.out);
    for (std::string kv; g >> kv;) {
        if (kv.rfind("WIDTH=", 0) == 0)
            w = std::atoi(kv.c_str() + 6);
        if (kv.rfind("HEIGHT=", 0) == 0)
            h = std::atoi(kv.c_str() + 7);
    }
    x = 30;
    y = h - 30;
    return w > 60 && h > 60;
}

bool answeralert(const std::string& display, bool yes, int timeout_ms, std::string id)
{
    if (id.empty())
        id = findalert(display, timeout_ms);
    if (id.empty())
        return false;
    const std::vector<std::string> env = {"DISPLAY=" + display};
    int x = 0, y = 0;
    if (yes && !yesbutton(display, id, x, y))
        return false;
    auto gone = [&] {
        const auto ids = alerts(display);
        return std::find(ids.begin(), ids.end(), id) == ids.end();
    };
    return waituntil(
        [&] {
            if (gone())
                return true;
            if (yes)
                runcmd({"xdotool", "mousemove", "--window", id, std::to_string(x),
                        std::to_string(y), "click", "1"},
                       env, 5000);
            else
                runcmd(
                    {"xdotool", "windowfocus", "--sync", id, "key", "--clearmodifiers", "Escape"},
                    env, 5000);
            return gone();
        },
        15000, 150);
}

bool answeruntil(const std::string& display, bool yes, const std::function<bool()>& done,
                 int timeout_ms)
{
    return waituntil(
        [&] {
            if (done())
                return true;
            const auto ids = alerts(display);
            if (!ids.empty())
                answeralert(display, yes, 0, ids.back());
            return done();
        },
        timeout_ms, 100);
}
