// The bench driver: one private X server, every path to it side by side, the paths taken in a
// new order each round so that drift of a shared machine falls on all of them alike.
//
// Paths: DIRECT (straight to the server), SOCAT and SOCAT-nodelay (socat forking per
// connection, without and with TCP_NODELAY), VELKORAN (the real binary, every connection's
// question answered through the dialog), VELKORAN-nagle (the same binary with a preloaded shim
// that drops its TCP_NODELAY requests: the relay as it was before it set them), MINLOOP (the
// floor: a bare select loop of velkoran's shape). --also NAME=BINARY adds another velkoran.
// --quick adds CHECK-corrupt, the bare loop flipping one bit of what the server sends: the run
// fails unless exactly one wrong pixel is found there, so the comparison itself is checked.
//
// Workloads: round trips, pipelined upload, download checked pixel for pixel (bench/xload),
// and a few x11perf tests. The relay's CPU time comes from /proc/PID/stat, read at the edges
// of every timed phase. Writes JSON and a plot table; prints a table and the targets.
#include "support/xtest.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

namespace
{

struct options {
    bool quick = false;
    int rounds = 4;
    int xrounds = 2;
    bool x11perf = true;
    int settle = 0; // seconds between the relays' start and the first round, for profilers
    std::string velkoran, tools, out, dat;
    std::vector<std::pair<std::string, std::string>> also;
    std::vector<std::string> only; // path names; empty for all
};

// One x11perf test, and whether the relays without a Nagle question need it.
const std::vector<std::string> X11TESTS = {"noop", "rect10", "putimage500", "prop", "getimage500"};
// With Nagle's algorithm only the replies longer than one relay write are at stake.
const std::vector<std::string> NAGLETESTS = {"prop", "getimage500"};

struct series {
    std::vector<double> v;
    double median() const
    {
        if (v.empty())
            return NAN;
        auto s = v;
        std::sort(s.begin(), s.end());
        const size_t n = s.size();
        return n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
    }
};

struct cpuacct {
    long ticks = 0;
    double units = 0; // bytes or round trips moved while those ticks were spent
};

struct path {
    std::string name;
    std::string kind; // direct, socat, velkoran, minloop, corrupt
    std::unique_ptr<proc> p;
    int display = -1;
    bool asks = false;
    std::vector<std::string> x11tests;
    std::map<std::string, series> m; // metric -> one value per round
    cpuacct cpurtt, cpuput, cpuget;
    long badpixels = 0, images = 0, xerrors = 0, failures = 0;
    std::vector<std::string> problems;
};

// Every process the driver started and has not yet reaped, for the signal handler: a bench
// stopped by a signal leaves nothing behind.
pid_t owned[64];

void own(pid_t pid)
{
    for (auto& o : owned)
        if (o == 0) {
            o = pid;
            return;
        }
}

void disown(pid_t pid)
{
    for (auto& o : owned)
        if (o == pid)
            o = 0;
}

void onsignal(int)
{
    for (pid_t o : owned)
        if (o > 0)
            ::kill(o, SIGKILL);
    ::_exit(1);
}

std::string readfile(const std::string& name)
{
    std::ifstream f(name);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<std::string> words(const std::string& s)
{
    std::istringstream in(s);
    std::vector<std::string> w;
    for (std::string x; in >> x;)
        w.push_back(x);
    return w;
}

// utime + stime of one process, in clock ticks; -1 when it is gone.
long pidticks(pid_t pid)
{
    const std::string s = readfile("/proc/" + std::to_string(pid) + "/stat");
    const auto rp = s.rfind(')');
    if (rp == std::string::npos)
        return -1;
    std::istringstream in(s.substr(rp + 2));
    std::string f;
    long ut = 0, st = 0;
    for (int i = 3; i <= 15 && in >> f; ++i) {
        if (i == 14)
            ut = std::atol(f.c_str());
        if (i == 15)
            st = std::atol(f.c_str());
    }
    return ut + st;
}

// The relay's CPU time: the process itself and, for socat, the child serving the connection.
long relayticks(const path& r)
{
    if (r.kind == "direct" || !r.p)
        return 0;
    const pid_t pid = r.p->pid;
    long t = pidticks(pid);
    std::istringstream kids(
        readfile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
    for (long k; kids >> k;) {
        const long c = pidticks(static_cast<pid_t>(k));
        if (c > 0)
            t += c;
    }
    return t;
}

bool portfree(int display)
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(static_cast<uint16_t>(6000 + display));
    const bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

// Waits (bounded) until something listens on 6000 + display.
bool listening(int display, const proc& p)
{
    for (int i = 0; i < 100; ++i) {
        if (!portfree(display))
            return true;
        if (p.reaped)
            return false;
        sleepms(50);
    }
    return false;
}

bool startsocat(path& r, int xdisplay, bool nd)
{
    for (int tries = 0; tries < 5; ++tries) {
        int k = 1;
        while (k <= 100 && !portfree(k))
            ++k;
        if (k > 100)
            return false;
        const std::string opt = nd ? ",nodelay" : "";
        r.p = std::make_unique<proc>();
        if (!r.p->start({"socat",
                         "TCP-LISTEN:" + std::to_string(6000 + k) + ",reuseaddr,fork" + opt,
                         "TCP:127.0.0.1:" + std::to_string(6000 + xdisplay) + opt}))
            return false;
        if (listening(k, *r.p) && listensipv4(r.p->pid, 6000 + k)) {
            r.display = k;
            return true;
        }
        r.p->stop(); // another process took the port first: try the next one
    }
    return false;
}

bool startvelkoran(path& r, const std::string& bin, const std::string& xname,
                   const std::vector<std::string>& env)
{
    r.p = std::make_unique<proc>();
    if (!r.p->start({bin, "-display", xname, "-allow", "localhost"}, env))
        return false;
    std::string line;
    if (!r.p->readline(line, 15000))
        return false;
    r.display = announcednumber(line);
    return r.display >= 0;
}

// A byte well inside the first downloaded images of a quick run, after the setup and the
// round trip replies, before the end of the download.
constexpr long FLIPAT = 300000;

bool startminloop(path& r, const std::string& bin, int xdisplay)
{
    std::vector<std::string> argv = {bin, std::to_string(xdisplay)};
    if (r.kind == "corrupt")
        argv.push_back(std::to_string(FLIPAT));
    r.p = std::make_unique<proc>();
    if (!r.p->start(argv))
        return false;
    std::string line;
    if (!r.p->readline(line, 15000))
        return false;
    r.display = std::atoi(line.c_str());
    return true;
}

void stoppath(path& r)
{
    if (!r.p)
        return;
    for (pid_t c : childpids(r.p->pid))
        if (r.kind == "socat")
            ::kill(c, SIGTERM);
    r.p->stop();
}

void fail(path& r, const std::string& why)
{
    ++r.failures;
    r.problems.push_back(why);
    std::fprintf(stderr, "bench: %s: %s\n", r.name.c_str(), why.c_str());
}

// Answers "Yes"; the answer is given again while the dialog stays (a slow one, under a
// profiler, may not take it at first).
bool answer(const std::string& xname)
{
    return answeralert(xname, true, 20000);
}

// A client of one measurement through path r: known to the signal handler (stopped with the
// bench) while it runs, its dialog answered when r asks.
struct phaseclient {
    proc c;
    ~phaseclient()
    {
        if (c.pid > 0)
            disown(c.pid);
    }
    bool start(path& r, const std::vector<std::string>& argv, const std::string& xname)
    {
        const std::string name = argv[0].substr(argv[0].rfind('/') + 1);
        if (!c.start(argv, {"DISPLAY=localhost:" + std::to_string(r.display)})) {
            fail(r, name + " does not start");
            return false;
        }
        own(c.pid);
        if (r.asks && !answer(xname)) {
            fail(r, "no dialog to answer for " + name);
            return false;
        }
        return true;
    }
};

// One xload connection through r: three phases, each timed by the client and bracketed by
// reads of the relay's CPU time.
void runxload(path& r, const options& o, const std::string& xname)
{
    std::vector<std::string> argv = {o.tools + "/xload"};
    if (o.quick)
        argv.insert(argv.end(), {"-rtt", "200", "-size", "256", "-images", "4", "-gets", "1"});
    phaseclient pc;
    if (!pc.start(r, argv, xname))
        return;
    proc& c = pc.c;
    for (const std::string phase : {"rtt", "put", "get"}) {
        std::string line;
        if (!c.readline(line, 60000) || line != "ready " + phase + "\n") {
            c.drain(500);
            fail(r, "xload did not reach phase " + phase + ": " + line + c.errbuf);
            return;
        }
        const long t0 = relayticks(r);
        ::kill(c.pid, SIGUSR1);
        if (!c.readline(line, 120000)) {
            fail(r, "xload gave no result for " + phase);
            return;
        }
        const long dt = relayticks(r) - t0;
        const auto w = words(line);
        if (phase == "rtt" && w.size() == 5 && w[0] == "rtt") {
            r.m["rtt_median_us"].v.push_back(std::atof(w[2].c_str()));
            r.m["rtt_p99_us"].v.push_back(std::atof(w[3].c_str()));
            r.cpurtt.ticks += dt;
            r.cpurtt.units += std::atof(w[1].c_str());
        } else if (phase == "put" && w.size() == 3 && w[0] == "put") {
            const double bytes = std::atof(w[1].c_str());
            r.m["put_MBps"].v.push_back(bytes / 1e6 / std::atof(w[2].c_str()));
            r.cpuput.ticks += dt;
            r.cpuput.units += bytes;
        } else if (phase == "get" && w.size() == 5 && w[0] == "get") {
            const double bytes = std::atof(w[1].c_str());
            r.m["get_MBps"].v.push_back(bytes / 1e6 / std::atof(w[2].c_str()));
            r.cpuget.ticks += dt;
            r.cpuget.units += bytes;
            r.badpixels += std::atol(w[3].c_str());
            r.images += std::atol(w[4].c_str());
        } else {
            fail(r, "unexpected line from xload: " + line);
            return;
        }
    }
    std::string line;
    if (c.readline(line, 30000) && line.rfind("done ", 0) == 0)
        r.xerrors += std::atol(line.c_str() + 5);
    else
        fail(r, "xload did not finish");
    const int want = r.kind == "corrupt" ? 1 : 0; // the wrong pixel is its failure
    if (c.wait(30000) == -1 || !WIFEXITED(c.status) || WEXITSTATUS(c.status) != want)
        fail(r, "xload failed: " + c.errbuf);
}

void runx11perf(path& r, const std::string& test, const std::string& xname)
{
    phaseclient pc;
    if (!pc.start(r, {"x11perf", "-repeat", "1", "-time", "1", "-" + test}, xname))
        return;
    proc& c = pc.c;
    // x11perf -time 1 ends within seconds, calibration included; a path that needs more is
    // stuck (seen with socat without nodelay) and is reported rather than waited for.
    if (c.wait(90000) == -1) {
        fail(r, "x11perf -" + test + " did not finish");
        return;
    }
    // "   20000 reps @   0.0730 msec ( 13700.0/sec): GetProperty"
    const auto end = c.outbuf.rfind("/sec)");
    const auto open = end == std::string::npos ? end : c.outbuf.rfind('(', end);
    if (open == std::string::npos) {
        fail(r, "no rate from x11perf -" + test + ": " + c.errbuf);
        return;
    }
    r.m["x11perf_" + test].v.push_back(std::atof(c.outbuf.c_str() + open + 1));
}

// Every metric with its direction: rates are better high, latencies better low.
struct metric {
    std::string key, label;
    bool higher;
};
const std::vector<metric> METRICS = {
    {"rtt_median_us", "round trip median (us)", false},
    {"rtt_p99_us", "round trip p99 (us)", false},
    {"put_MBps", "upload XPutImage (MB/s)", true},
    {"get_MBps", "download XGetImage (MB/s)", true},
    {"x11perf_noop", "x11perf -noop (/s)", true},
    {"x11perf_rect10", "x11perf -rect10 (/s)", true},
    {"x11perf_putimage500", "x11perf -putimage500 (/s)", true},
    {"x11perf_prop", "x11perf -prop (/s)", true},
    {"x11perf_getimage500", "x11perf -getimage500 (/s)", true},
};

// Relative speed against DIRECT: above 1 faster, below 1 slower, for every metric alike.
double relspeed(const metric& m, double v, double direct)
{
    if (std::isnan(v) || std::isnan(direct) || v <= 0 || direct <= 0)
        return NAN;
    return m.higher ? v / direct : direct / v;
}

double tickus()
{
    return 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU time per unit in us, times scale: 1 for us per round trip, 1e3 for ms per MB (1e6 bytes).
double cpuper(const cpuacct& a, double scale)
{
    if (a.units <= 0)
        return NAN;
    return static_cast<double>(a.ticks) * tickus() / a.units * scale;
}

std::string num(double v)
{
    if (std::isnan(v))
        return "null";
    char b[64];
    std::snprintf(b, sizeof b, "%.6g", v);
    return b;
}

std::string jstr(const std::string& s)
{
    std::string o = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            o += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            o += ' ';
            continue;
        }
        o += c;
    }
    return o + "\"";
}

std::string loadavg()
{
    std::string s = readfile("/proc/loadavg");
    while (!s.empty() && s.back() == '\n')
        s.pop_back();
    return s;
}

path* find(std::vector<path>& ps, const std::string& name)
{
    for (auto& p : ps)
        if (p.name == name)
            return &p;
    return nullptr;
}

struct target {
    std::string what;
    double value, bound;
    bool met;
};

std::vector<target> targets(std::vector<path>& ps)
{
    std::vector<target> t;
    path* v = find(ps, "VELKORAN");
    path* snd = find(ps, "SOCAT-nodelay");
    path* so = find(ps, "SOCAT");
    path* ml = find(ps, "MINLOOP");
    if (v == nullptr)
        return t;
    auto add = [&](const std::string& what, double value, double bound, bool higher) {
        if (std::isnan(value) || std::isnan(bound))
            return;
        t.push_back({what, value, bound, higher ? value >= bound : value <= bound});
    };
    if (snd != nullptr) {
        add("round trip median <= 1.10 x SOCAT-nodelay's (us)", v->m["rtt_median_us"].median(),
            1.10 * snd->m["rtt_median_us"].median(), false);
        add("x11perf -prop >= 0.80 x SOCAT-nodelay's (/s)", v->m["x11perf_prop"].median(),
            0.80 * snd->m["x11perf_prop"].median(), true);
        add("x11perf -getimage500 >= 0.80 x SOCAT-nodelay's (/s)",
            v->m["x11perf_getimage500"].median(), 0.80 * snd->m["x11perf_getimage500"].median(),
            true);
    }
    if (so != nullptr)
        add("round trip median <= SOCAT's (us)", v->m["rtt_median_us"].median(),
            so->m["rtt_median_us"].median(), false);
    if (ml != nullptr) {
        add("upload >= 0.90 x MINLOOP's (MB/s)", v->m["put_MBps"].median(),
            0.90 * ml->m["put_MBps"].median(), true);
        add("download >= 0.90 x MINLOOP's (MB/s)", v->m["get_MBps"].median(),
            0.90 * ml->m["get_MBps"].median(), true);
        add("x11perf -getimage500 >= 0.90 x MINLOOP's (/s)", v->m["x11perf_getimage500"].median(),
            0.90 * ml->m["x11perf_getimage500"].median(), true);
        cpuacct vb{v->cpuput.ticks + v->cpuget.ticks, v->cpuput.units + v->cpuget.units};
        cpuacct mb{ml->cpuput.ticks + ml->cpuget.ticks, ml->cpuput.units + ml->cpuget.units};
        add("relay CPU per MB (upload+download) <= 1.15 x MINLOOP's (ms/MB)", cpuper(vb, 1e3),
            1.15 * cpuper(mb, 1e3), false);
    }
    return t;
}

void usage()
{
    std::fprintf(stderr,
                 "usage: driver --velkoran BIN --tools DIR --out FILE.json [--dat FILE] [--quick]\n"
                 "              [--rounds N] [--x11perf-rounds N] [--no-x11perf] [--settle S]\n"
                 "              [--paths A,B,...] [--also NAME=BIN]...\n");
    std::exit(2);
}

options parse(int argc, char** argv)
{
    options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc)
                usage();
            return argv[++i];
        };
        if (a == "--quick") {
            o.quick = true;
        } else if (a == "--rounds") {
            o.rounds = std::clamp(std::atoi(next().c_str()), 1, 50);
        } else if (a == "--x11perf-rounds") {
            o.xrounds = std::clamp(std::atoi(next().c_str()), 1, 20);
        } else if (a == "--settle") {
            o.settle = std::clamp(std::atoi(next().c_str()), 0, 60);
        } else if (a == "--no-x11perf") {
            o.x11perf = false;
        } else if (a == "--velkoran") {
            o.velkoran = next();
        } else if (a == "--tools") {
            o.tools = next();
        } else if (a == "--out") {
            o.out = next();
        } else if (a == "--dat") {
            o.dat = next();
        } else if (a == "--paths") {
            std::stringstream s(next());
            for (std::string x; std::getline(s, x, ',');)
                o.only.push_back(x);
        } else if (a == "--also") {
            const std::string v = next();
            const auto eq = v.find('=');
            if (eq == std::string::npos || eq == 0)
                usage();
            o.also.emplace_back(v.substr(0, eq), v.substr(eq + 1));
        } else {
            usage();
        }
    }
    if (o.velkoran.empty() || o.tools.empty() || o.out.empty())
        usage();
    if (o.quick) {
        o.rounds = 1;
        o.x11perf = false;
    }
    return o;
}

} // namespace

int main(int argc, char** argv)
{
    const options o = parse(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        std::signal(sig, onsignal);
    const long started = nowms();
    const std::string loadstart = loadavg();

    // A server that did not get the IPv4 port of its display is kept running until one that
    // did is found, so that the next one takes another display number.
    std::vector<std::unique_ptr<xserver>> tries;
    std::unique_ptr<xserver> xs;
    for (int i = 0; i < 16 && !xs; ++i) {
        auto t = std::make_unique<xserver>();
        if (!t->start({"-listen", "tcp"}))
            break;
        own(t->p.pid);
        if (listensipv4(t->p.pid, 6000 + t->display))
            xs = std::move(t);
        else
            tries.push_back(std::move(t));
    }
    for (auto& t : tries) {
        t->stop();
        disown(t->p.pid);
    }
    if (!xs) {
        std::fprintf(stderr, "bench: Xvfb does not start with a TCP port of its own\n");
        return 1;
    }
    xserver& x = *xs;
    const std::string xname = x.name();

    std::vector<path> ps;
    auto want = [&](const std::string& n) {
        return o.only.empty() || std::find(o.only.begin(), o.only.end(), n) != o.only.end();
    };
    auto add = [&](const std::string& name, const std::string& kind, bool asks,
                   const std::vector<std::string>& tests) {
        if (!want(name))
            return;
        path p;
        p.name = name;
        p.kind = kind;
        p.asks = asks;
        p.x11tests = tests;
        ps.push_back(std::move(p));
    };
    add("DIRECT", "direct", false, X11TESTS);
    add("SOCAT", "socat", false, X11TESTS);
    add("SOCAT-nodelay", "socat", false, X11TESTS);
    add("VELKORAN", "velkoran", true, X11TESTS);
    add("VELKORAN-nagle", "velkoran", true, NAGLETESTS);
    for (const auto& [name, bin] : o.also)
        add(name, "velkoran", true, X11TESTS);
    // The floor of the design for replies larger than one move, beside the relays above.
    add("MINLOOP", "minloop", false, NAGLETESTS);
    if (o.quick)
        add("CHECK-corrupt", "corrupt", false, {});

    bool ok = true;
    for (auto& r : ps) {
        bool up = true;
        if (r.kind == "direct") {
            r.display = x.display;
        } else if (r.kind == "socat") {
            up = startsocat(r, x.display, r.name == "SOCAT-nodelay");
        } else if (r.kind == "minloop" || r.kind == "corrupt") {
            up = startminloop(r, o.tools + "/minloop", x.display);
        } else {
            std::string bin = o.velkoran;
            std::vector<std::string> env;
            for (const auto& [name, b] : o.also)
                if (name == r.name)
                    bin = b;
            if (r.name == "VELKORAN-nagle")
                env.push_back("LD_PRELOAD=" + o.tools + "/nagle.so");
            up = startvelkoran(r, bin, xname, env);
        }
        if (!up) {
            std::fprintf(stderr, "bench: %s does not start\n", r.name.c_str());
            ok = false;
            break;
        }
        if (r.p)
            own(r.p->pid);
        std::fprintf(stderr, "bench: %-15s on localhost:%d\n", r.name.c_str(), r.display);
    }

    if (ok && o.settle > 0) {
        std::fprintf(stderr, "bench: relays up, first round in %d s\n", o.settle);
        sleepms(o.settle * 1000);
    }
    const size_t np = ps.size();
    for (int round = 0; ok && round < o.rounds; ++round) {
        std::fprintf(stderr, "bench: round %d of %d:", round + 1, o.rounds);
        for (size_t i = 0; i < np; ++i) {
            path& r = ps[(i + static_cast<size_t>(round)) % np];
            std::fprintf(stderr, " %s", r.name.c_str());
            runxload(r, o, xname);
        }
        std::fprintf(stderr, "\n");
    }
    for (int round = 0; ok && o.x11perf && round < o.xrounds; ++round) {
        for (const auto& test : X11TESTS) {
            std::vector<path*> on;
            for (auto& r : ps)
                if (std::find(r.x11tests.begin(), r.x11tests.end(), test) != r.x11tests.end())
                    on.push_back(&r);
            std::fprintf(stderr, "bench: x11perf round %d of %d, -%s:", round + 1, o.xrounds,
                         test.c_str());
            for (size_t i = 0; i < on.size(); ++i) {
                path& r = *on[(i + static_cast<size_t>(round)) % on.size()];
                std::fprintf(stderr, " %s", r.name.c_str());
                runx11perf(r, test, xname);
            }
            std::fprintf(stderr, "\n");
        }
    }
    for (auto& r : ps)
        stoppath(r);
    x.stop();
    const std::string loadend = loadavg();
    const double seconds = static_cast<double>(nowms() - started) / 1000;

    // The table: median per path, relative speed against DIRECT in brackets.
    path* direct = find(ps, "DIRECT");
    std::printf("\n%-28s", "median of rounds");
    for (auto& r : ps)
        std::printf(" %16s", r.name.c_str());
    std::printf("\n");
    for (const auto& mt : METRICS) {
        bool any = false;
        for (auto& r : ps)
            any = any || !r.m[mt.key].v.empty();
        if (!any)
            continue;
        std::printf("%-28s", mt.label.c_str());
        const double d = direct ? direct->m[mt.key].median() : NAN;
        for (auto& r : ps) {
            const double v = r.m[mt.key].median();
            char cell[64];
            if (std::isnan(v))
                std::snprintf(cell, sizeof cell, "-");
            else if (&r == direct || std::isnan(relspeed(mt, v, d)))
                std::snprintf(cell, sizeof cell, "%.5g", v);
            else
                std::snprintf(cell, sizeof cell, "%.5g (%.2f)", v, relspeed(mt, v, d));
            std::printf(" %16s", cell);
        }
        std::printf("\n");
    }
    const struct {
        const char* label;
        cpuacct path::*acct;
        double scale;
    } cpurows[] = {{"relay CPU per round trip (us)", &path::cpurtt, 1.0},
                   {"relay CPU per MB upload (ms)", &path::cpuput, 1e3},
                   {"relay CPU per MB download (ms)", &path::cpuget, 1e3}};
    for (const auto& row : cpurows) {
        std::printf("%-28s", row.label);
        for (auto& r : ps) {
            const double v = r.kind == "direct" ? NAN : cpuper(r.*row.acct, row.scale);
            char cell[32] = "-";
            if (!std::isnan(v))
                std::snprintf(cell, sizeof cell, "%.4g", v);
            std::printf(" %16s", cell);
        }
        std::printf("\n");
    }
    std::printf("%-28s", "pixels wrong / images");
    for (auto& r : ps) {
        char cell[48];
        std::snprintf(cell, sizeof cell, "%ld/%ld", r.badpixels, r.images);
        std::printf(" %16s", cell);
    }
    std::printf("\n(relative speed against DIRECT in brackets: above 1 faster, below 1 slower)\n");

    const auto tg = o.quick ? std::vector<target>{} : targets(ps);
    if (!tg.empty()) {
        std::printf("\ntargets (VELKORAN):\n");
        for (const auto& t : tg)
            std::printf("  %-6s %-66s %.4g against %.4g\n", t.met ? "met" : "MISSED",
                        t.what.c_str(), t.value, t.bound);
    }

    // Every path must have run every round and delivered every pixel as sent.
    for (auto& r : ps) {
        const size_t want = static_cast<size_t>(o.rounds);
        const long wrong = r.kind == "corrupt" ? 1 : 0;
        if (r.failures > 0 || r.badpixels != wrong || r.xerrors > 0 || r.images == 0 ||
            r.m["get_MBps"].v.size() != want) {
            std::fprintf(stderr, "bench: %s: %ld failures, %ld wrong pixels (%ld expected)\n",
                         r.name.c_str(), r.failures, r.badpixels, wrong);
            ok = false;
        }
    }

    std::ofstream j(o.out);
    utsname u{};
    uname(&u);
    char when[64];
    const time_t tnow = time(nullptr);
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", gmtime(&tnow));
    j << "{\n  \"when\": " << jstr(when)
      << ",\n  \"machine\": " << jstr(std::string(u.sysname) + " " + u.release + " " + u.machine)
      << ",\n  \"cpus\": " << sysconf(_SC_NPROCESSORS_ONLN)
      << ",\n  \"quick\": " << (o.quick ? "true" : "false") << ",\n  \"rounds\": " << o.rounds
      << ",\n  \"x11perf_rounds\": " << (o.x11perf ? o.xrounds : 0)
      << ",\n  \"seconds\": " << num(seconds) << ",\n  \"loadavg_start\": " << jstr(loadstart)
      << ",\n  \"loadavg_end\": " << jstr(loadend)
      << ",\n  \"clock_ticks_per_s\": " << sysconf(_SC_CLK_TCK)
      << ",\n  \"ok\": " << (ok ? "true" : "false") << ",\n  \"paths\": {\n";
    for (size_t i = 0; i < np; ++i) {
        path& r = ps[i];
        j << "    " << jstr(r.name) << ": {\n";
        for (const auto& mt : METRICS) {
            const auto& s = r.m[mt.key];
            if (s.v.empty())
                continue;
            const double d = direct ? direct->m[mt.key].median() : NAN;
            j << "      " << jstr(mt.key) << ": {\"median\": " << num(s.median())
              << ", \"vs_direct\": " << num(relspeed(mt, s.median(), d)) << ", \"rounds\": [";
            for (size_t k = 0; k < s.v.size(); ++k)
                j << (k ? ", " : "") << num(s.v[k]);
            j << "]},\n";
        }
        if (r.kind != "direct") {
            j << "      \"cpu_us_per_round_trip\": " << num(cpuper(r.cpurtt, 1.0))
              << ",\n      \"cpu_ms_per_MB_upload\": " << num(cpuper(r.cpuput, 1e3))
              << ",\n      \"cpu_ms_per_MB_download\": " << num(cpuper(r.cpuget, 1e3))
              << ",\n      \"cpu_ticks\": {\"rtt\": " << r.cpurtt.ticks
              << ", \"upload\": " << r.cpuput.ticks << ", \"download\": " << r.cpuget.ticks
              << "},\n";
        }
        j << "      \"images_checked\": " << r.images
          << ",\n      \"pixels_wrong\": " << r.badpixels << ",\n      \"x_errors\": " << r.xerrors
          << ",\n      \"failures\": " << r.failures << ",\n      \"problems\": [";
        for (size_t k = 0; k < r.problems.size(); ++k)
            j << (k ? ", " : "") << jstr(r.problems[k]);
        j << "]\n    }" << (i + 1 < np ? "," : "") << "\n";
    }
    j << "  },\n  \"targets\": [";
    for (size_t k = 0; k < tg.size(); ++k)
        j << (k ? "," : "") << "\n    {\"what\": " << jstr(tg[k].what)
          << ", \"value\": " << num(tg[k].value) << ", \"bound\": " << num(tg[k].bound)
          << ", \"met\": " << (tg[k].met ? "true" : "false") << "}";
    j << "\n  ]\n}\n";
    j.close();

    // The plot table: one row per workload, one column per relay, relative speed to DIRECT.
    if (!o.dat.empty() && direct != nullptr) {
        std::ofstream d(o.dat);
        d << "workload";
        for (auto& r : ps)
            if (&r != direct)
                d << " " << r.name;
        d << "\n";
        for (const auto& mt : METRICS) {
            if (mt.key == "rtt_p99_us")
                continue;
            std::string label = mt.key;
            if (label.rfind("x11perf_", 0) == 0)
                label = "-" + label.substr(8);
            label = label == "rtt_median_us" ? "round-trip" : label;
            label = label == "put_MBps" ? "upload" : label;
            label = label == "get_MBps" ? "download" : label;
            d << label;
            for (auto& r : ps) {
                if (&r == direct)
                    continue;
                const double v = relspeed(mt, r.m[mt.key].median(), direct->m[mt.key].median());
                d << " " << (std::isnan(v) ? "-" : num(v));
            }
            d << "\n";
        }
    }
    std::printf("\n%s in %.0f s; load average %s at the start, %s at the end\n",
                ok ? "done" : "FAILED", seconds, loadstart.c_str(), loadend.c_str());
    return ok ? 0 : 1;
}
