// Every byte the program writes to standard error goes through here.
#pragma once

#include <string_view>

void say(std::string_view text); // exactly text.size() bytes, in one write when possible
[[gnu::format(printf, 1, 2)]] void sayf(const char* fmt, ...);
void saysys(const char* word);           // "word: <system error text>\n", as perror prints it
void saysysfd(int fd, const char* word); // "fd 7:" directly followed by the perror form
[[noreturn]] void die(std::string_view text);
[[noreturn]] void diesys(const char* word);
[[noreturn, gnu::format(printf, 1, 2)]] void dief(const char* fmt, ...);
