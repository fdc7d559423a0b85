// The real program with the real Motif dialog on a private Xvfb, answered through xdotool:
// refusals, "Yes" and "No", a dialog killed from outside, real X clients relayed exactly,
// the descriptors the first clients get, the dialog's text and buttons, and what a pending
// dialog must not hold on to.
#include "support/xtest.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sstream>
#include <sys/wait.h>

namespace
{

class Dialog : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (const auto why = unmet({"Xvfb", "xdotool", "xdpyinfo", "xwd"}); !why.empty())
            GTEST_SKIP() << why;
        ASSERT_TRUE(x.start());
    }
    void TearDown() override
    {
        for (auto& p : v)
            killchildren(p.pid);
    }

    // The real program in front of the private X server; its port, or -1.
    int start(proc& p, const std::vector<std::string>& allow)
    {
        std::vector<std::string> args = {"-display", x.name(), "-allow"};
        args.insert(args.end(), allow.begin(), allow.end());
        if (!startvk(p, args))
            return -1;
        const int n = started(p);
        return n < 0 ? -1 : 6000 + n;
    }
    cmdresult onx(const std::vector<std::string>& argv)
    {
        return runcmd(argv, {"DISPLAY=" + x.name()}, 10000);
    }
    bool isdialog(const std::string& id)
    {
        const auto ids = alerts(x.name());
        return std::find(ids.begin(), ids.end(), id) != ids.end();
    }
    std::string newdialog(const std::vector<std::string>& known)
    {
        return findalert(x.name(), 15000, known);
    }
    bool hasgone(const std::string& id, int timeout_ms)
    {
        return waituntil([&] { return !isdialog(id); }, timeout_ms);
    }
    // Yes or No, once the dialog takes answers; false if it is still up.
    bool answer(const std::string& id, bool yes) { return answeralert(x.name(), yes, 0, id); }
    void press(const std::string& id, const char* key)
    {
        onx({"xdotool", "windowfocus", "--sync", id, "key", "--clearmodifiers", key});
    }
    void click(const std::string& id, int px, int py)
    {
        onx({"xdotool", "mousemove", "--sync", "--window", id, std::to_string(px),
             std::to_string(py), "click", "1"});
    }
    bool haswindow(const std::string& title)
    {
        return onx({"xdotool", "search", "--name", "^" + title + "$"}).exitcode() == 0;
    }
    // A client from `from` that has sent its connection setup, and the new dialog (not among
    // known) that asks about it; an empty id when either failed.
    struct asked {
        int fd;
        std::string id;
    };
    asked ask(int port, const std::vector<std::string>& known = {}, const char* from = "127.0.0.2")
    {
        asked a{fds.keep(connectfrom(from, port)), {}};
        if (a.fd >= 0 && sendall(a.fd, XSETUP))
            a.id = newdialog(known);
        return a;
    }
    xserver x;
    proc v[3];
    fdlist fds;
};

bool issocket(const std::string& link)
{
    return link.rfind("socket:", 0) == 0;
}

// The refusal line for a client from addr, the way the program names it.
std::string badhostline(const char* addr)
{
    in_addr a{};
    ::inet_pton(AF_INET, addr, &a);
    const hostent* h = ::gethostbyaddr(&a, 4, AF_INET);
    const std::string name = h != nullptr && h->h_name != nullptr ? h->h_name : addr;
    return "bad host connect from " + name + " (" + addr + ")\n";
}

// Every line but the one that names the display the client was pointed at.
std::string withoutname(const std::string& text)
{
    std::istringstream in(text);
    std::string out;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("name of display:", 0) != 0)
            out += line + "\n";
    return out;
}

// A client from a host not on the list: one line naming it, end of file without a byte, and
// no question asked.
TEST_F(Dialog, ARefusedHostGetsOneLineNoByteAndNoDialog)
{
    const int port = start(v[0], {"127.0.0.2"});
    ASSERT_GT(port, 0);
    // From 127.0.0.1, which the hosts file names: the refusal asks no name server.
    const std::string line = badhostline("127.0.0.1");
    const int quiet = fds.keep(connectfrom("127.0.0.1", port));
    ASSERT_GE(quiet, 0);
    EXPECT_TRUE(endedbare(quiet, 5000));
    EXPECT_EQ(errafter(v[0], line.size(), 3000), line);

    // A client that has sent its connection setup is reset rather than ended, still unanswered.
    const int talker = fds.keep(connectfrom("127.0.0.1", port));
    ASSERT_GE(talker, 0);
    ASSERT_TRUE(sendall(talker, XSETUP));
    EXPECT_TRUE(endedbare(talker, 5000));
    EXPECT_EQ(errafter(v[0], 2 * line.size(), 3000), line + line);

    // The lookup children have written their lines; none is a confirmation child, none stays.
    EXPECT_TRUE(waituntil([&] { return childpids(v[0].pid).empty(); }, 3000));
    // An allowed client after them: once its dialog shows, one that a refused client wrongly
    // started would show too, being older.
    const int allowed = fds.keep(connectfrom("127.0.0.2", port));
    ASSERT_GE(allowed, 0);
    const std::string id = newdialog({});
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(alerts(x.name()), std::vector<std::string>{id});
    EXPECT_EQ(childpids(v[0].pid).size(), 1U);
    EXPECT_TRUE(v[0].running());
}

// "Yes" relays xdpyinfo: everything it prints through the program is what it prints directly.
TEST_F(Dialog, YesRelaysXdpyinfoExactly)
{
    const int port = start(v[0], {"localhost"});
    ASSERT_GT(port, 0);
    proc c;
    ASSERT_TRUE(c.start({"xdpyinfo", "-display", through(port)}));
    const std::string id = newdialog({});
    ASSERT_FALSE(id.empty());
    ASSERT_TRUE(answer(id, true));
    ASSERT_NE(c.wait(20000), -1);
    ASSERT_TRUE(WIFEXITED(c.status) && WEXITSTATUS(c.status) == 0) << c.errbuf;

    // Directly, with the dialog gone as it was when the relayed client ran.
    const cmdresult direct = onx({"xdpyinfo"});
    ASSERT_EQ(direct.exitcode(), 0);
    EXPECT_GT(direct.out.size(), 10000U);
    EXPECT_TRUE(withoutname(c.outbuf) == withoutname(direct.out))
        << "xdpyinfo through the relay differs from xdpyinfo direct";
    EXPECT_EQ(v[0].errbuf, "");
}

// The first clients are served on descriptors 0 and 1, which start-up gave up. A client that
// goes loses its windows at once, although a dialog forked while it was relayed is still up.
TEST_F(Dialog, FirstClientsUseDescriptorsZeroAndOneAndLeaveNoWindowsBehind)
{
    const int port = start(v[0], {"localhost"});
    ASSERT_GT(port, 0);
    const pid_t pid = v[0].pid;
    EXPECT_EQ(fdlink(pid, 0), "");
    EXPECT_EQ(fdlink(pid, 1), "");

    const std::string title = "velkoran-hold-" + std::to_string(::getpid());
    proc h;
    ASSERT_TRUE(h.start({TOOLS_DIR "/xwindow_hold", "-display", through(port), title, "30"}));
    const std::string first = newdialog({});
    ASSERT_FALSE(first.empty());
    EXPECT_TRUE(issocket(fdlink(pid, 0))) << "the pending client is not on descriptor 0";
    EXPECT_EQ(fdlink(pid, 1), "");
    ASSERT_TRUE(answer(first, true));
    // Window ids of a client that has gone may be handed out again: the next dialog can
    // have the same id.
    ASSERT_TRUE(hasgone(first, 3000));
    std::string line;
    ASSERT_TRUE(h.readline(line, 10000)) << h.errbuf;
    EXPECT_EQ(line, "ready\n");
    EXPECT_TRUE(haswindow(title));
    EXPECT_TRUE(issocket(fdlink(pid, 0)));
    EXPECT_TRUE(issocket(fdlink(pid, 1))) << "the destination side is not on descriptor 1";

    // Another client waits for its answer; its dialog process was forked while the window
    // holder was relayed.
    const auto [c, second] = ask(port, {}, "127.0.0.1");
    ASSERT_FALSE(second.empty());

    h.stop();
    EXPECT_TRUE(waituntil([&] { return !haswindow(title); }, 2500))
        << "the window outlived its client while a dialog was up";
    EXPECT_TRUE(isdialog(second));
    EXPECT_EQ(fdlink(pid, 1), "") << "the pair was not closed";

    ASSERT_TRUE(answer(second, false));
    EXPECT_TRUE(endedbare(c));
    EXPECT_EQ(v[0].errbuf, "");
}

// "No" ends the client without a byte, also while another client's dialog is still up. "Yes"
// to that one then relays it over the descriptor the first client had: 0, the lowest free.
TEST_F(Dialog, NoClosesTheClientWithoutAByteWhileAnotherDialogIsUp)
{
    const int port = start(v[0], {"127.0.0.2"});
    ASSERT_GT(port, 0);
    const auto [a, da] = ask(port);
    ASSERT_FALSE(da.empty());
    const auto [b, db] = ask(port, {da});
    ASSERT_FALSE(db.empty());

    ASSERT_TRUE(answer(da, false));
    EXPECT_TRUE(endedbare(a)) << "the client was not told while another dialog was up";
    EXPECT_TRUE(isdialog(db));

    EXPECT_EQ(fdlink(v[0].pid, 0), "");
    ASSERT_TRUE(answer(db, true));
    EXPECT_FALSE(readfor(b, 1, 6000).empty()) << "the allowed client was not relayed";
    EXPECT_TRUE(issocket(fdlink(v[0].pid, 0))) << "the destination side is not on descriptor 0";
    EXPECT_EQ(v[0].errbuf, "");
    EXPECT_TRUE(v[0].running());
}

TEST_F(Dialog, ADialogKilledFromOutsideClosesTheClient)
{
    const int port = start(v[0], {"127.0.0.2"});
    ASSERT_GT(port, 0);
    const auto [c, id] = ask(port);
    ASSERT_FALSE(id.empty());
    const auto kids = childpids(v[0].pid);
    ASSERT_EQ(kids.size(), 1U);
    ASSERT_EQ(::kill(kids[0], SIGKILL), 0);

    EXPECT_TRUE(endedbare(c));
    const std::string line = "child died abnormally\n";
    EXPECT_EQ(errafter(v[0], line.size(), 2000), line);
    EXPECT_TRUE(hasgone(id, 2000));
    EXPECT_TRUE(v[0].running());
}

// The question names the first matching allowed host as it was typed, and the dialog has two
// buttons: "Yes" on the left, "No" on the right, nothing between them (a Help button would
// stand there and push "No" to the middle). Dialogs are compared as images: two that should
// say the same are identical, and "LOCALHOST" against "localhost" (the name the system gives
// 127.0.0.1) differs.
TEST_F(Dialog, ShowsTheHostAsTypedAndExactlyYesAndNo)
{
    const std::vector<std::string> allow[3] = {
        {"127.0.0.2", "LOCALHOST", "localhost"}, // matched by its second entry
        {"LOCALHOST"},
        {"localhost"},
    };
    int port[3];
    for (int i = 0; i < 3; ++i) {
        port[i] = start(v[i], allow[i]);
        ASSERT_GT(port[i], 0);
    }
    proc c[3];
    std::string id[3], image[3];
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(c[i].start({"xdpyinfo", "-display", through(port[i])}));
        id[i] = newdialog({});
        ASSERT_FALSE(id[i].empty());
        // The same pointer position for every picture, outside the dialog: the pointer over a
        // dialog gives it the keyboard focus, which changes how it is drawn.
        onx({"xdotool", "mousemove", "900", "700"});
        // Drawn, and its buttons taking answers (they look different before): the same picture
        // for longer than the dialog refuses answers.
        std::string shot;
        int same = 0;
        ASSERT_TRUE(waituntil(
            [&] {
                const std::string last = shot;
                shot = onx({"xwd", "-silent", "-id", id[i]}).out;
                same = !shot.empty() && shot == last ? same + 1 : 0;
                return same >= 8;
            },
            10000, 150));
        image[i] = shot;
        if (i == 0) {
            EXPECT_EQ(onx({"xprop", "-id", id[i], "WM_CLASS"}).out,
                      "WM_CLASS(STRING) = \"alert_popup\", \"Velkoran\"\n");
            ASSERT_TRUE(answer(id[i], false));
        } else {
            std::istringstream g(onx({"xdotool", "getwindowgeometry", "--shell", id[i]}).out);
            int w = 0, h = 0;
            for (std::string kv; g >> kv;) {
                if (kv.rfind("WIDTH=", 0) == 0)
                    w = std::stoi(kv.substr(6));
                if (kv.rfind("HEIGHT=", 0) == 0)
                    h = std::stoi(kv.substr(7));
            }
            ASSERT_GT(w, 100);
            ASSERT_GT(h, 60);
            const int row = h - 30; // the buttons' row
            if (i == 1) {
                ASSERT_TRUE(answer(id[i], true));
            } else {
                // Clicks between the buttons for longer than the dialog refuses answers at
                // first: none may answer.
                for (int k = 0; k < 10; ++k, sleepms(150))
                    click(id[i], w / 2, row);
                EXPECT_TRUE(isdialog(id[i])) << "something between the buttons answered";
                waituntil(
                    [&] {
                        click(id[i], w - 30, row);
                        return !isdialog(id[i]);
                    },
                    15000, 150);
            }
        }
        ASSERT_TRUE(hasgone(id[i], 3000)) << "dialog " << i << " was not answered";
    }
    EXPECT_GT(image[0].size(), 10000U);
    EXPECT_TRUE(image[0] == image[1]) << "the dialog does not show the first matching name";
    EXPECT_TRUE(image[0] != image[2]) << "the dialog does not show the name as typed";

    for (auto& p : c)
        ASSERT_NE(p.wait(20000), -1);
    EXPECT_EQ(WEXITSTATUS(c[0].status), 1);
    EXPECT_EQ(c[0].outbuf, "");
    EXPECT_EQ(WEXITSTATUS(c[1].status), 0) << "the left button is not Yes";
    EXPECT_NE(c[1].outbuf.find("vendor string"), std::string::npos);
    EXPECT_EQ(WEXITSTATUS(c[2].status), 1) << "the right button is not No";
    EXPECT_EQ(c[2].outbuf, "");
}

// 4 MB each way: a seeded random 1000x1000 image put into a pixmap and read back.
TEST_F(Dialog, ALargeImageCrossesTheRelayIntactBothWays)
{
    const int port = start(v[0], {"localhost"});
    ASSERT_GT(port, 0);
    proc c;
    ASSERT_TRUE(c.start({TOOLS_DIR "/ximage_roundtrip", "-display", through(port), "-seed", "77"}));
    const std::string id = newdialog({});
    ASSERT_FALSE(id.empty());
    ASSERT_TRUE(answer(id, true));
    ASSERT_NE(c.wait(30000), -1);
    EXPECT_TRUE(WIFEXITED(c.status) && WEXITSTATUS(c.status) == 0) << c.errbuf;
    EXPECT_NE(c.outbuf.find("\nrounds 1 put 4000000 got 4000000 wrong 0 errors 0\n"),
              std::string::npos)
        << c.outbuf;
    EXPECT_EQ(v[0].errbuf, "");
}

// Keys meant for another window never allow a client: a key in the dialog's first second is
// no answer at all, and after it Return, space and Escape all answer No.
TEST_F(Dialog, KeysNeverAnswerYes)
{
    const int port = start(v[0], {"127.0.0.2"});
    ASSERT_GT(port, 0);
    for (const char* key : {"Return", "space", "Escape"}) {
        const auto [c, id] = ask(port);
        ASSERT_FALSE(id.empty());
        EXPECT_TRUE(waituntil(
            [&] {
                press(id, key);
                return !isdialog(id);
            },
            10000))
            << key;
        EXPECT_TRUE(endedbare(c)) << key;
    }
    // Return at once, then a click on Yes: the client is relayed, so the early key was no
    // answer.
    const auto [c, id] = ask(port);
    ASSERT_FALSE(id.empty());
    press(id, "Return");
    ASSERT_TRUE(answer(id, true));
    EXPECT_FALSE(readfor(c, 1, 6000).empty()) << "an early Return answered the question";
    EXPECT_EQ(v[0].errbuf, "");
}

// Clicks and keys that another client of the display sends (XSendEvent) never answer, however
// long the dialog has been up; the user's own click still does.
TEST_F(Dialog, InputSentByAnotherClientNeverAnswers)
{
    const int port = start(v[0], {"127.0.0.2"});
    ASSERT_GT(port, 0);
    const auto [c, id] = ask(port);
    ASSERT_FALSE(id.empty());
    const long shown = nowms();
    const std::string w = id;
    // Past the dialog's first second, and well beyond it.
    while (nowms() - shown < 3000 && isdialog(w)) {
        onx({"xdotool", "mousemove", "--sync", "--window", w, "30", "60"});
        onx({"xdotool", "click", "--window", w, "1"});
        onx({"xdotool", "key", "--window", w, "Tab", "Return", "Escape"});
    }
    EXPECT_TRUE(isdialog(id)) << "a sent event answered the question";
    ASSERT_TRUE(answer(id, true));
    EXPECT_FALSE(readfor(c, 1, 6000).empty());
    EXPECT_EQ(v[0].errbuf, "");
}

// A client that leaves while its question is up takes the question with it: the dialog goes,
// without a word, and a client that waits keeps its own.
TEST_F(Dialog, AClientThatLeavesTakesItsDialogWithIt)
{
    const int port = start(v[0], {"127.0.0.2"});
    ASSERT_GT(port, 0);
    const auto stays = ask(port);
    ASSERT_FALSE(stays.id.empty());
    const auto leaves = ask(port, {stays.id});
    ASSERT_FALSE(leaves.id.empty());
    ::shutdown(leaves.fd, SHUT_RDWR);
    const long left = nowms();
    EXPECT_TRUE(hasgone(leaves.id, 5000));
    std::printf("dialog gone %ld ms after its client left\n", nowms() - left);
    EXPECT_TRUE(isdialog(stays.id));
    ASSERT_TRUE(answer(stays.id, true));
    EXPECT_FALSE(readfor(stays.fd, 1, 6000).empty()) << "the client that waited was not relayed";
    v[0].drain(200);
    EXPECT_EQ(v[0].errbuf, "");
}

// A destination that takes the dialog's connection and never answers (a stalled X server) holds
// no question for good: the dialog gives up within its limit, and its client is closed with
// the line for a dialog that ended without an answer.
TEST_F(Dialog, ADisplayThatNeverAnswersFreesItsQuestion)
{
    const int port = start(v[0], {"127.0.0.2"});
    ASSERT_GT(port, 0);
    const int dport = 6000 + x.display;
    x.stop();
    const int stalled = fds.keep(listenon(dport)); // connections complete; nothing ever answers
    ASSERT_GE(stalled, 0);
    const int c = fds.keep(connectfrom("127.0.0.2", port));
    ASSERT_GE(c, 0);
    ASSERT_TRUE(sendall(c, XSETUP));
    const long since = nowms();
    EXPECT_TRUE(endedbare(c, 15000));
    const long took = nowms() - since;
    EXPECT_GE(took, 9000);
    EXPECT_LE(took, 13000);
    EXPECT_EQ(errafter(v[0], 29, 2000), "Unknown exit status of child\n");
    EXPECT_TRUE(waituntil([&] { return childpids(v[0].pid).empty(); }, 2000));
}

// Closing the dialog through the window manager answers No; ending the program ends every
// dialog it has up.
TEST_F(Dialog, AClosedDialogDeniesAndNoDialogOutlivesTheProgram)
{
    const int port = start(v[0], {"127.0.0.2"});
    ASSERT_GT(port, 0);
    const auto [c, id] = ask(port);
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(onx({TOOLS_DIR "/wmdelete", id}).exitcode(), 0);
    EXPECT_TRUE(endedbare(c));
    EXPECT_TRUE(hasgone(id, 3000));

    std::vector<std::string> up;
    for (int k = 0; k < 2; ++k) {
        up.push_back(ask(port, up).id);
        ASSERT_FALSE(up.back().empty());
    }
    v[0].stop();
    for (const auto& d : up)
        EXPECT_TRUE(hasgone(d, 3000)) << "a dialog outlived the program";
    EXPECT_EQ(v[0].errbuf, "");
}

} // namespace
