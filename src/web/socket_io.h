#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <string>

// The few socket calls that the HTTP server's connections make themselves, on the
// library's socket type; one source file per platform. Every call may run on any
// thread; a socket is read and written by the one worker that serves it.

// Waits until sock has bytes (or its end) to read, or room to write; false when the
// time ran out or the socket failed.
bool wait_until_readable(socket_t sock, std::chrono::milliseconds timeout);
bool wait_until_writable(socket_t sock, std::chrono::milliseconds timeout);

// One receive: the bytes read, 0 at the end of the stream, -1 on an error.
long receive_some(socket_t sock, char* buffer, std::size_t size);

// One send that never raises SIGPIPE: the bytes sent, or -1 on an error.
long send_some(socket_t sock, const char* data, std::size_t size);

// Tells the far end that nothing more will be sent; reading goes on.
void shut_down_sending(socket_t sock);

// Ends both directions: a thread waiting on the socket wakes up and sees its end. The
// descriptor stays open until close_socket.
void shut_down_socket(socket_t sock);
void close_socket(socket_t sock);

// The numeric address and port of the far end, or of this end, of a connection.
bool peer_endpoint(socket_t sock, std::string& address, int& port);
bool local_endpoint(socket_t sock, std::string& address, int& port);

// The machine's name as gethostname gives it; empty when it cannot be read.
std::string this_host_name();

// Sets the backlog of a socket that already listens.
void set_listen_backlog(socket_t sock, int backlog);

// Options of a listening socket: its port can be bound again right after a restart,
// but never by a second process while this one listens.
void set_exclusive_listen_options(socket_t sock);
