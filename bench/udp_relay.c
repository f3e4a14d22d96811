/* The per-datagram limit reference: a UDP relay that does one recv and one send per
 * datagram, on one thread, for every stream that reaches its port. No SRT, no RIST:
 * what forwarding costs when each datagram wakes the relay once.
 * Usage: udp_relay IN_PORT OUT_PORT (both on 127.0.0.1). Runs until it is killed. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: udp_relay IN_PORT OUT_PORT\n");
    return 2;
  }
  int in = socket(AF_INET, SOCK_DGRAM, 0);
  int out = socket(AF_INET, SOCK_DGRAM, 0);
  int size = 32 << 20;
  if (setsockopt(in, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
    setsockopt(in, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  struct sockaddr_in address = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
  address.sin_port = htons((unsigned short)atoi(argv[1]));
  if (bind(in, (struct sockaddr*)&address, sizeof address) != 0) {
    perror("udp_relay: bind");
    return 1;
  }
  address.sin_port = htons((unsigned short)atoi(argv[2]));
  if (connect(out, (struct sockaddr*)&address, sizeof address) != 0) {
    perror("udp_relay: connect");
    return 1;
  }
  char buffer[2048];
  for (;;) {
    ssize_t received = recv(in, buffer, sizeof buffer, 0);
    if (received < 0) continue;
    send(out, buffer, (size_t)received, 0);
  }
}
