// Diagnostics on standard error: exact bytes, one write per line.
#include "diag.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

void say(std::string_view text)
{
    const char* p = text.data();
    size_t left = text.size();
    int tries = 0;
    while (left > 0 && tries < 100) {
        const ssize_t n = ::write(2, p, left);
        if (n < 0) {
            if (errno == EINTR) {
                ++tries;
                continue;
            }
            return; // nowhere else to report it
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

[[gnu::format(printf, 1, 0)]] static void vsayf(const char* fmt, va_list ap)
{
    va_list ap2;
    va_copy(ap2, ap);
    const int len = std::vsnprintf(nullptr, 0, fmt, ap);
    if (len < 0) {
        va_end(ap2);
        return;
    }
    std::string line(static_cast<size_t>(len) + 1, '\0');
    std::vsnprintf(line.data(), line.size(), fmt, ap2);
    va_end(ap2);
    line.resize(static_cast<size_t>(len));
    say(line);
}

void sayf(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsayf(fmt, ap);
    va_end(ap);
}

void dief(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsayf(fmt, ap);
    va_end(ap);
    std::exit(1);
}

void saysys(const char* word)
{
    const int e = errno; // save first: building the line may change errno
    say(std::string(word) + ": " + std::strerror(e) + "\n");
}

void saysysfd(int fd, const char* word)
{
    const int e = errno;
    say("fd " + std::to_string(fd) + ":" + word + ": " + std::strerror(e) + "\n");
}

void die(std::string_view text)
{
    say(text);
    std::exit(1);
}

void diesys(const char* word)
{
    saysys(word);
    std::exit(1);
}
