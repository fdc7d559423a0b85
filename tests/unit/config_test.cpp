// The command line against a stand-in resolver: what is looked up, in which order, and the
// message and configuration that result.
#include "rig.h"
#include "startup/startup.h"

#include <sstream>

static const std::string USAGE =
    "usage: velkoran [-terse] [-display dispname] -allow host1 [host2 ... host16]\n";

// The stand-in resolver: these names and no others.
struct standinentry {
    std::string name, canonical;
    std::vector<std::string> addrs;
};

static const std::vector<standinentry>& knownhosts()
{
    static const std::vector<standinentry> hosts = [] {
        std::vector<standinentry> h = {
            {"testbox", "testbox.example", {"192.0.2.1"}},
            {"longbox", std::string(300, 'n'), {"192.0.2.2"}},
            {"a", "a", {"10.0.0.1"}},
            {"b", "b", {"10.0.0.2"}},
            {"c", "c", {"10.0.0.3"}},
            {"multi", "multi", {"10.0.0.7", "10.0.0.8"}},
            {"disp", "disp", {"192.0.2.10"}},
            {"other", "other", {"192.0.2.11"}},
            {"envhost", "envhost", {"192.0.2.12"}},
        };
        for (int i = 1; i <= 17; ++i) {
            const std::string n = "h" + std::to_string(i);
            h.push_back({n, n, {"10.1.0." + std::to_string(i)}});
        }
        return h;
    }();
    return hosts;
}

static const char* ownraw; // what gethostname gives; nullptr: it fails
static int lookuplog = -1; // every name given to the resolver goes here, each followed by '|'

static int standingethostname(char* buf, size_t len)
{
    if (ownraw == nullptr) {
        errno = EFAULT;
        return -1;
    }
    std::strncpy(buf, ownraw, len);
    return 0;
}

static hostent* standingethostbyname(const char* name)
{
    const std::string logged = std::string(name) + "|";
    if (::write(lookuplog, logged.data(), logged.size()) < 0)
        return nullptr;
    static hostent h;
    static uint32_t addrs[4];
    static char* list[5];
    static std::string canonical;
    for (const standinentry& e : knownhosts()) {
        if (e.name != name)
            continue;
        canonical = e.canonical;
        size_t i = 0;
        for (; i < e.addrs.size(); ++i) {
            addrs[i] = inet_addr(e.addrs[i].c_str());
            list[i] = reinterpret_cast<char*>(&addrs[i]);
        }
        list[i] = nullptr;
        h = {canonical.data(), nullptr, AF_INET, 4, list};
        return &h;
    }
    return nullptr;
}

static std::string dotted(uint32_t a)
{
    in_addr in{};
    in.s_addr = a;
    return inet_ntoa(in);
}

// The configuration parseargs left, on one line.
static std::string describe()
{
    std::string s = "terse=" + std::to_string(terse) + " myname=" + myname +
                    " display=" + dispname + " host=" + disphost + " addr=" + dotted(dispaddr) +
                    " allow=";
    for (int i = 0; i < nallow; ++i)
        s += std::string(i > 0 ? "," : "") + allownames[i] + "=" + dotted(allowaddrs[i]);
    return s;
}

struct argscase {
    const char* name;
    std::string args; // the words after the program's name, one space apart
    int exitcode;
    std::string err; // the message, or the description of the configuration
    std::string lookups;
    const char* own = "testbox";    // the local host's name; nullptr: gethostname fails
    const char* display = "disp:0"; // DISPLAY; nullptr: unset
};

class ParseArgs : public ::testing::TestWithParam<argscase>
{
  protected:
    void SetUp() override
    {
        configinit();
        ASSERT_EQ(::pipe(logpipe), 0);
        ::fcntl(logpipe[0], F_SETFL, O_NONBLOCK);
        lookuplog = logpipe[1];
    }
    void TearDown() override
    {
        ::close(logpipe[0]);
        ::close(logpipe[1]);
    }
    int logpipe[2] = {-1, -1};
};

static const argscase* current;

TEST_P(ParseArgs, MessageConfigurationAndLookups)
{
    const argscase& c = GetParam();
    current = &c;
    ownraw = c.own;
    fake n(sys::gethostname, &standingethostname);
    fake h(sys::gethostbyname, &standingethostbyname);
    const childresult r = runchild([] {
        if (current->display != nullptr)
            ::setenv("DISPLAY", current->display, 1);
        else
            ::unsetenv("DISPLAY");
        std::vector<std::string> words = {"velkoran"};
        std::istringstream in(current->args);
        for (std::string w; in >> w;)
            words.push_back(w);
        std::vector<char*> argv;
        for (std::string& w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        parseargs(static_cast<int>(words.size()), argv.data());
        const std::string d = describe();
        ::_exit(::write(2, d.data(), d.size()) == static_cast<ssize_t>(d.size()) ? 0 : 9);
    });
    std::string seen(1 << 16, '\0');
    const ssize_t k = ::read(logpipe[0], seen.data(), seen.size());
    seen.resize(k > 0 ? static_cast<size_t>(k) : 0);

    EXPECT_EQ(r.exitcode(), c.exitcode);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(seen, c.lookups);
}

// h1 to hn: on the command line, as the resolver is asked, and as the allow list holds them.
static std::string allowlist(int n)
{
    std::string s = "-allow";
    for (int i = 1; i <= n; ++i)
        s += " h" + std::to_string(i);
    return s;
}

static std::string numberedlookups(int n)
{
    std::string s = "testbox|";
    for (int i = 1; i <= n; ++i)
        s += "h" + std::to_string(i) + "|";
    return s;
}

static std::string numberedallow(int n)
{
    std::string s;
    for (int i = 1; i <= n; ++i)
        s += (i > 1 ? ",h" : "h") + std::to_string(i) + "=10.1.0." + std::to_string(i);
    return s;
}

static const std::string BASE = "terse=0 myname=testbox.example ";
// Up to the allow list, with the display disp:0 from the environment.
static const std::string DISP0 = BASE + "display=disp:0 host=disp addr=192.0.2.10 allow=";

static std::vector<argscase> cases()
{
    return {
        {"NoArguments", "", 1, USAGE, ""},
        {"AllowAlone", "-allow", 1, USAGE, ""},
        {"TerseAlone", "-terse", 1, USAGE, ""},
        {"OneHostDisplayFromEnvironment", "-allow a", 0, DISP0 + "a=10.0.0.1", "testbox|a|disp|"},
        {"Terse", "-terse -allow a", 0,
         "terse=1 myname=testbox.example display=disp:0 host=disp addr=192.0.2.10 "
         "allow=a=10.0.0.1",
         "testbox|a|disp|"},
        {"OwnNameBeforeAnyOption", "-bogus x", 1, "Can't lookup up my own hostname nowhere!\n",
         "nowhere!|", "nowhere!"},
        {"FailingGethostnameGivesTheOwnNameMessage", "-allow a", 1,
         "Can't lookup up my own hostname \n", "", nullptr},
        {"LongCanonicalOwnNameIsCut", "-allow a", 0,
         "terse=0 myname=" + std::string(MYNAMESIZE - 1, 'n') +
             " display=disp:0 host=disp addr=192.0.2.10 allow=a=10.0.0.1",
         "longbox|a|disp|", "longbox"},
        {"UnknownOptionAfterTheHosts", "-allow a b -terse c", 1, USAGE, "testbox|a|b|"},
        {"AllowTakesTheNextWordWhateverItIs", "-allow -terse", 1, "no such host -terse\n",
         "testbox|-terse|"},
        {"FailingHostBeforeUnknownOption", "-allow a bad! -bogus", 1, "no such host bad!\n",
         "testbox|a|bad!|"},
        {"FailingHostBeforeMissingDisplay", "-allow bad!", 1, "no such host bad!\n",
         "testbox|bad!|", "testbox", nullptr},
        {"NoDisplay", "-allow a", 1, "display not specified\n", "testbox|a|", "testbox", nullptr},
        {"FailingDisplayHost", "-display bad!:0 -allow a", 1, "no such host bad!\n",
         "testbox|a|bad!|"},
        {"SixteenHosts", allowlist(16), 0, DISP0 + numberedallow(16),
         numberedlookups(16) + "disp|"},
        {"SeventeenthHostIsNeverLookedUp", allowlist(17), 1, USAGE, numberedlookups(16)},
        {"AllowLastPassesNothingToTheResolver", "-terse -allow", 1, USAGE, "testbox|"},
        {"AllowLastAfterHosts", "-allow a -allow", 1, USAGE, "testbox|a|"},
        {"SeveralAllowOptionsFillOneList", "-allow a b -allow c", 0,
         DISP0 + "a=10.0.0.1,b=10.0.0.2,c=10.0.0.3", "testbox|a|b|c|disp|"},
        {"SameHostTwiceTakesTwoSlotsAndOnlyTheFirstAddressCounts", "-allow multi multi", 0,
         DISP0 + "multi=10.0.0.7,multi=10.0.0.7", "testbox|multi|multi|disp|"},
        {"LastDisplayCounts", "-display disp:1 -display other:2 -allow a", 0,
         BASE + "display=other:2 host=other addr=192.0.2.11 allow=a=10.0.0.1", "testbox|a|other|",
         "testbox", "envhost:3"},
        {"DisplayLastDropsTheEarlierValue", "-display disp:1 -allow a -display", 0,
         BASE + "display=envhost:3 host=envhost addr=192.0.2.12 allow=a=10.0.0.1",
         "testbox|a|envhost|", "testbox", "envhost:3"},
        {"DisplayLastWithoutEnvironment", "-display disp:1 -allow a -display", 1,
         "display not specified\n", "testbox|a|", "testbox", nullptr},
        {"DisplayTakesTheNextWordWhateverItIs", "-display -allow a", 1, USAGE, "testbox|"},
        // Option words are whole and exact.
        {"AbbreviatedOption", "-t -allow a", 1, USAGE, "testbox|"},
        {"OptionInUpperCase", "-Terse -allow a", 1, USAGE, "testbox|"},
        {"OptionWithAValueGluedOn", "-display=x:0 -allow a", 1, USAGE, "testbox|"},
        {"EmptyHostPartIsLookedUpAsIs", "-display :0 -allow a", 1, "no such host \n",
         "testbox|a||"},
        {"EmptyDisplayCountsAsSet", "-allow a", 1, "no such host \n", "testbox|a||", "testbox", ""},
        {"ScreenNumberStaysInTheName", "-display disp:5.1 -allow a", 0,
         BASE + "display=disp:5.1 host=disp addr=192.0.2.10 allow=a=10.0.0.1", "testbox|a|disp|",
         "testbox", nullptr},
        {"DisplayWithoutColon", "-display disp -allow a", 0,
         BASE + "display=disp host=disp addr=192.0.2.10 allow=a=10.0.0.1", "testbox|a|disp|",
         "testbox", nullptr},
    };
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseArgs, ::testing::ValuesIn(cases()), byname());

TEST(Usage, IsTheWholeLineAndExitsOne)
{
    const childresult r = runchild([] { usage(); });
    EXPECT_EQ(r.exitcode(), 1);
    EXPECT_EQ(r.err, USAGE);
}

// The destination is opened by its checked address, never by its name again: the host part
// gives way to the dotted address, whatever follows it stays.
TEST(DestinationName, IsTheAddressAndTheRestOfTheName)
{
    const uint32_t lo = inet_addr("127.0.0.1"), far = inet_addr("192.0.2.7");
    EXPECT_EQ(destinationname(lo, "localhost:42"), "127.0.0.1:42");
    EXPECT_EQ(destinationname(far, "buildbox:3.1"), "192.0.2.7:3.1");
    EXPECT_EQ(destinationname(far, "a:b:5"), "192.0.2.7:b:5");
    EXPECT_EQ(destinationname(lo, ":0"), "127.0.0.1:0");
    EXPECT_EQ(destinationname(far, "nocolon"), "192.0.2.7");
}
