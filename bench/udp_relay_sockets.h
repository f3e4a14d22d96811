/* The two sockets of a UDP limit reference relay: `in` bound to 127.0.0.1:IN_PORT with a
 * 32 MiB receive buffer (so that the kernel, not the buffer, is what a burst meets), and
 * `out` connected to 127.0.0.1:OUT_PORT with as large a send buffer. */
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>

static void set_buffer(int socket_fd, int forced, int plain) {
  int size = 32 << 20;
  if (setsockopt(socket_fd, SOL_SOCKET, forced, &size, sizeof size) != 0)
    setsockopt(socket_fd, SOL_SOCKET, plain, &size, sizeof size);
}

/* Reads the ports from argv; 0 when both sockets are ready, else the process's exit status. */
static int open_relay_sockets(const char* name, int argc, char** argv, int* in, int* out) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s IN_PORT OUT_PORT\n", name);
    return 2;
  }
  *in = socket(AF_INET, SOCK_DGRAM, 0);
  *out = socket(AF_INET, SOCK_DGRAM, 0);
  set_buffer(*in, SO_RCVBUFFORCE, SO_RCVBUF);
  set_buffer(*out, SO_SNDBUFFORCE, SO_SNDBUF);
  struct sockaddr_in address = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
  address.sin_port = htons((unsigned short)atoi(argv[1]));
  if (bind(*in, (struct sockaddr*)&address, sizeof address) != 0) {
    fprintf(stderr, "%s: ", name);
    perror("bind");
    return 1;
  }
  address.sin_port = htons((unsigned short)atoi(argv[2]));
  if (connect(*out, (struct sockaddr*)&address, sizeof address) != 0) {
    fprintf(stderr, "%s: ", name);
    perror("connect");
    return 1;
  }
  return 0;
}
