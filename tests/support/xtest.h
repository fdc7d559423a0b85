// Harness for tests of the real binary: processes started and reaped by pid, a private Xvfb
// found through -displayfd, bounded waits everywhere.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// A process started by a test, with its standard output and error on pipes.
struct proc {
    pid_t pid = -1;
    int out = -1; // read end of its standard output
    int err = -1; // read end of its standard error
    std::string outbuf, errbuf;

    proc() = default;
    proc(const proc&) = delete;
    proc& operator=(const proc&) = delete;
    ~proc() { stop(); }

    // env: extra "NAME=value" entries; "NAME=" removes NAME. Returns false if it cannot start.
    bool start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
    // Reads one line of standard output within timeout_ms; false on end of file or timeout.
    bool readline(std::string& line, int timeout_ms = 10000);
    // Collects what is available on both pipes for up to timeout_ms (less if both reach EOF).
    void drain(int timeout_ms);
    // Waits for the process to end within timeout_ms; its waitpid status, or -1 on timeout.
    int wait(int timeout_ms);
    bool running();
    // SIGTERM, then SIGKILL after a moment; always reaped.
    void stop();
    int status = -1;
    bool reaped = false;
};

// A private X server listening on TCP, reached as localhost:display.
struct xserver {
    proc p;
    int display = -1;
    // Starts Xvfb -displayfd; extra arguments are appended. False when Xvfb is missing or fails.
    // With "-listen tcp" the server found also holds the IPv4 port of its display.
    bool start(const std::vector<std::string>& extra = {"-listen", "tcp"});
    std::string name() const { return "localhost:" + std::to_string(display); }
    void stop() { p.stop(); }

  private:
    bool startonce(const std::vector<std::string>& extra);
};

// True when process pid itself holds a listening IPv4 TCP socket on port.
bool listensipv4(pid_t pid, int port);
// Holds display number n for this process the way a running X server does, by binding the
// abstract socket name "/tmp/.X11-unix/Xn": an X server started with -displayfd finds the
// number taken and moves on, and another test holding numbers this way skips it. Tries for
// up to tries x 5 ms (a server just stopped may hold the name a moment longer). The bound
// descriptor, to be closed to give the number back, or -1.
int holddisplay(int n, int tries = 200);

struct cmdresult {
    int status = -1; // waitpid status, -1 on timeout (the command was killed)
    std::string out, err;
    int exitcode() const;
};

// Runs a command to its end (killed after timeout_ms).
cmdresult runcmd(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                 int timeout_ms = 20000);
bool haveprog(const std::string& name); // on PATH
// The display number at the end of an announcement line ("display is host:N"), -1 if none.
int announcednumber(const std::string& line);
// Finds the dialog window on the display (bounded wait); its id, or empty.
std::string findalert(const std::string& display, int timeout_ms = 15000);
// One try at answering dialog id: a click on its left-hand button, "Yes", or Escape, "No".
// For its first second on screen the dialog takes no answer: a try may change nothing.
void answeronce(const std::string& display, const std::string& id, bool yes);
// Tries until dialog id has gone (bounded); false if it is still up.
bool answerwindow(const std::string& display, const std::string& id, bool yes,
                  int timeout_ms = 15000);
// Answers the newest dialog on the display: "Yes" (true) or "No" (false).
bool answeralert(const std::string& display, bool yes, int timeout_ms = 15000);
void sleepms(int ms);
