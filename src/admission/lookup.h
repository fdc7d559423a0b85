// The lookup helper: one process that finds refused clients' names and writes their lines.
#pragma once

#include <netinet/in.h>
#include <string>

constexpr int LOOKUPTHREADS = 16; // lookups under way at once; a silent resolver holds each
constexpr int LOOKUPQUEUE = 1024; // addresses waiting for a thread

// What the helper reads from its pipe, one record per refused client.
struct lookupreq {
    uint32_t addr; // network byte order
    uint32_t family;
};

// "bad host connect from NAME (ADDRESS)\n"; with no name, the dotted address in its place.
std::string refusedline(const char* name, in_addr addr);
// The helper's life: reads requests from in until the program ends, writes each line to
// standard error within LOOKUPLIMITMS of the request. Never returns.
[[noreturn]] void lookuphelper(int in);
