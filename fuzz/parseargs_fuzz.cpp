// Fuzz target: the command line parser with a stand-in resolver.
//
// Input: one byte choosing the local host name and DISPLAY, then the arguments separated by
// NUL bytes. Each argument is a heap copy of its own, so a read past any of them is caught.
// The parser ends every failure with exit(1); the link wraps exit (-Wl,--wrap=exit) so that an
// exit taken inside the parser jumps back here instead of ending the fuzzer. No object with a
// destructor is alive in the parser when it exits, so the jump skips nothing that matters; an
// exit status other than 1 is a fault. Whatever the parser allocated is freed here afterwards,
// so the leak checker still sees real leaks.
#include "startup/config.h"
#include "startup/startup.h"
#include "sys.h"

#include <arpa/inet.h>
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" void __real_exit(int);

static std::jmp_buf back;
static bool inparser = false;
static int exitcode = -1;

extern "C" void __wrap_exit(int code)
{
    if (!inparser)
        __real_exit(code);
    exitcode = code;
    std::longjmp(back, 1);
}

static int hostmode;

static int fakegethostname(char* name, size_t len)
{
    switch (hostmode) {
    case 0:
        std::strncpy(name, "fuzzhost", len);
        return 0;
    case 1:
        return -1;
    case 2: // exactly the buffer, no terminating NUL
        std::memset(name, 'h', len);
        return 0;
    default:
        std::strncpy(name, "", len);
        return 0;
    }
}

// Answers from the name alone: "!" names are unknown, "~" names have an answer without
// addresses, names starting with a digit or "localhost" or "fuzzhost" resolve; the canonical
// name may be longer than the 256-byte buffer.
static hostent* fakegethostbyname(const char* name)
{
    static in_addr addr;
    static char* list[2];
    static char* none[1];
    static std::string canon;
    static hostent h;
    if (name == nullptr || name[0] == '!' || name[0] == '\0')
        return nullptr;
    const size_t n = std::strlen(name);
    addr.s_addr = htonl(0x7f000000U | static_cast<uint32_t>(n * 2654435761U & 0xffffffU));
    list[0] = reinterpret_cast<char*>(&addr);
    list[1] = nullptr;
    none[0] = nullptr;
    canon = name[0] == 'L' ? std::string(300, 'c') : std::string(name);
    h.h_name = canon.data();
    h.h_aliases = none;
    h.h_addrtype = AF_INET;
    h.h_length = name[0] == '3' ? 2 : 4;
    h.h_addr_list = name[0] == '~' ? none : list;
    if (name[0] == '~' || name[0] == '3' || (name[0] >= '0' && name[0] <= '9') ||
        std::strncmp(name, "localhost", 9) == 0 || std::strncmp(name, "fuzzhost", 8) == 0 ||
        std::strncmp(name, "hhhh", 4) == 0 || name[0] == 'L')
        return &h;
    return nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    sys::gethostname = fakegethostname;
    sys::gethostbyname = fakegethostbyname;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size > 65536)
        return 0;
    hostmode = data[0] & 3;
    static const char* const displays[] = {
        nullptr, "localhost:0", "", "fuzzhost", "9:99999", ":", "localhost:65637.3", "!nohost:1"};
    const char* d = displays[(data[0] >> 2) & 7];
    if (d != nullptr)
        setenv("DISPLAY", d, 1);
    else
        unsetenv("DISPLAY");

    std::vector<char*> argv;
    argv.push_back(strdup("velkoran"));
    size_t at = 1;
    while (at < size) {
        const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data + at, 0, size - at));
        const size_t n = nul != nullptr ? static_cast<size_t>(nul - (data + at)) : size - at;
        auto* a = static_cast<char*>(std::malloc(n + 1));
        std::memcpy(a, data + at, n);
        a[n] = '\0';
        argv.push_back(a);
        at += n + 1;
    }
    const int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);

    configinit();
    exitcode = -1;
    inparser = true;
    if (setjmp(back) == 0) {
        parseargs(argc, argv.data());
        inparser = false;
        // A configuration the parser accepted: the display number reads within the name.
        if (dispname == nullptr || disphost == nullptr || std::strlen(myname) >= MYNAMESIZE)
            __builtin_trap();
        (void)displaynumber(dispname);
    }
    inparser = false;
    if (exitcode != -1 && exitcode != 1)
        __builtin_trap(); // every failure of the command line ends with status 1

    for (int i = 0; i < MAXALLOW; ++i)
        std::free(allownames[i]);
    std::free(disphost);
    configinit();
    for (char* a : argv)
        std::free(a);
    return 0;
}
