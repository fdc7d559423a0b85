// Support for tests of the real binary, the tools and the bench: processes started and reaped
// by pid, what /proc says about them, a private Xvfb found through -displayfd, and the
// confirmation dialog found and answered on it. Every wait is bounded.
#pragma once

#include "support/net.h"

#include <initializer_list>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

// Puts this process in a network namespace of its own with loopback up, so that its ports and
// X displays (TCP and abstract Unix sockets alike) are private. Called once, before any test
// runs; false when the system does not allow it (not root).
bool isolate();
// Why a test that starts servers cannot run here ("" when it can): no private network, or one
// of progs missing.
std::string unmet(std::initializer_list<const char*> progs = {});

// A process started by a test, with its standard output and error on pipes.
struct proc {
    pid_t pid = -1;
    int out = -1; // read end of its standard output
    int err = -1; // read end of its standard error
    std::string outbuf, errbuf;
    int status = -1;
    bool reaped = false;

    proc() = default;
    proc(const proc&) = delete;
    proc& operator=(const proc&) = delete;
    ~proc() { stop(); }

    // env: extra "NAME=value" entries; "NAME=" removes NAME. keepfd survives into the process
    // under its own number. quiet: its output goes to /dev/null (nothing to read, and nothing
    // it writes can fill a pipe and stop it). False if it cannot start.
    bool start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
               int keepfd = -1, bool quiet = false);
    // Reads one line of standard output within timeout_ms; false on end of file or timeout.
    bool readline(std::string& line, int timeout_ms = 10000);
    // Collects what is available on both pipes for up to timeout_ms (less if both reach EOF).
    void drain(int timeout_ms);
    // Waits for the process to end within timeout_ms; its waitpid status, or -1 on timeout.
    int wait(int timeout_ms);
    bool running();
    // SIGTERM, then SIGKILL after a moment; always reaped.
    void stop();
};

struct cmdresult {
    int status = -1; // waitpid status, -1 on timeout (the command was killed)
    std::string out, err;
    int exitcode() const;
};

// Runs a command to its end (killed after timeout_ms).
cmdresult runcmd(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                 int timeout_ms = 20000);
bool haveprog(const std::string& name); // on PATH

// The program under test with args: the shipped build, or with standin the build whose dialog
// is a stand-in that answers as its STANDIN_* variables say; prefix runs it (prlimit, unshare,
// valgrind). An entry FAKE_* of env preloads the library that makes chosen platform calls fail.
// False if it cannot start.
bool startvk(proc& v, const std::vector<std::string>& args,
             const std::vector<std::string>& env = {}, bool standin = false,
             const std::vector<std::string>& prefix = {});
// The shipped build run to its end (killed after timeout_ms).
cmdresult runvk(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                int timeout_ms = 10000);
// The display that leads to a relay listening on port: "localhost:N" for port 6000 + N.
inline std::string through(int port)
{
    return "localhost:" + std::to_string(port - 6000);
}

// Descriptors a test opened, closed when the holder goes.
struct fdlist {
    std::vector<int> fds;
    fdlist() = default;
    fdlist(const fdlist&) = delete;
    fdlist& operator=(const fdlist&) = delete;
    ~fdlist()
    {
        for (const int fd : fds)
            ::close(fd);
    }
    // fd, kept for closing unless it is -1.
    int keep(int fd)
    {
        if (fd >= 0)
            fds.push_back(fd);
        return fd;
    }
};

// Every process that a test starts is a descendant of the test process. adoptorphans() makes
// the test process the parent of each one whose own parent ends first, so that all of them stay
// in sight; then endleftovers() reaps every child that has ended, waits up to grace_ms for the
// others to end, and kills and reaps whatever is still alive after that, descendants included.
// What it had to kill ("pid command" each); empty when the test left nothing behind.
bool adoptorphans();
std::vector<std::string> endleftovers(int grace_ms);

// What /proc says about a process.
struct procinfo {
    long rsskb = -1;   // VmRSS
    long vmkb = -1;    // VmSize: address space mapped
    int fds = -1;      // open descriptors
    int children = 0;  // live children
    int zombies = 0;   // children ended and not yet reaped
    long cputicks = 0; // utime + stime
    long sleeps = 0;   // voluntary context switches: times it blocked
};
procinfo inspect(pid_t pid);
std::string show(const procinfo& p);
std::vector<pid_t> childpids(pid_t pid); // live children, not zombies
// What descriptor fd of process pid refers to ("socket:[123]", "/dev/null"), empty if closed.
std::string fdlink(pid_t pid, int fd);
// True when process pid itself holds a listening IPv4 TCP socket on port.
bool listensipv4(pid_t pid, int port);
// How many established IPv4 TCP connections to port process pid holds.
int connectionsto(pid_t pid, int port);
// SIGKILL to the children of a process under test (dialog children outlive it otherwise).
void killchildren(pid_t pid);

// A private X server, reached as localhost:display (on TCP with "-listen tcp").
struct xserver {
    proc p;
    int display = -1;
    // Starts Xvfb -displayfd; extra arguments are appended. False when Xvfb is missing or fails.
    bool start(const std::vector<std::string>& extra = {"-listen", "tcp"});
    std::string name() const { return "localhost:" + std::to_string(display); }
    // Ends the server; the lock file and socket of a server that could not remove them itself
    // (killed) go too.
    void stop();
    ~xserver() { stop(); }
};

// The display number at the end of an announcement line ("display is host:N"), -1 if none.
int announcednumber(const std::string& line);
// Reads standard output until its end, for at most timeout_ms; whether the end came.
bool outclosed(proc& v, int timeout_ms);
// Reads the announcement of a program started by a test and waits until start-up is over
// (standard output closes once the destination has been probed). Its number, -1 on failure.
int started(proc& v, int timeout_ms = 20000);
// Whether any of ps is still running.
bool anyrunning(const std::vector<std::unique_ptr<proc>>& ps);

// Collects the process's standard error until it holds at least want bytes or timeout_ms has
// passed; all of it.
std::string errafter(proc& v, size_t want, int timeout_ms);

// The dialog windows mapped on the display, oldest first.
std::vector<std::string> alerts(const std::string& display);
// Waits for a dialog that is not among known; the newest such, or empty.
std::string findalert(const std::string& display, int timeout_ms = 15000,
                      const std::vector<std::string>& known = {});
// Answers a dialog (id, or the newest one found within timeout_ms) and keeps answering until
// its window is gone: "Yes" by a click on the left-hand button, "No" by Escape. A dialog may
// take no answer for a moment after it shows; until then the answer is given again every
// 150 ms, for at most 15 s. False when no dialog was found or it stayed.
bool answeralert(const std::string& display, bool yes, int timeout_ms = 15000, std::string id = {});
// Answers every dialog that shows until done() holds or timeout_ms has passed; done().
bool answeruntil(const std::string& display, bool yes, const std::function<bool()>& done,
                 int timeout_ms = 60000);
