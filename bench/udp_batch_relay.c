/* The batching limit reference: a UDP relay woken every millisecond that takes every
 * datagram queued on its port with recvmmsg and sends them on with sendmmsg, on one
 * thread, for every stream that reaches its port. No SRT, no RIST: what forwarding
 * costs when the wake-ups no longer follow the packets (at most 1 ms added).
 * Usage: udp_batch_relay IN_PORT OUT_PORT (both on 127.0.0.1). Runs until it is killed. */
#define _GNU_SOURCE
#include <sys/socket.h>
#include <time.h>

#include "udp_relay_sockets.h"

enum { kBatch = 256, kMaxDatagram = 2048 };

static char buffers[kBatch][kMaxDatagram];
static struct mmsghdr messages[kBatch];
static struct iovec vectors[kBatch];

/* Takes what is queued, up to kBatch datagrams; returns how many. */
static int take_queued(int in) {
  for (int i = 0; i < kBatch; ++i) {
    vectors[i].iov_base = buffers[i];
    vectors[i].iov_len = kMaxDatagram;
    messages[i].msg_hdr = (struct msghdr){.msg_iov = &vectors[i], .msg_iovlen = 1};
  }
  return recvmmsg(in, messages, kBatch, MSG_DONTWAIT, NULL);
}

static void send_all(int out, int count) {
  for (int i = 0; i < count; ++i) vectors[i].iov_len = messages[i].msg_len;
  int sent = 0;
  while (sent < count) {
    int result = sendmmsg(out, messages + sent, (unsigned)(count - sent), 0);
    if (result <= 0) return;
    sent += result;
  }
}

int main(int argc, char** argv) {
  int in, out;
  int status = open_relay_sockets("udp_batch_relay", argc, argv, &in, &out);
  if (status != 0) return status;
  struct timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (;;) {
    next.tv_nsec += 1000000;
    if (next.tv_nsec >= 1000000000) {
      next.tv_nsec -= 1000000000;
      ++next.tv_sec;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL);
    int count;
    while ((count = take_queued(in)) > 0) send_all(out, count);
  }
}
