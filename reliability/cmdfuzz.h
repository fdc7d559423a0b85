// Hostile command lines for the real program: huge arguments, long allow lists, empty
// strings, options without their argument, bytes that are not UTF-8, stray dashes and colons.
// Seeded, so a failing case can be made again. Every host name is either numeric, "localhost"
// or junk: run the program in a network namespace of its own (unshare -n), where a name the
// resolver sends out can go nowhere.
#pragma once

#include <random>
#include <string>
#include <vector>

namespace cmdfuzz
{

inline std::string junk(std::mt19937_64& rng, size_t n)
{
    std::string s;
    std::uniform_int_distribution<int> b(1, 255); // argv strings cannot hold a NUL
    for (size_t i = 0; i < n; ++i)
        s.push_back(static_cast<char>(b(rng)));
    return s;
}

inline std::string token(std::mt19937_64& rng)
{
    static const char* const fixed[] = {"-allow",
                                        "-display",
                                        "-terse",
                                        "",
                                        "-",
                                        "--",
                                        "localhost",
                                        "127.0.0.1",
                                        "127.0.0.2",
                                        ":",
                                        "::",
                                        "localhost:",
                                        ":0",
                                        "localhost:0",
                                        "localhost:101",
                                        "localhost:65536",
                                        "localhost:-1",
                                        "localhost:99999999999999999999",
                                        "localhost:0.0",
                                        "localhost:abc",
                                        "127.0.0.1:100",
                                        "-allowx",
                                        "-display=",
                                        "0",
                                        "255.255.255.255",
                                        "1.2.3",
                                        "\xff\xfe",
                                        "\xc3\x28",
                                        "\xed\xa0\x80",
                                        "%s%s%n%n",
                                        "-terse-terse"};
    std::uniform_int_distribution<int> kind(0, 9);
    switch (kind(rng)) {
    case 0: {
        std::uniform_int_distribution<size_t> len(1, 4096);
        return junk(rng, len(rng));
    }
    case 1: {
        // Huge, up to the system's limit for one argument.
        std::uniform_int_distribution<size_t> len(4096, 120000);
        std::uniform_int_distribution<int> what(0, 2);
        const size_t n = len(rng);
        const int w = what(rng);
        if (w == 0)
            return std::string(n, 'a');
        if (w == 1)
            return "localhost:" + std::string(n, '9');
        return junk(rng, n);
    }
    default: {
        std::uniform_int_distribution<size_t> pick(0, sizeof fixed / sizeof fixed[0] - 1);
        return fixed[pick(rng)];
    }
    }
}

// One command line (without the program name).
inline std::vector<std::string> cmdline(std::mt19937_64& rng)
{
    std::vector<std::string> a;
    std::uniform_int_distribution<int> shape(0, 5);
    std::uniform_int_distribution<int> count(0, 12);
    switch (shape(rng)) {
    case 0: { // a long allow list: 17 or more hosts, some numeric, some junk
        std::uniform_int_distribution<int> hosts(14, 40);
        a = {"-display", "localhost:0", "-allow"};
        for (int i = hosts(rng); i > 0; --i)
            a.push_back(i % 5 == 0 ? token(rng) : "127.0.0." + std::to_string(i % 250 + 1));
        break;
    }
    case 1: // an option missing its argument at the end
    {
        static const char* const opts[] = {"-display", "-allow", "-terse"};
        std::uniform_int_distribution<int> o(0, 2);
        a = {"-allow", "127.0.0.2", opts[o(rng)]};
        break;
    }
    default:
        for (int i = count(rng); i > 0; --i)
            a.push_back(token(rng));
    }
    return a;
}

} // namespace cmdfuzz
