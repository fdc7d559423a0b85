// Start-up failures before any port is announced: the command line as the shipped program
// reads it, and the listening socket's system calls.
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

// Runs each case and checks the exact bytes of both streams and exit status 1.
void runtable(const std::vector<failcase>& table)
{
    for (const auto& c : table) {
        SCOPED_TRACE(c.what);
        const cmdresult r = runvk(c.args, c.env);
        EXPECT_EQ(r.exitcode(), 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
}

} // namespace

// How the command line is read is the parser's unit tests' matter. Here: that the shipped
// program reads it, with the system's resolver and environment, one case for each way it can
// end; and the rows the parser's table does not hold.
TEST(StartupCommandLine, TheShippedProgramEndsWithTheParsersMessage)
{
    const std::vector<std::string> nodisplay = {"DISPLAY="};
    const std::vector<std::string> okdisplay = {"DISPLAY=localhost:0"};
    runtable({
        {"too few arguments", {"-allow"}, nodisplay, USAGE},
        {"second allowed host unknown",
         {"-allow", "localhost", "no!second"},
         okdisplay,
         "no such host no!second\n"},
        {"no -display and no DISPLAY",
         {"-allow", "localhost", "127.0.0.2"},
         nodisplay,
         "display not specified\n"},
        {"display host unknown, from DISPLAY",
         {"-allow", "localhost"},
         {"DISPLAY=no!env:3"},
         "no such host no!env\n"},
        {"empty -display value counts as set",
         {"-display", "", "-allow", "localhost"},
         {"DISPLAY=localhost:101"},
         "no such host \n"},
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
