// The few system calls whose failures tests must provoke. Production never reassigns them.
#pragma once

#include <cstdlib>
#include <netdb.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sys
{
inline int (*select)(int, fd_set*, fd_set*, fd_set*, timeval*) = ::select;
inline int (*accept)(int, sockaddr*, socklen_t*) = ::accept;
inline pid_t (*fork)() = ::fork;
inline pid_t (*waitpid)(pid_t, int*, int) = ::waitpid;
inline ssize_t (*read)(int, void*, size_t) = ::read;
inline ssize_t (*write)(int, const void*, size_t) = ::write;
inline void* (*calloc)(size_t, size_t) = std::calloc;
inline int (*gethostname)(char*, size_t) = ::gethostname;
inline hostent* (*gethostbyname)(const char*) = ::gethostbyname;
inline int (*gethostbyaddr_r)(const void*, socklen_t, int, hostent*, char*, size_t, hostent**,
                              int*) = ::gethostbyaddr_r;
} // namespace sys
