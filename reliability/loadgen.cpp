// Load generator and destination server for seeded, byte-checked streams through the relay.
//   loadgen --relay PORT [--src ADDR] --conns N [--bytes B] [--dest PORT] ...   clients
//   loadgen --dest PORT --serve-for MS ...                                     server only
// With both --relay and --dest one process runs the clients and the destination server, so
// every byte is checked on both ends. Exit status 0 when nothing was lost, corrupt or extra.
#include "load.h"

#include <cstdio>
#include <cstdlib>
#include <string>

static uint64_t size(const char* s)
{
    char* end = nullptr;
    uint64_t v = std::strtoull(s, &end, 10);
    if (*end == 'K' || *end == 'k')
        v <<= 10;
    else if (*end == 'M' || *end == 'm')
        v <<= 20;
    else if (*end == 'G' || *end == 'g')
        v <<= 30;
    return v;
}

int main(int argc, char** argv)
{
    load::options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const char* v = argv[i + 1];
        if (a == "--relay")
            o.relayport = std::atoi(v);
        else if (a == "--src")
            o.srcaddr = v;
        else if (a == "--conns")
            o.conns = std::atoi(v);
        else if (a == "--bytes")
            o.bytes = size(v);
        else if (a == "--seed")
            o.seed = std::strtoull(v, nullptr, 10);
        else if (a == "--dest")
            o.destport = std::atoi(v);
        else if (a == "--maxchunk")
            o.maxchunk = static_cast<int>(size(v));
        else if (a == "--pausepct")
            o.pausepct = std::atoi(v);
        else if (a == "--maxpause")
            o.maxpausems = std::atoi(v);
        else if (a == "--window")
            o.window = std::atoi(v);
        else if (a == "--maxopen")
            o.maxopen = std::atoi(v);
        else if (a == "--barrier")
            o.barrier = std::atoi(v) != 0;
        else if (a == "--timeout")
            o.timeoutms = std::atoi(v);
        else if (a == "--serve-for")
            o.serveforms = std::atoi(v);
        else {
            std::fprintf(stderr, "loadgen: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (o.conns > 0 && o.relayport <= 0) {
        std::fprintf(stderr, "loadgen: --conns needs --relay\n");
        return 2;
    }
    const load::result r = load::run(o);
    std::fputs(load::summary(r).c_str(), stdout);
    const bool clean = r.corrupt == 0 && r.lost == 0 && r.extra == 0 && r.badheaders == 0 &&
                       !r.timedout && r.failed == 0;
    return clean ? 0 : 1;
}
