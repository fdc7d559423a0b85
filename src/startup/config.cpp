// Command line, local host name, allow list and destination display host.
#include "config.h"

#include "diag.h"
#include "sys.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

char myname[MYNAMESIZE];
int terse;
const char* dispname;
char* disphost;
uint32_t dispaddr;
char* allownames[MAXALLOW];
uint32_t allowaddrs[MAXALLOW];
int nallow;
int progargc;
char** progargv;

int lsock = -1;
int mynum;
uint16_t dispnum;
sockaddr_in forward_to;
const char* destname;

void configinit()
{
    std::memset(myname, 0, sizeof myname);
    terse = 0;
    dispname = nullptr;
    disphost = nullptr;
    dispaddr = 0;
    for (int i = 0; i < MAXALLOW; ++i) {
        allownames[i] = nullptr;
        allowaddrs[i] = 0;
    }
    nallow = 0;
}

void usage()
{
    die("usage: velkoran [-terse] [-display dispname] -allow host1 [host2 ... host16]\n");
}

// The first IPv4 address of a resolver answer; false when there is none to take.
static bool firstaddr(const hostent* h, uint32_t* addr)
{
    if (h == nullptr || h->h_addr_list == nullptr || h->h_addr_list[0] == nullptr ||
        h->h_length < 4)
        return false;
    std::memcpy(addr, h->h_addr_list[0], 4);
    return true;
}

static char* copyof(const char* s, size_t n)
{
    char* c = static_cast<char*>(std::malloc(n + 1));
    if (c == nullptr)
        die("out of memory\n");
    std::memcpy(c, s, n);
    c[n] = '\0';
    return c;
}

static void ownname()
{
    char raw[MYNAMESIZE + 1] = {};
    if (sys::gethostname(raw, MYNAMESIZE) != 0)
        raw[0] = '\0';
    raw[MYNAMESIZE - 1] = '\0'; // a cut name need not be terminated
    std::memcpy(myname, raw, MYNAMESIZE);
    const hostent* h = raw[0] != '\0' ? sys::gethostbyname(raw) : nullptr;
    if (h == nullptr || h->h_name == nullptr)
        dief("Can't lookup up my own hostname %s\n", raw); // "lookup up" as users know it
    // A canonical name too long for the buffer is cut, never overrun.
    std::strncpy(myname, h->h_name, MYNAMESIZE - 1);
    myname[MYNAMESIZE - 1] = '\0';
}

static void allowhost(const char* name)
{
    if (nallow >= MAXALLOW)
        usage(); // the list has MAXALLOW slots; a further host is never looked up
    uint32_t addr = 0;
    if (!firstaddr(sys::gethostbyname(name), &addr))
        dief("no such host %s\n", name);
    allownames[nallow] = copyof(name, std::strlen(name));
    allowaddrs[nallow] = addr;
    ++nallow;
}

void parseargs(int argc, char** argv)
{
    progargc = argc;
    progargv = argv;
    if (argc <= 2)
        usage();
    ownname();

    bool haveopt = false; // a -display seen; the last one decides
    const char* optdisp = nullptr;
    int i = 1;
    while (i < argc) {
        const std::string_view a = argv[i];
        if (a == "-display") {
            haveopt = i + 1 < argc;
            optdisp = haveopt ? argv[i + 1] : nullptr;
            i += 2;
        } else if (a == "-terse") {
            terse = 1;
            i += 1;
        } else if (a == "-allow") {
            int j = i + 1;
            if (j >= argc)
                usage(); // at least one host must follow
            for (;;) {
                allowhost(argv[j]);
                if (j + 1 < argc && argv[j + 1][0] != '-')
                    ++j;
                else
                    break;
            }
            i = j + 1;
        } else {
            usage();
        }
    }

    dispname = haveopt ? optdisp : std::getenv("DISPLAY");
    if (dispname == nullptr)
        die("display not specified\n");

    const char* colon = std::strchr(dispname, ':');
    const size_t n =
        colon != nullptr ? static_cast<size_t>(colon - dispname) : std::strlen(dispname);
    disphost = copyof(dispname, n);
    if (!firstaddr(sys::gethostbyname(disphost), &dispaddr))
        dief("no such host %s\n", disphost);
}
