// Reliability campaign: each scenario starts its own Xvfb and relay, drives it, prints its
// figures and ends with "PASS name" or "FAIL name". usage: campaign SCENARIO [key=value ...]
// Binaries are found next to this one: ../velkoran, ../tests/velkoran_standin,
// ../tests/tools/ximage_roundtrip.
#include "cmdfuzz.h"
#include "load.h"
#include "rig.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>

static std::string here, velkoran, standin, ximage;
static std::map<std::string, std::string> args;

static long arg(const std::string& k, long def)
{
    const auto it = args.find(k);
    if (it == args.end())
        return def;
    char* end = nullptr;
    long v = std::strtol(it->second.c_str(), &end, 10);
    if (*end == 'K' || *end == 'k')
        v <<= 10;
    else if (*end == 'M' || *end == 'm')
        v <<= 20;
    return v;
}

static void say(const std::string& s)
{
    std::fputs(s.c_str(), stdout);
    std::fflush(stdout);
}

static bool verdict(const std::string& name, bool ok)
{
    say((ok ? "PASS " : "FAIL ") + name + "\n");
    return ok;
}

// Waits up to ms for cond, polling every 50 ms.
static bool waitfor(const std::function<bool()>& cond, int ms)
{
    for (int t = 0; t < ms; t += 50) {
        if (cond())
            return true;
        sleepms(50);
    }
    return cond();
}

static std::string indent(const std::string& text)
{
    std::string out;
    size_t at = 0;
    int lines = 0;
    while (at < text.size() && lines < 30) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos)
            nl = text.size();
        out += "    | " + text.substr(at, nl - at) + "\n";
        at = nl + 1;
        ++lines;
    }
    if (at < text.size())
        out += "    | ...\n";
    return out;
}

static load::options streamopts(const rig::relay& r)
{
    load::options o;
    o.relayport = r.port();
    o.listenfd = r.destlisten;
    o.seed = static_cast<uint64_t>(arg("seed", 1));
    o.maxchunk = static_cast<int>(arg("maxchunk", 65536));
    o.pausepct = static_cast<int>(arg("pausepct", 5));
    o.maxpausems = static_cast<int>(arg("maxpause", 20));
    o.timeoutms = static_cast<int>(arg("timeout", 900000));
    return o;
}

static bool clean(const load::result& res, int expect)
{
    return res.completed == expect && res.servedcomplete == expect && res.corrupt == 0 &&
           res.lost == 0 && res.extra == 0 && res.badheaders == 0 && !res.timedout;
}

// Many relayed connections at once, seeded streams both ways, every byte checked.
static bool scenario_load()
{
    rig::relay r;
    if (!r.up(standin, {"127.0.0.2"}))
        return verdict("load (start: " + r.why + ")", false);
    load::options o = streamopts(r);
    o.conns = static_cast<int>(arg("conns", 250));
    o.bytes = static_cast<uint64_t>(arg("bytes", 4 << 20));
    const rig::procinfo before = r.info();
    const load::result res = load::run(o);
    sleepms(500);
    const rig::procinfo after = r.info();
    say(load::summary(res));
    const double secs = static_cast<double>(res.elapsedms) / 1000.0;
    const double mb = static_cast<double>(res.upchecked + res.downchecked) / 1048576.0;
    std::printf("relayed %.1f MiB in %.1f s (%.1f MiB/s); relay CPU %.1f s\n", mb, secs, mb / secs,
                static_cast<double>(after.cputicks - before.cputicks) / 100.0);
    say("relay before: " + rig::show(before) + "\nrelay after:  " + rig::show(after) + "\n");
    const std::string err = r.ownerr();
    if (!err.empty())
        say("relay stderr:\n" + indent(err));
    return verdict("load", clean(res, o.conns) && res.peakpaired >= o.conns && r.alive() &&
                               err.empty() && after.fds == before.fds);
}

// Answers every dialog that shows up on the display, one after another, until count are done.
static int answerall(const std::string& display, int count, int timeout_ms)
{
    std::vector<std::string> done;
    const long end = load::nowms() + timeout_ms;
    while (static_cast<int>(done.size()) < count && load::nowms() < end) {
        const auto r =
            runcmd({"xdotool", "search", "--name", "alert_popup"}, {"DISPLAY=" + display}, 5000);
        std::istringstream in(r.out);
        std::string id, pick;
        while (in >> id)
            if (std::find(done.begin(), done.end(), id) == done.end())
                pick = id;
        if (pick.empty()) {
            sleepms(100);
            continue;
        }
        runcmd({"xdotool", "windowfocus", "--sync", pick, "key", "--clearmodifiers", "Return"},
               {"DISPLAY=" + display}, 5000);
        done.push_back(pick);
    }
    return static_cast<int>(done.size());
}

// Real dialogs, a real X server, real X traffic: image round trips compared byte for byte.
static bool scenario_xload()
{
    rig::relay r;
    if (!r.up(velkoran, {"localhost"}, {}, true))
        return verdict("xload (start: " + r.why + ")", false);
    const int n = static_cast<int>(arg("clients", 20));
    const std::string w = std::to_string(arg("width", 512)), h = std::to_string(arg("height", 512));
    const std::string rounds = std::to_string(arg("rounds", 8));
    std::vector<std::unique_ptr<proc>> cl;
    for (int i = 0; i < n; ++i) {
        cl.push_back(std::make_unique<proc>());
        cl.back()->start({ximage, "-display", "localhost:" + std::to_string(r.mine), "-size",
                          w + "x" + h, "-rounds", rounds, "-seed", std::to_string(i + 1)});
    }
    const long t0 = load::nowms();
    const int answered = answerall(r.x.name(), n, 120000);
    int ok = 0;
    unsigned long long put = 0, got = 0, wrong = 0;
    for (auto& c : cl) {
        c->wait(300000);
        unsigned long long p = 0, g = 0, x = 0;
        int rr = 0;
        const auto last = c->outbuf.rfind("rounds ");
        if (last != std::string::npos &&
            std::sscanf(c->outbuf.c_str() + last, "rounds %d put %llu got %llu wrong %llu", &rr, &p,
                        &g, &x) == 4) {
            put += p;
            got += g;
            wrong += x;
        }
        if (c->status == 0)
            ++ok;
        else
            say("client: " + c->outbuf + c->errbuf);
    }
    std::printf("clients %d, dialogs answered %d, byte-exact clients %d; image bytes put %llu, "
                "got back %llu, wrong %llu; %.1f s\n",
                n, answered, ok, put, got, wrong, static_cast<double>(load::nowms() - t0) / 1000.0);
    const std::string err = r.ownerr();
    if (!err.empty())
        say("relay stderr:\n" + indent(err));
    return verdict("xload", answered == n && ok == n && wrong == 0 && r.alive() && err.empty());
}

// Runs fn in a forked child; returns its pid.
static pid_t spawn(const std::function<void()>& fn)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        fn();
        ::_exit(0);
    }
    return pid;
}

static void reap(pid_t pid)
{
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

// The destination dies mid-stream; every pair goes, the relay stays, and serves again later.
static bool scenario_destkill()
{
    rig::relay r;
    if (!r.up(standin, {"127.0.0.2"}))
        return verdict("destkill (start: " + r.why + ")", false);
    const rig::procinfo base = r.info();
    load::options so = streamopts(r);
    const pid_t server = spawn([&] {
        so.serveforms = 60000;
        load::run(so);
    });
    // The killed server must take the port with it: the relay's later connects are refused.
    ::close(r.destlisten);
    r.destlisten = -1;
    sleepms(300);
    load::options co = streamopts(r);
    co.listenfd = -1;
    co.conns = static_cast<int>(arg("conns", 20));
    co.bytes = 1ULL << 30;
    co.timeoutms = 30000;
    std::atomic<long> killedat{0};
    std::thread killer([&] {
        sleepms(static_cast<int>(arg("after", 2000)));
        killedat = load::nowms();
        ::kill(server, SIGKILL);
    });
    const load::result res = load::run(co);
    const long endedat = load::nowms();
    killer.join();
    reap(server);
    const bool settled = waitfor([&] { return r.info().fds == base.fds; }, 5000);
    const rig::procinfo mid = r.info();
    std::printf("destination killed after %llu bytes up, %llu down; %d of %d clients cut "
                "(%d completed), all ended %ld ms after the kill; relay %s; %s\n",
                static_cast<unsigned long long>(res.upsent),
                static_cast<unsigned long long>(res.downchecked), res.failed, co.conns,
                res.completed, endedat - killedat.load(), r.alive() ? "alive" : "DEAD",
                rig::show(mid).c_str());
    // While the destination is away: a client is refused with a line, the relay lives on.
    const int lonely = load::connectfrom("127.0.0.2", r.port());
    char c;
    const bool closed =
        lonely >= 0 && waitfor([&] { return ::recv(lonely, &c, 1, MSG_DONTWAIT) == 0; }, 8000);
    if (lonely >= 0)
        ::close(lonely);
    // The destination is back: clients are served in full.
    r.destlisten = load::listenon(r.dport);
    load::options again = streamopts(r);
    again.conns = 10;
    again.bytes = 1 << 20;
    const load::result res2 = load::run(again);
    say("after restart: " + load::summary(res2));
    const std::string err = r.ownerr();
    say("relay stderr:\n" + indent(err));
    const bool cutall = res.completed == 0 && res.corrupt == 0 && res.failed == co.conns;
    return verdict("destkill", cutall && settled && closed && clean(res2, again.conns) &&
                                   r.alive() &&
                                   rig::countlines(err, "connect: Connection refused") == 1);
}

// The real X server is killed under real clients; later clients are served by a new
// destination on the same port.
static bool scenario_xdestkill()
{
    rig::relay r;
    if (!r.up(standin, {"localhost"}, {}, true))
        return verdict("xdestkill (start: " + r.why + ")", false);
    const rig::procinfo base = r.info();
    const int n = static_cast<int>(arg("clients", 6));
    std::vector<std::unique_ptr<proc>> cl;
    for (int i = 0; i < n; ++i) {
        cl.push_back(std::make_unique<proc>());
        cl.back()->start({ximage, "-display", "localhost:" + std::to_string(r.mine), "-size",
                          "256x256", "-rounds", "100000", "-seed", "7"});
    }
    sleepms(static_cast<int>(arg("after", 3000)));
    const pid_t xpid = r.x.p.pid;
    ::kill(xpid, SIGKILL);
    r.x.p.wait(5000);
    int ended = 0;
    for (auto& c : cl)
        if (c->wait(15000) != -1 && c->status != 0)
            ++ended;
    const bool settled = waitfor([&] { return r.info().fds <= base.fds; }, 5000);
    std::printf("X server killed under %d image clients: %d ended with an error, relay %s, %s "
                "(before: %s)\n",
                n, ended, r.alive() ? "alive" : "DEAD", rig::show(r.info()).c_str(),
                rig::show(base).c_str());
    r.destlisten = load::listenon(r.dport); // the destination is back, as a byte-stream server
    load::options o = streamopts(r);
    o.srcaddr = "127.0.0.1"; // the allowed "localhost"; never a source the resolver lacks
    o.conns = 10;
    o.bytes = 1 << 20;
    const load::result res = load::run(o);
    say("new destination on the port: " + load::summary(res));
    const std::string err = r.ownerr();
    if (!err.empty())
        say("relay stderr:\n" + indent(err));
    return verdict("xdestkill", ended == n && settled && clean(res, o.conns) && r.alive());
}

// Clients reset their connections mid-stream; the others finish intact.
static bool scenario_rst()
{
    rig::relay r;
    if (!r.up(standin, {"127.0.0.2"}))
        return verdict("rst (start: " + r.why + ")", false);
    const rig::procinfo base = r.info();
    load::options o = streamopts(r);
    o.conns = static_cast<int>(arg("conns", 30));
    o.bytes = static_cast<uint64_t>(arg("bytes", 4 << 20));
    o.rstevery = 3;
    o.rstat = o.bytes / 4;
    const load::result res = load::run(o);
    const bool settled = waitfor([&] { return r.info().fds == base.fds; }, 5000);
    say(load::summary(res));
    const std::string err = r.ownerr();
    say("relay: " + rig::show(r.info()) + "; stderr:\n" + indent(err));
    const int resets = (o.conns + 2) / 3;
    return verdict("rst", res.resets == resets && res.completed == o.conns - resets &&
                              res.servedcomplete == o.conns - resets && res.corrupt == 0 &&
                              res.lost == 0 && res.extra == 0 && settled && r.alive());
}

// A pending client's bytes reach the destination only after "Yes", never after "No".
static bool scenario_pending()
{
    bool ok = true;
    for (const int v : {7, 4}) {
        rig::relay r;
        if (!r.up(standin, {"127.0.0.2"},
                  {"STANDIN_VERDICT=" + std::to_string(v), "STANDIN_DELAY_MS=2500"}))
            return verdict("pending (start: " + r.why + ")", false);
        const int l = r.destlisten;
        load::nonblock(l);
        const int c = load::connectfrom("127.0.0.2", r.port());
        std::vector<unsigned char> sent(65536);
        load::fill(load::streamkey(9, 0, 1), 0, sent.data(), sent.size());
        const bool allsent = ::send(c, sent.data(), sent.size(), 0) == 65536;
        // Until the verdict nothing may even connect to the destination.
        int early = 0;
        const long t0 = load::nowms();
        int d = -1;
        while (load::nowms() - t0 < 6000 && d < 0) {
            d = ::accept(l, nullptr, nullptr);
            if (d >= 0 && load::nowms() - t0 < 2400)
                ++early;
            sleepms(20);
        }
        std::string got;
        if (d >= 0) {
            const long t1 = load::nowms();
            char buf[8192];
            while (got.size() < sent.size() && load::nowms() - t1 < 5000) {
                pollfd pf{d, POLLIN, 0};
                if (::poll(&pf, 1, 200) > 0) {
                    const ssize_t n = ::recv(d, buf, sizeof buf, 0);
                    if (n <= 0)
                        break;
                    got.append(buf, static_cast<size_t>(n));
                }
            }
        }
        char b;
        const ssize_t back = ::recv(c, &b, 1, MSG_DONTWAIT);
        // Closing a socket with unread input makes the system send a reset instead of a FIN.
        const bool ended = back == 0 || (back < 0 && errno == ECONNRESET);
        const bool exact =
            got.size() == sent.size() && std::memcmp(got.data(), sent.data(), sent.size()) == 0;
        if (v == 7) {
            std::printf("verdict Yes after 2.5 s: destination connections before it %d, after "
                        "it %s; bytes received %zu of %zu, byte-exact %s\n",
                        early, d >= 0 ? "1" : "0", got.size(), sent.size(), exact ? "yes" : "NO");
            ok = ok && allsent && early == 0 && d >= 0 && exact;
        } else {
            std::printf("verdict No after 2.5 s: destination connections %d, bytes received %zu, "
                        "client's connection ended with no byte: %s\n",
                        d >= 0 ? 1 : 0, got.size(),
                        back == 0 ? "yes (end of file)"
                        : ended   ? "yes (reset)"
                                  : "NO");
            ok = ok && allsent && d < 0 && ended;
        }
        if (d >= 0)
            ::close(d);
        ::close(c);
        ok = ok && r.alive();
    }
    return verdict("pending", ok);
}

// An X connection setup request, MSB-first-free: 'l' byte order, protocol 11.0, no auth.
static int xsetupclient(int port)
{
    const int c = load::connectfrom("127.0.0.1", port);
    const unsigned char setup[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    if (c >= 0 && ::send(c, setup, sizeof setup, 0) != sizeof setup) {
        ::close(c);
        return -1;
    }
    return c;
}

// What arrives on c within ms: -1 nothing, 0 end of file, else the first byte + 1.
static int firstbyte(int c, int ms)
{
    pollfd pf{c, POLLIN, 0};
    if (::poll(&pf, 1, ms) <= 0)
        return -1;
    unsigned char b = 0;
    const ssize_t n = ::recv(c, &b, 1, 0);
    return n <= 0 ? 0 : b + 1;
}

// The real dialog: closing clients, killed, stopped and resumed dialog children, and a
// pending X client whose setup is answered only after "Yes".
static bool scenario_dialog()
{
    rig::relay r;
    if (!r.up(velkoran, {"localhost"}, {}, true))
        return verdict("dialog (start: " + r.why + ")", false);
    sleepms(300);
    const rig::procinfo base = r.info();
    bool ok = true;
    auto settled = [&] {
        return waitfor(
            [&] {
                const auto i = r.info();
                return i.fds == base.fds && i.children == 0 && i.zombies == 0;
            },
            8000);
    };
    // A client that goes away while its dialog is up, then "Yes", then "No".
    for (const bool yes : {true, false}) {
        const int c = xsetupclient(r.port());
        ok = ok && !findalert(r.x.name()).empty();
        ::close(c);
        ok = ok && answeralert(r.x.name(), yes);
        const bool s = settled();
        std::printf("client closed while its dialog was up, then %s: relay settled %s\n",
                    yes ? "Yes" : "No", s ? "yes" : "NO");
        ok = ok && s;
    }
    // A dialog child killed.
    {
        const int c = xsetupclient(r.port());
        ok = ok && !findalert(r.x.name()).empty();
        const auto kids = rig::childrenof(r.v.pid);
        for (const pid_t k : kids)
            ::kill(k, SIGKILL);
        const int fb = firstbyte(c, 8000);
        const bool s = settled();
        std::printf("dialog child killed (%zu): client sees %s, relay settled %s\n", kids.size(),
                    fb == 0 ? "end of file, no byte" : "SOMETHING ELSE", s ? "yes" : "NO");
        ok = ok && kids.size() == 1 && fb == 0 && s;
        ::close(c);
    }
    // A dialog child stopped, resumed, answered; its client's setup is answered only then.
    {
        const int c = xsetupclient(r.port());
        ok = ok && !findalert(r.x.name()).empty();
        const auto kids = rig::childrenof(r.v.pid);
        for (const pid_t k : kids)
            ::kill(k, SIGSTOP);
        const int during = firstbyte(c, 4000);
        const bool stillpending = rig::childrenof(r.v.pid).size() == 1;
        for (const pid_t k : kids)
            ::kill(k, SIGCONT);
        const bool answered = answeralert(r.x.name(), true);
        const int fb = firstbyte(c, 10000);
        std::printf("dialog child stopped 4 s (client got %s meanwhile, child kept: %s), "
                    "resumed and answered Yes: first reply byte %d (1 = X setup success)\n",
                    during == -1 ? "nothing" : "SOMETHING", stillpending ? "yes" : "NO", fb - 1);
        ok = ok && kids.size() == 1 && during == -1 && stillpending && answered && fb == 2;
        ::close(c);
    }
    // Pending X client: nothing before "No" and end of file after it; nothing before "Yes"
    // and the server's setup reply after it.
    for (const bool yes : {false, true}) {
        const int c = xsetupclient(r.port());
        ok = ok && !findalert(r.x.name()).empty();
        const int before = firstbyte(c, 3000);
        ok = ok && answeralert(r.x.name(), yes);
        const int after = firstbyte(c, 10000);
        std::printf("pending X client, answer %s: before the answer %s, after it %s\n",
                    yes ? "Yes" : "No", before == -1 ? "nothing" : "SOMETHING",
                    after == 0 ? "end of file"
                               : ("first byte " + std::to_string(after - 1)).c_str());
        ok = ok && before == -1 && (yes ? after == 2 : after == 0);
        ::close(c);
    }
    const bool s = settled();
    const std::string err = r.ownerr();
    say("relay: " + rig::show(r.info()) + "; stderr:\n" + indent(err));
    // Clients that hang up on unread replies make the relay's reads fail with a reset.
    const int resets = rig::countlines(err, "fd ");
    return verdict("dialog", ok && s && r.alive() &&
                                 rig::countlines(err, "child died abnormally\n") == 1 &&
                                 rig::countlines(err, "") == 1 + resets);
}

// A client that never reads while the destination pushes 100 MB at it.
static bool scenario_stall()
{
    rig::relay r;
    if (!r.up(standin, {"127.0.0.2"}))
        return verdict("stall (start: " + r.why + ")", false);
    load::options o = streamopts(r);
    o.conns = 3; // client 0 never reads; 1 and 2 move the same amount meanwhile
    o.noreadevery = 3;
    o.bytes = static_cast<uint64_t>(arg("bytes", 100 << 20));
    o.lingerms = static_cast<int>(arg("linger", 10000));
    o.barrier = false;
    struct sample {
        long t;
        rig::procinfo p;
    };
    std::vector<sample> samples;
    std::atomic<bool> stop{false};
    const long t0 = load::nowms();
    std::thread sampler([&] {
        while (!stop) {
            samples.push_back({load::nowms() - t0, r.info()});
            sleepms(500);
        }
    });
    const load::result res = load::run(o);
    stop = true;
    sampler.join();
    say(load::summary(res));
    if (arg("verbose", 0) != 0)
        for (const auto& s : samples)
            std::printf("  %6ld ms  cpu %ld ticks  %s\n", s.t, s.p.cputicks,
                        rig::show(s.p).c_str());
    long maxrss = 0;
    for (const auto& s : samples)
        maxrss = std::max(maxrss, s.p.rsskb);
    // CPU while only the stalled connection is left: the last linger period.
    const long stallfrom = res.elapsedms - o.lingerms + 1000;
    const sample* a = nullptr;
    const sample* b = nullptr;
    for (const auto& s : samples) {
        if (a == nullptr && s.t >= stallfrom)
            a = &s;
        b = &s;
    }
    double cpu = -1;
    if (a != nullptr && b != nullptr && b->t > a->t)
        cpu = 100.0 * static_cast<double>(b->p.cputicks - a->p.cputicks) /
              (static_cast<double>(b->t - a->t) / 10.0);
    const uint64_t stalledsent = res.downsent - 2 * o.bytes;
    std::printf("stalled client: destination got %llu of %llu bytes out before blocking; relay "
                "RSS first %ld kB, max %ld kB; relay CPU while stalled %.1f%% over %.1f s\n",
                static_cast<unsigned long long>(stalledsent),
                static_cast<unsigned long long>(o.bytes),
                samples.empty() ? -1 : samples.front().p.rsskb, maxrss, cpu,
                a != nullptr && b != nullptr ? static_cast<double>(b->t - a->t) / 1000.0 : 0.0);
    const std::string err = r.ownerr();
    if (!err.empty())
        say("relay stderr:\n" + indent(err));
    return verdict("stall", res.completed == 3 && res.corrupt == 0 && res.lost == 0 &&
                                maxrss < samples.front().p.rsskb + 4096 && cpu >= 0 && cpu < 10.0 &&
                                r.alive());
}

// Connections from a host not on the allow list: refused, no child, no byte; allowed
// clients are served meanwhile.
static bool scenario_flood()
{
    rig::relay r;
    if (!r.up(standin, {"127.0.0.2"}))
        return verdict("flood (start: " + r.why + ")", false);
    const int n = static_cast<int>(arg("conns", 2000));
    bool ok = true;
    for (const bool withload : {false, true}) {
        int fds[2];
        if (::pipe(fds) != 0)
            return verdict("flood (pipe)", false);
        const pid_t flooder = spawn([&] {
            int eofs = 0, bytes = 0, failed = 0;
            for (int i = 0; i < n; ++i) {
                const int c = load::connectfrom("127.0.0.1", r.port());
                if (c < 0) {
                    ++failed;
                    continue;
                }
                pollfd pf{c, POLLIN, 0};
                char buf[64];
                if (::poll(&pf, 1, 5000) > 0) {
                    const ssize_t k = ::recv(c, buf, sizeof buf, 0);
                    if (k == 0)
                        ++eofs;
                    else if (k > 0)
                        bytes += static_cast<int>(k);
                }
                ::close(c);
            }
            const int out[3] = {eofs, bytes, failed};
            (void)!::write(fds[1], out, sizeof out);
        });
        ::close(fds[1]);
        std::atomic<bool> stop{false};
        int maxkids = 0;
        std::thread sampler([&] {
            while (!stop) {
                maxkids = std::max(maxkids, r.info().children);
                sleepms(20);
            }
        });
        load::result res;
        if (withload) {
            load::options o = streamopts(r);
            o.conns = 10;
            o.bytes = 4 << 20;
            res = load::run(o);
        }
        int out[3] = {-1, -1, -1};
        (void)!::read(fds[0], out, sizeof out);
        ::close(fds[0]);
        ::waitpid(flooder, nullptr, 0);
        stop = true;
        sampler.join();
        const std::string err = r.err();
        const int lines = rig::countlines(err, "bad host connect from localhost (127.0.0.1)");
        if (withload) {
            say(load::summary(res));
            std::printf("flood of %d refused connections during the load above: refused lines %d "
                        "in all, ends seen %d, bytes to refused clients %d\n",
                        n, lines, out[0], out[1]);
            ok = ok && clean(res, 10) && lines >= 2 * n && out[0] == n && out[1] == 0;
        } else {
            std::printf("flood of %d connections from 127.0.0.1: refused lines %d, end of file "
                        "without a byte %d, bytes received %d, connect failures %d, most "
                        "children at once %d\n",
                        n, lines, out[0], out[1], out[2], maxkids);
            ok = ok && lines >= n && out[0] == n && out[1] == 0 && maxkids == 0;
        }
        ok = ok && r.alive();
    }
    const std::string err = r.err();
    const bool onlyrefusals =
        rig::countlines(err, "bad host connect from localhost (127.0.0.1)\n") ==
        rig::countlines(err, "");
    return verdict("flood", ok && onlyrefusals);
}

// The descriptor limit: many pending and relayed clients with a limit of 64 descriptors.
static bool scenario_fdlimit()
{
    bool ok = true;
    for (const bool atstart : {true, false}) {
        rig::relay r;
        const std::vector<std::string> pre = {"prlimit", "--nofile=64", "--"};
        if (!r.up(standin, {"127.0.0.2"}, {"STANDIN_DELAY_MS=1500"}, false,
                  atstart ? pre : std::vector<std::string>{}))
            return verdict("fdlimit (start: " + r.why + ")", false);
        if (!atstart)
            runcmd({"prlimit", "--pid", std::to_string(r.v.pid), "--nofile=64"});
        load::options o = streamopts(r);
        o.conns = static_cast<int>(arg("conns", 60));
        o.bytes = 1 << 20;
        o.window = o.conns;
        o.barrier = false;
        o.timeoutms = 60000;
        const load::result res = load::run(o);
        const bool alive = r.alive();
        const std::string err = r.ownerr();
        if (!alive)
            std::printf("relay status: %s\n",
                        WIFEXITED(r.v.status)
                            ? ("exit " + std::to_string(WEXITSTATUS(r.v.status))).c_str()
                            : ("signal " + std::to_string(WTERMSIG(r.v.status))).c_str());
        say(std::string(atstart ? "limit 64 from the start" : "limit 64 set while running") +
            ":\n" + load::summary(res) + "relay " + (alive ? "alive" : "ended") + "; stderr:\n" +
            indent(err));
        // Nothing may be corrupt; each client either completes or is cut, and every failure
        // has a line.
        ok = ok && res.corrupt == 0 && res.extra == 0 && res.badheaders == 0 &&
             res.completed + res.failed == o.conns && (res.failed == 0 || !err.empty());
    }
    return verdict("fdlimit", ok);
}

// Descriptor numbers at or above FD_SETSIZE: refused with a line, never put into a set.
static bool scenario_fdsetsize()
{
    // The held clients are denied; the clients served afterwards are allowed.
    char vfile[] = "/tmp/velkoran-verdictXXXXXX";
    const int vfd = ::mkstemp(vfile);
    if (vfd < 0 || ::write(vfd, "4\n", 2) != 2)
        return verdict("fdsetsize (no verdict file)", false);
    ::close(vfd);
    struct unlinker {
        const char* path;
        ~unlinker() { ::unlink(path); }
    } vgone{vfile};
    rig::relay r;
    if (!r.up(standin, {"127.0.0.2"},
              {"STANDIN_DELAY_MS=10000", std::string("STANDIN_VERDICT_FILE=") + vfile}))
        return verdict("fdsetsize (start: " + r.why + ")", false);
    const rig::procinfo base = r.info();
    const int n = static_cast<int>(arg("conns", 1100));
    std::vector<int> cl;
    const long t0 = load::nowms();
    for (int i = 0; i < n; ++i)
        cl.push_back(load::connectfrom("127.0.0.2", r.port()));
    const bool lines =
        waitfor([&] { return rig::countlines(r.ownerr(), "fd ") >= n - 1024; }, 60000);
    const long t1 = load::nowms();
    const int kids = r.info().children;
    const std::string err = r.ownerr();
    const int refused = rig::countlines(err, "fd ");
    int ended = 0;
    for (const int c : cl) {
        char b;
        if (c >= 0 && ::recv(c, &b, 1, MSG_DONTWAIT) == 0)
            ++ended;
    }
    const bool settled = waitfor(
        [&] {
            const auto i = r.info();
            return i.children == 0 && i.zombies == 0 && i.fds == base.fds;
        },
        60000);
    for (const int c : cl)
        if (c >= 0)
            ::close(c);
    if (FILE* vf = std::fopen(vfile, "w")) {
        std::fputs("7\n", vf);
        std::fclose(vf);
    }
    load::options o = streamopts(r);
    o.conns = 10;
    o.bytes = 1 << 20;
    const load::result res = load::run(o);
    std::printf("%d clients held pending: %d refused with a line (first: %s), already ended "
                "for them %d; children %d; %.1f s to admit all; after the verdicts the relay "
                "settled: %s; then %s",
                n, refused, err.substr(0, err.find('\n')).c_str(), ended, kids,
                static_cast<double>(t1 - t0) / 1000.0, settled ? "yes" : "NO",
                load::summary(res).c_str());
    return verdict("fdsetsize",
                   lines && settled && refused == ended && clean(res, 10) && r.alive());
}

// Hostile command lines against the real program (and its sanitizer build, when given), each
// in a network namespace of its own so that no name it resolves leaves the machine.
static bool scenario_cmdline()
{
    const int n = static_cast<int>(arg("count", 2000));
    std::vector<std::string> bins = {velkoran};
    if (::access((here + "../asan/velkoran").c_str(), X_OK) == 0)
        bins.push_back(here + "../asan/velkoran");
    bool ok = true;
    for (const auto& bin : bins) {
        std::mt19937_64 rng(static_cast<uint64_t>(arg("seed", 1)));
        std::map<std::string, int> kinds;
        int bad = 0;
        long slowest = 0;
        for (int i = 0; i < n; ++i) {
            std::vector<std::string> argv = {"unshare", "-n", bin};
            const auto a = cmdfuzz::cmdline(rng);
            argv.insert(argv.end(), a.begin(), a.end());
            std::vector<std::string> env = {"ASAN_OPTIONS=detect_leaks=0:abort_on_error=1",
                                            "UBSAN_OPTIONS=halt_on_error=1"};
            env.push_back(i % 3 == 0   ? "DISPLAY="
                          : i % 3 == 1 ? "DISPLAY=localhost:0"
                                       : "DISPLAY=" + cmdfuzz::junk(rng, 40));
            const long t0 = load::nowms();
            const cmdresult r = runcmd(argv, env, 10000);
            slowest = std::max(slowest, load::nowms() - t0);
            const bool sane = r.exitcode() == 1 && !r.err.empty() && r.err.back() == '\n' &&
                              r.err.find("Sanitizer") == std::string::npos &&
                              r.err.find("runtime error") == std::string::npos;
            std::string kind = r.err.substr(0, std::min<size_t>(r.err.find_first_of(" \n"), 24));
            ++kinds[kind];
            if (!sane) {
                ++bad;
                if (bad <= 5) {
                    std::printf("case %d: status %d, stderr %.200s\n", i, r.status, r.err.c_str());
                    for (const auto& x : a)
                        std::printf("  arg (%zu bytes) %.60s\n", x.size(), x.c_str());
                }
            }
        }
        std::printf("%s: %d command lines, %d not ending in one line and exit 1 (crash, hang, "
                    "sanitizer report); slowest %ld ms; first words:",
                    bin.c_str(), n, bad, slowest);
        for (const auto& [k, c] : kinds)
            std::printf(" [%s] %d", k.c_str(), c);
        std::printf("\n");
        ok = ok && bad == 0;
    }
    return verdict("cmdline", ok);
}

// The real program under memcheck, relaying real X clients and asking through real dialogs.
static bool scenario_valgrind()
{
    if (!haveprog("valgrind") || !haveprog("xdpyinfo"))
        return verdict("valgrind (valgrind or xdpyinfo missing)", false);
    const std::string logs = "/tmp/velkoran-vg";
    runcmd({"sh", "-c", "rm -f " + logs + ".*"});
    rig::relay r;
    // Seen here: a probe refused now and then by a fresh Xvfb under memcheck's slow start-up;
    // a second start settles it.
    bool up = false;
    for (int tries = 0; tries < 3 && !up; ++tries) {
        r.down();
        up = r.up(velkoran, {"localhost"}, {}, true,
                  {"valgrind", "--tool=memcheck", "--track-origins=yes", "--leak-check=summary",
                   "--log-file=" + logs + ".%p"});
        if (!up)
            say("start-up failed: " + r.ownerr());
    }
    if (!up)
        return verdict("valgrind (start: " + r.why + ")", false);
    const std::string through = "localhost:" + std::to_string(r.mine);
    bool ok = true;
    struct step {
        std::vector<std::string> argv;
        bool yes;
    };
    const std::vector<step> steps = {
        {{"xdpyinfo", "-display", through}, true},
        {{ximage, "-display", through, "-size", "256x256", "-rounds", "4", "-seed", "3"}, true},
        {{"xdpyinfo", "-display", through}, false},
    };
    for (const auto& st : steps) {
        proc c;
        const long t0 = load::nowms();
        c.start(st.argv);
        // The dialog child runs under memcheck too: it is slow to appear and to take input,
        // so the answer is given again until the client goes on.
        bool answered = false;
        long t1 = t0;
        while (load::nowms() - t0 < 400000 && c.wait(100) == -1) {
            const std::string id = findalert(r.x.name(), 2000);
            if (id.empty())
                continue;
            runcmd({"xdotool", "windowfocus", "--sync", id, "key", "--clearmodifiers",
                    st.yes ? "Return" : "Escape"},
                   {"DISPLAY=" + r.x.name()}, 10000);
            answered = true;
            t1 = load::nowms();
            c.wait(15000);
        }
        std::printf("dialog up and answered after %.1f s, client done %.1f s later\n",
                    static_cast<double>(t1 - t0) / 1000.0,
                    static_cast<double>(load::nowms() - t1) / 1000.0);
        const bool good = st.yes ? c.status == 0 : c.status != 0 && c.outbuf.empty();
        std::printf("%s answered %s: client %s\n", st.argv[0].c_str(), st.yes ? "Yes" : "No",
                    good ? "as expected" : "NOT as expected");
        ok = ok && answered && good;
    }
    const pid_t parent = r.v.pid;
    sleepms(1000);
    ::kill(parent, SIGTERM);
    r.v.wait(60000);
    const std::string log = rig::slurp(logs + "." + std::to_string(parent));
    auto line = [&](const std::string& key) {
        const auto at = log.rfind(key);
        return at == std::string::npos ? std::string("(none)")
                                       : log.substr(at, log.find('\n', at) - at);
    };
    say("parent " + std::to_string(parent) + ": " + line("ERROR SUMMARY") + "\n  " +
        line("definitely lost") + "\n  " + line("in use at exit") + "\n");
    const auto children =
        runcmd({"sh", "-c", "grep -h 'ERROR SUMMARY' " + logs + ".* | sort | uniq -c"});
    say("all processes (the parent and its dialog children):\n" + indent(children.out));
    const std::string err = r.ownerr();
    if (!err.empty())
        say("relay stderr:\n" + indent(err));
    return verdict("valgrind",
                   ok && log.find("ERROR SUMMARY: 0 errors from 0 contexts") != std::string::npos);
}

// Churn for a long time: many short relayed connections, the relay's memory, descriptors and
// children sampled as it goes. Must end where it started.
static bool scenario_soak()
{
    rig::relay r;
    if (!r.up(standin, {"127.0.0.2"}))
        return verdict("soak (start: " + r.why + ")", false);
    const long minsecs = arg("seconds", 600);
    const long minconns = arg("conns", 10000);
    const rig::procinfo start = r.info();
    const long t0 = load::nowms();
    long conns = 0, completed = 0, lastprint = -1000000;
    uint64_t bytes = 0, corrupt = 0, lost = 0;
    long maxrss = start.rsskb;
    int maxfds = start.fds, maxkids = 0, round = 0;
    say("start: " + rig::show(start) + "\n");
    while ((load::nowms() - t0) / 1000 < minsecs || conns < minconns) {
        load::options o = streamopts(r);
        o.conns = static_cast<int>(arg("round", 250));
        o.maxopen = static_cast<int>(arg("open", 50));
        o.window = o.maxopen;
        o.barrier = false;
        o.bytes = static_cast<uint64_t>(arg("bytes", 64 << 10));
        // Paced: loopback has a few tens of thousands of ports, each held a minute after its
        // close; hundreds of connections a second run out of them within two minutes.
        o.openeveryms = static_cast<int>(arg("every", 25));
        o.seed = static_cast<uint64_t>(++round);
        std::atomic<bool> stop{false};
        std::thread sampler([&] {
            while (!stop) {
                const auto i = r.info();
                maxrss = std::max(maxrss, i.rsskb);
                maxfds = std::max(maxfds, i.fds);
                maxkids = std::max(maxkids, i.children);
                sleepms(200);
            }
        });
        const load::result res = load::run(o);
        stop = true;
        sampler.join();
        conns += res.started;
        completed += res.completed;
        bytes += res.upchecked + res.downchecked;
        corrupt += res.corrupt;
        lost += res.lost;
        if (!clean(res, o.conns))
            say("round " + std::to_string(round) + ":\n" + load::summary(res));
        const long t = load::nowms() - t0;
        if (t - lastprint >= 60000) {
            lastprint = t;
            std::printf("%4ld s: %ld connections, %ld complete, %.0f MiB checked; relay %s\n",
                        t / 1000, conns, completed, static_cast<double>(bytes) / 1048576.0,
                        rig::show(r.info()).c_str());
            std::fflush(stdout);
        }
        if (!r.alive())
            break;
    }
    sleepms(4000); // the last verdicts and closes
    const rig::procinfo end = r.info();
    std::printf("%ld s, %ld connections opened, used and closed, %ld complete, %.0f MiB checked, "
                "corrupt %llu, lost %llu\nstart: %s\nend:   %s\npeak: RSS %ld kB, fds %d, "
                "children %d\n",
                (load::nowms() - t0) / 1000, conns, completed,
                static_cast<double>(bytes) / 1048576.0, static_cast<unsigned long long>(corrupt),
                static_cast<unsigned long long>(lost), rig::show(start).c_str(),
                rig::show(end).c_str(), maxrss, maxfds, maxkids);
    const std::string err = r.ownerr();
    if (!err.empty())
        say("relay stderr:\n" + indent(err));
    return verdict("soak", r.alive() && completed == conns && corrupt == 0 && lost == 0 &&
                               end.fds == start.fds && end.children == 0 && end.zombies == 0 &&
                               end.rsskb <= start.rsskb + 512 && err.empty());
}

int main(int argc, char** argv)
{
    const std::string self = argv[0];
    here = self.substr(0, self.rfind('/') + 1);
    velkoran = here + "../velkoran";
    standin = here + "../tests/velkoran_standin";
    ximage = here + "../tests/tools/ximage_roundtrip";
    if (argc < 2) {
        std::fprintf(stderr, "usage: campaign SCENARIO [key=value ...]\n");
        return 2;
    }
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        const auto eq = a.find('=');
        if (eq != std::string::npos)
            args[a.substr(0, eq)] = a.substr(eq + 1);
    }
    std::signal(SIGPIPE, SIG_IGN);
    const std::map<std::string, bool (*)()> scenarios = {
        {"load", scenario_load},
        {"xload", scenario_xload},
        {"destkill", scenario_destkill},
        {"xdestkill", scenario_xdestkill},
        {"rst", scenario_rst},
        {"pending", scenario_pending},
        {"dialog", scenario_dialog},
        {"stall", scenario_stall},
        {"flood", scenario_flood},
        {"fdlimit", scenario_fdlimit},
        {"fdsetsize", scenario_fdsetsize},
        {"cmdline", scenario_cmdline},
        {"valgrind", scenario_valgrind},
        {"soak", scenario_soak},
    };
    const auto it = scenarios.find(argv[1]);
    if (it == scenarios.end()) {
        std::fprintf(stderr, "unknown scenario %s\n", argv[1]);
        return 2;
    }
    return it->second() ? 0 : 1;
}
