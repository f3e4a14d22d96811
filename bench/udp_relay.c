/* The per-datagram limit reference: a UDP relay that does one recv and one send per
 * datagram, on one thread, for every stream that reaches its port. No SRT, no RIST:
 * what forwarding costs when each datagram wakes the relay once.
 * Usage: udp_relay IN_PORT OUT_PORT (both on 127.0.0.1). Runs until it is killed. */
#include <sys/socket.h>

#include "udp_relay_sockets.h"

int main(int argc, char** argv) {
  int in, out;
  int status = open_relay_sockets("udp_relay", argc, argv, &in, &out);
  if (status != 0) return status;
  char buffer[2048];
  for (;;) {
    ssize_t received = recv(in, buffer, sizeof buffer, 0);
    if (received < 0) continue;
    send(out, buffer, (size_t)received, 0);
  }
}
