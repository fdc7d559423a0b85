// Start-up failures before any port is announced: the command line, the own host name, the
// allowed hosts, the destination display host, and the listening socket's system calls.
//
// Names that must not resolve contain '!' or begin with '-': the resolver rejects them without
// asking any name server. Every name that must resolve is numeric or listed in /etc/hosts.
#include "support/xtest.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{

const std::string USAGE =
    "usage: velkoran [-terse] [-display dispname] -allow host1 [host2 ... host16]\n";

struct failcase {
    const char* what;
    std::vector<std::string> args;
    std::vector<std::string> env; // "DISPLAY=" removes DISPLAY; any FAKE_* preloads the shim
    std::string err;              // the whole of standard error
};

// n copies of an allowed address that needs no resolver traffic.
std::vector<std::string> hosts(int n)
{
    return std::vector<std::string>(static_cast<size_t>(n), "127.0.0.2");
}

std::vector<std::string> cat(std::vector<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Runs each case and checks the exact bytes of both streams and exit status 1.
void runtable(const std::vector<failcase>& table)
{
    for (const auto& c : table) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> argv = {VELKORAN_BIN};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::vector<std::string> env = c.env;
        bool fake = false;
        for (const auto& e : env)
            fake = fake || e.rfind("FAKE_", 0) == 0;
        if (fake)
            env.push_back(std::string("LD_PRELOAD=") + FAKESYS_LIB);
        const cmdresult r = runcmd(argv, env, 10000);
        EXPECT_EQ(r.exitcode(), 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
}

} // namespace

TEST(StartupCommandLine, UsageLine)
{
    ASSERT_EQ(USAGE.size(), 77U);
    const std::vector<std::string> nodisplay = {"DISPLAY="};
    const std::vector<std::string> baddisplay = {"DISPLAY=no!env:0"};
    runtable({
        {"no arguments", {}, nodisplay, USAGE},
        {"-allow alone", {"-allow"}, baddisplay, USAGE},
        {"-terse alone", {"-terse"}, baddisplay, USAGE},
        {"one host name alone", {"localhost"}, baddisplay, USAGE},
        {"unknown option first", {"-foo", "-allow", "localhost"}, baddisplay, USAGE},
        {"abbreviated option", {"-t", "-allow", "localhost"}, baddisplay, USAGE},
        {"option in upper case", {"-Terse", "-allow", "localhost"}, baddisplay, USAGE},
        {"option with a value glued on",
         {"-display=x:0", "-allow", "localhost"},
         baddisplay,
         USAGE},
        {"an unknown option ends the host list",
         {"-allow", "localhost", "-foo"},
         baddisplay,
         USAGE},
        {"-terse ends the host list, then a bare name",
         {"-allow", "localhost", "127.0.0.2", "-terse", "127.0.0.3"},
         baddisplay,
         USAGE},
        {"-display swallows -allow, its host stands where an option belongs",
         {"-display", "-allow", "localhost"},
         baddisplay,
         USAGE},
        {"-allow as the last argument", {"-terse", "-allow"}, baddisplay, USAGE},
        {"-allow as the last argument after a good list",
         {"-allow", "localhost", "-allow"},
         baddisplay,
         USAGE},
        {"17 hosts in one list: the 17th is never looked up",
         cat({{"-allow"}, hosts(16), {"no!17th"}}), baddisplay, USAGE},
        {"17 hosts over three lists",
         cat({{"-allow"}, hosts(10), {"-terse", "-allow"}, hosts(6), {"-allow", "no!17th"}}),
         baddisplay, USAGE},
        {"too few arguments come before the own name",
         {"-allow"},
         {"FAKE_HOSTNAME=no!me", "DISPLAY="},
         USAGE},
    });
}

TEST(StartupCommandLine, OwnHostName)
{
    runtable({
        {"own name does not resolve",
         {"-allow", "localhost"},
         {"FAKE_HOSTNAME=no!me", "DISPLAY=localhost:0"},
         "Can't lookup up my own hostname no!me\n"},
        {"own name is checked before any option",
         {"-foo", "-bar"},
         {"FAKE_HOSTNAME=no!me", "DISPLAY=localhost:0"},
         "Can't lookup up my own hostname no!me\n"},
        {"own name is checked before allowed hosts",
         {"-allow", "no!host"},
         {"FAKE_HOSTNAME=no!me", "DISPLAY="},
         "Can't lookup up my own hostname no!me\n"},
        {"the host name query itself fails",
         {"-allow", "localhost"},
         {"FAKE_HOSTNAME=!fail", "DISPLAY=localhost:0"},
         "Can't lookup up my own hostname \n"},
    });
}

TEST(StartupCommandLine, AllowedHostsInArgumentOrder)
{
    const std::vector<std::string> okdisplay = {"DISPLAY=localhost:0"};
    runtable({
        {"single host", {"-allow", "no!such"}, okdisplay, "no such host no!such\n"},
        {"second host of a list",
         {"-allow", "localhost", "no!second"},
         okdisplay,
         "no such host no!second\n"},
        {"host of a second list",
         {"-allow", "localhost", "-terse", "-allow", "no!third"},
         okdisplay,
         "no such host no!third\n"},
        {"-allow takes -terse as a host name",
         {"-allow", "-terse"},
         okdisplay,
         "no such host -terse\n"},
        {"-allow takes -display as a host name",
         {"-allow", "-display", "localhost:0"},
         okdisplay,
         "no such host -display\n"},
        {"failing host before a later unknown option",
         {"-allow", "no!a", "-foo"},
         okdisplay,
         "no such host no!a\n"},
        {"failing host before the list ends in a bad argument",
         {"-allow", "localhost", "no!b", "-terse", "extra"},
         okdisplay,
         "no such host no!b\n"},
        {"failing host before a missing display",
         {"-allow", "no!a"},
         {"DISPLAY="},
         "no such host no!a\n"},
        {"failing host before a failing display host",
         {"-display", "no!disp:0", "-allow", "no!a"},
         okdisplay,
         "no such host no!a\n"},
        {"16 hosts fit: the display host is reached",
         cat({{"-allow"}, hosts(16), {"-display", "no!disp:0"}}), okdisplay,
         "no such host no!disp\n"},
    });
}

TEST(StartupCommandLine, DisplayNameAndHost)
{
    runtable({
        {"no -display and no DISPLAY",
         {"-allow", "localhost", "127.0.0.2"},
         {"DISPLAY="},
         "display not specified\n"},
        {"-display as the last argument drops an earlier one",
         {"-display", "localhost:101", "-allow", "localhost", "-display"},
         {"DISPLAY="},
         "display not specified\n"},
        {"-display as the last argument falls back to DISPLAY",
         {"-allow", "localhost", "-display"},
         {"DISPLAY=no!env:0"},
         "no such host no!env\n"},
        {"one host after -allow is enough, the display comes from DISPLAY",
         {"-allow", "localhost"},
         {"DISPLAY=no!env:3"},
         "no such host no!env\n"},
        {"host part alone, without the number or screen",
         {"-display", "no!disp:0.1", "-allow", "localhost"},
         {"DISPLAY="},
         "no such host no!disp\n"},
        {"-display wins over DISPLAY",
         {"-display", "no!opt:0", "-allow", "localhost"},
         {"DISPLAY=localhost:0"},
         "no such host no!opt\n"},
        {"of two -display options the last counts",
         {"-display", "localhost:0", "-display", "no!two:0", "-allow", "localhost"},
         {"DISPLAY="},
         "no such host no!two\n"},
        {"of two -display options the last counts, reversed",
         {"-display", "no!one:0", "-display", "no!two:0", "-allow", "localhost"},
         {"DISPLAY="},
         "no such host no!two\n"},
        {"empty host part is looked up as an empty name",
         {"-display", ":0", "-allow", "localhost"},
         {"DISPLAY="},
         "no such host \n"},
        {"empty -display value counts as set",
         {"-display", "", "-allow", "localhost"},
         {"DISPLAY=localhost:101"},
         "no such host \n"},
        {"a name without ':' is all host part",
         {"-display", "no!colon", "-allow", "localhost"},
         {"DISPLAY="},
         "no such host no!colon\n"},
    });
}

// Failures of the listening socket's system calls, made by the preloaded shim; none of them
// gets as far as the announcement.
TEST(StartupListener, SystemCallFailures)
{
    const std::vector<std::string> args = {"-display", "localhost:101", "-allow", "127.0.0.2"};
    runtable({
        {"socket, out of descriptors",
         args,
         {"FAKE_SOCKET_ERRNO=24", "DISPLAY="},
         "socket: Too many open files\n"},
        {"socket, no IPv4",
         args,
         {"FAKE_SOCKET_ERRNO=97", "DISPLAY="},
         "socket: Address family not supported by protocol\n"},
        {"address reuse",
         args,
         {"FAKE_SETSOCKOPT_ERRNO=92", "DISPLAY="},
         "SO_REUSEADDR:: Protocol not available\n"},
        {"bind refused", args, {"FAKE_BIND_ERRNO=13", "DISPLAY="}, "bind: Permission denied\n"},
        {"bind, address not available",
         args,
         {"FAKE_BIND_ERRNO=99", "DISPLAY="},
         "bind: Cannot assign requested address\n"},
        {"IPv6 twin's socket, out of descriptors",
         args,
         {"FAKE_SOCKET_ERRNO=24", "FAKE_SOCKET_FAMILY=10", "DISPLAY="},
         "socket: Too many open files\n"},
        {"IPv6 twin's bind refused",
         args,
         {"FAKE_BIND_ERRNO=13", "FAKE_BIND_FAMILY=10", "DISPLAY="},
         "bind: Permission denied\n"},
        {"listen, taken on every port",
         args,
         {"FAKE_LISTEN_ERRNO=98", "DISPLAY="},
         "all ports in use.\n"},
        {"listen not supported",
         args,
         {"FAKE_LISTEN_ERRNO=95", "DISPLAY="},
         "listen: Operation not supported\n"},
    });
}
