// The command line and the configuration it produces; set once, read for the whole run.
#pragma once

#include <cstdint>
#include <netinet/in.h>

constexpr int MAXALLOW = 16;
constexpr int MYNAMESIZE = 256;

extern char myname[MYNAMESIZE]; // the local host's canonical name
extern int terse;
extern const char* dispname;       // the destination display name in full, not copied
extern char* disphost;             // the characters of dispname before its first ':'
extern uint32_t dispaddr;          // first IPv4 address of disphost, network byte order
extern char* allownames[MAXALLOW]; // as typed on the command line
extern uint32_t allowaddrs[MAXALLOW];
extern int nallow;
extern int progargc; // the command line as main received it, for the toolkit
extern char** progargv;

// Start-up results: set once before the loop starts, read by the loop and by admission.
constexpr int XPORTBASE = 6000; // the TCP port of display 0
constexpr int MAXDISPLAY = 100; // the highest display number, local or destination
extern int lsock;               // the listening descriptor
extern int mynum;               // the local display number
extern uint16_t dispnum;        // the destination display number
extern sockaddr_in forward_to;  // the destination X server
extern const char* destname;    // how the probe and the dialogs open it: by forward_to's address

// Fills the configuration from the command line, DISPLAY and the resolver; exits 1 on failure.
void parseargs(int argc, char** argv);
[[noreturn]] void usage();
// Start-of-run state of the configuration (for tests that parse several command lines).
void configinit();
