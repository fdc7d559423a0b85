// A relay under test: a private Xvfb for the start-up probe (and the dialogs), the program
// itself with its standard error in a file, and what /proc says about it. Header-only: used
// by the campaign tool and the integration tests.
#pragma once

#include "load.h"
#include "support/xtest.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace rig
{

struct procinfo {
    long rsskb = -1;   // VmRSS
    int fds = -1;      // open descriptors
    int children = 0;  // live children
    int zombies = 0;   // children ended and not yet reaped
    long cputicks = 0; // utime + stime
};

inline std::string slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Fields of /proc/pid/stat after the command name: state, ppid, ... (index 0 = state).
inline std::vector<std::string> statfields(pid_t pid)
{
    const std::string s = slurp("/proc/" + std::to_string(pid) + "/stat");
    std::vector<std::string> out;
    const auto close = s.rfind(')');
    if (close == std::string::npos)
        return out;
    std::istringstream in(s.substr(close + 2));
    std::string f;
    while (in >> f)
        out.push_back(f);
    return out;
}

inline std::vector<pid_t> childrenof(pid_t parent, int* zombies = nullptr)
{
    std::vector<pid_t> out;
    if (zombies != nullptr)
        *zombies = 0;
    DIR* d = ::opendir("/proc");
    if (d == nullptr)
        return out;
    while (dirent* e = ::readdir(d)) {
        const pid_t p = static_cast<pid_t>(std::atoi(e->d_name));
        if (p <= 0)
            continue;
        const auto f = statfields(p);
        if (f.size() > 1 && std::atoi(f[1].c_str()) == parent) {
            if (f[0] == "Z") {
                if (zombies != nullptr)
                    ++*zombies;
            } else {
                out.push_back(p);
            }
        }
    }
    ::closedir(d);
    return out;
}

inline procinfo inspect(pid_t pid)
{
    procinfo pi;
    std::istringstream st(slurp("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(st, line))
        if (line.rfind("VmRSS:", 0) == 0)
            pi.rsskb = std::atol(line.c_str() + 6);
    int n = 0;
    if (DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        ::closedir(d);
        pi.fds = n;
    }
    pi.children = static_cast<int>(childrenof(pid, &pi.zombies).size());
    const auto f = statfields(pid);
    if (f.size() > 12)
        pi.cputicks = std::atol(f[11].c_str()) + std::atol(f[12].c_str());
    return pi;
}

inline std::string show(const procinfo& p)
{
    return "RSS " + std::to_string(p.rsskb) + " kB, fds " + std::to_string(p.fds) + ", children " +
           std::to_string(p.children) + ", zombies " + std::to_string(p.zombies);
}

// Standard error without the refusals of connections from 127.0.0.1: on a shared machine other
// programs' clients may knock on whatever port of the range the relay took.
inline std::string ours(const std::string& err)
{
    // Named, or with the address in the name's place while 16 lookups are under way.
    const std::string stranger = "bad host connect from localhost (127.0.0.1)\n";
    const std::string nameless = "bad host connect from 127.0.0.1 (127.0.0.1)\n";
    std::string out;
    size_t at = 0;
    while (at < err.size()) {
        size_t nl = err.find('\n', at);
        nl = nl == std::string::npos ? err.size() : nl + 1;
        if (err.compare(at, nl - at, stranger) != 0 && err.compare(at, nl - at, nameless) != 0)
            out += err.substr(at, nl - at);
        at = nl;
    }
    return out;
}

struct relay {
    xserver x;
    int xhold = -1; // the stopped Xvfb's display number, held in its place
    proc v;
    int mine = -1;       // the relay's display number: clients connect to 6000 + mine
    int dport = -1;      // the destination port, 6000 + the Xvfb display number
    int destlisten = -1; // without keepx: listening on dport, taken the moment the Xvfb left
    std::string log;
    std::string why; // what went wrong when up() failed

    // Starts Xvfb and the program (argv[0] is the binary; "-display" is added), reads the
    // announcement. prefix runs before the binary (e.g. prlimit). keepx false: the Xvfb is
    // stopped once the program is up, freeing the destination port for a byte-stream server.
    bool up(const std::string& bin, const std::vector<std::string>& allow,
            const std::vector<std::string>& env = {}, bool keepx = false,
            const std::vector<std::string>& prefix = {})
    {
        // The Xvfb found holds its own IPv4 port (see xserver::start).
        if (!x.start())
            return fail("Xvfb would not start");
        char tmpl[] = "/tmp/velkoran-relXXXXXX";
        const int fd = ::mkstemp(tmpl);
        if (fd < 0)
            return fail("no log file");
        ::close(fd);
        log = tmpl;
        std::vector<std::string> argv = {"/bin/sh", "-c", "f=$1; shift; exec \"$@\" 2>>\"$f\"",
                                         "sh", log};
        argv.insert(argv.end(), prefix.begin(), prefix.end());
        argv.push_back(bin);
        argv.push_back("-display");
        argv.push_back(x.name());
        argv.push_back("-allow");
        argv.insert(argv.end(), allow.begin(), allow.end());
        if (!v.start(argv, env))
            return fail("the program would not start");
        std::string line;
        if (!v.readline(line, 20000))
            return fail("no announcement: " + err());
        mine = announcednumber(line);
        dport = 6000 + x.display;
        // Standard output closes right after the probe of the destination: from then on the
        // Xvfb is needed only for dialogs.
        for (int t = 0; t < 600 && v.out >= 0; ++t)
            v.readline(line, 100);
        if (v.out >= 0)
            return fail("standard output still open");
        sleepms(200);
        if (!v.running())
            return fail("ended after the announcement: " + err());
        if (!keepx) {
            // Other programs on this machine take free ports of this range too: take the
            // port back at once.
            const int number = x.display;
            x.stop();
            // Its number stays taken: while this rig serves the port, and while a test has
            // the destination "killed" (the port closed for a moment), no X server started
            // by another test may become localhost:number.
            xhold = holddisplay(number);
            if (xhold < 0)
                return fail("display " + std::to_string(number) + " not held");
            for (int t = 0; t < 200 && destlisten < 0; ++t) {
                destlisten = load::listenon(dport);
                if (destlisten < 0)
                    sleepms(5);
            }
            if (destlisten < 0)
                return fail("destination port " + std::to_string(dport) + " taken");
        }
        return mine >= 0;
    }
    bool fail(const std::string& what)
    {
        why = what;
        return false;
    }
    int port() const { return 6000 + mine; }
    std::string err() const { return slurp(log); }
    std::string ownerr() const { return ours(slurp(log)); }
    procinfo info() const { return inspect(v.pid); }
    bool alive() { return v.running(); }
    void down()
    {
        if (destlisten >= 0)
            ::close(destlisten);
        destlisten = -1;
        v.stop();
        x.stop();
        if (xhold >= 0)
            ::close(xhold);
        xhold = -1;
        if (!log.empty())
            ::unlink(log.c_str());
        log.clear();
    }
    ~relay() { down(); }
};

// Counts the lines of text that start with prefix.
inline int countlines(const std::string& text, const std::string& prefix)
{
    int n = 0;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos)
            nl = text.size();
        if (text.compare(at, prefix.size(), prefix) == 0)
            ++n;
        at = nl + 1;
    }
    return n;
}

} // namespace rig
