// Every byte the program writes to standard error goes through here.
#pragma once

#include <cstddef>
#include <string_view>

// Lines that standard error cannot take at once wait here; a line that finds it full is
// dropped and counted.
constexpr size_t DIAGQUEUE = 64 * 1024;

// Exactly text.size() bytes, one write per line, never waiting for standard error: what it
// cannot take now waits in the queue.
void say(std::string_view text);
[[gnu::format(printf, 1, 2)]] void sayf(const char* fmt, ...);
void saysys(const char* word);           // "word: <system error text>\n", as perror prints it
void saysysfd(int fd, const char* word); // "fd 7:" directly followed by the perror form
// text written whole on descriptor 2 itself, waiting for room if need be: for the last words of
// the program, and for a process that may wait (the lookup helper). Safe from several threads.
void saywhole(std::string_view text);
// A fatal message is written whole, after every queued line, even if that means waiting.
[[noreturn]] void die(std::string_view text);
[[noreturn]] void diesys(const char* word);
[[noreturn, gnu::format(printf, 1, 2)]] void dief(const char* fmt, ...);

// Finds the way to standard error that never waits (start-up; say() follows standard error
// again whenever its file changes).
void diagopen();
// The descriptor the loop watches for writing while lines wait; -1 while none do.
int diagwaiting();
// Writes what standard error takes now, then the count of lines lost, if any.
void diagflush();
// A descriptor on standard error's file that never blocks, for a child's own standard error;
// -1 when standard error has no such twin (a regular file never blocks anyway).
int diagnonblocking();
// Empties the queue, forgets the count and lets go of standard error's twin (tests, which
// replace standard error).
void diaginit();
