#pragma once

// The socket addresses and conversions (sockaddr_in, htons, inet_pton, inet_ntop,
// getnameinfo) that the SRT and HTTP code fill and read. Both platforms offer the same
// calls; only the headers that declare them differ, so this is the one place that
// chooses by platform.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif
