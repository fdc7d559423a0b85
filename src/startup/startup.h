// Start-up from the command line to the loop: listener, announcement, destination checks.
#pragma once

#include <cstdint>
#include <string>

// Descriptors 0, 1 and 2 that are not open are opened on /dev/null, before anything else, so
// that no socket ever takes their numbers and receives what was meant for them.
void openstandard();
// The destination display number as the text after the first ':' reads, kept to 16 bits;
// a name without ':' reads as 0.
uint16_t displaynumber(const char* name);
// The name by which the destination is opened: the dotted address, then everything from the
// first ':' of name on (display and screen numbers); the host part is never looked up again.
std::string destinationname(uint32_t addr, const char* name);
// Everything after the command line up to the tables: listener (lsock), announcement,
// destination checks and probe, standard input and output closed, SIGPIPE ignored.
void startup();
