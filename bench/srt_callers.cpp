// The harness's SRT callers in one process, for loads of many streams. Every caller is
// bound to the same local UDP port, so libsrt serves them all with one pair of send and
// receive threads; srt-live-transmit, one process and one pair of threads per stream,
// costs the harness more than a core at 50 streams on a small machine.
// Usage: srt_callers TARGET... with TARGET = FD:PORT:STREAM_ID: the pipe the pacer
// writes, the relay's SRT port on 127.0.0.1 and the stream id. Prints "SRT target
// connected K" for caller K, then sends each pipe's 1316-byte units as SRT messages
// until every pipe is at its end.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <srt/srt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kUnit = 1316;
constexpr int kUnitsPerRead = 16;

struct Caller {
  int pipe = -1;
  int port = 0;
  std::string stream_id;
  SRTSOCKET socket = SRT_INVALID_SOCK;
};

bool parse_target(const char* text, Caller& caller) {
  const std::string target = text;
  const std::size_t first = target.find(':');
  const std::size_t second = target.find(':', first + 1);
  if (first == std::string::npos || second == std::string::npos) return false;
  caller.pipe = std::atoi(target.substr(0, first).c_str());
  caller.port = std::atoi(target.substr(first + 1, second - first - 1).c_str());
  caller.stream_id = target.substr(second + 1);
  return caller.pipe > 0 && caller.port > 0;
}

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Connects `caller` from `local_port` (0: any; the port it got is returned), or -1.
int connect_caller(Caller& caller, int local_port) {
  caller.socket = srt_create_socket();
  sockaddr_in local = loopback(local_port);
  sockaddr_in remote = loopback(caller.port);
  if (srt_setsockflag(caller.socket, SRTO_STREAMID, caller.stream_id.data(),
                      static_cast<int>(caller.stream_id.size())) == SRT_ERROR ||
      srt_bind(caller.socket, reinterpret_cast<sockaddr*>(&local), sizeof local) == SRT_ERROR ||
      srt_connect(caller.socket, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == SRT_ERROR) {
    std::fprintf(stderr, "srt_callers: %s: %s\n", caller.stream_id.c_str(), srt_getlasterror_str());
    return -1;
  }
  int length = sizeof local;
  srt_getsockname(caller.socket, reinterpret_cast<sockaddr*>(&local), &length);
  return ntohs(local.sin_port);
}

// Sends what the pipe holds; false at its end. The pacer writes whole units of at most
// PIPE_BUF bytes, so a read never ends inside a unit.
bool forward(Caller& caller) {
  char buffer[kUnitsPerRead * kUnit];
  const ssize_t got = read(caller.pipe, buffer, sizeof buffer);
  if (got == 0) return false;
  for (ssize_t offset = 0; offset + kUnit <= got; offset += kUnit) {
    srt_sendmsg2(caller.socket, buffer + offset, kUnit, nullptr);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<Caller> callers(static_cast<std::size_t>(argc - 1));
  for (int i = 1; i < argc; ++i) {
    if (!parse_target(argv[i], callers[static_cast<std::size_t>(i - 1)])) {
      std::fprintf(stderr, "usage: srt_callers FD:PORT:STREAM_ID...\n");
      return 2;
    }
  }
  srt_startup();
  int local_port = 0;
  for (std::size_t k = 0; k < callers.size(); ++k) {
    local_port = connect_caller(callers[k], local_port);
    if (local_port < 0) return 1;
    std::printf("SRT target connected %zu\n", k);
    std::fflush(stdout);
  }
  std::vector<pollfd> pipes;
  for (const Caller& caller : callers) pipes.push_back({caller.pipe, POLLIN, 0});
  std::size_t open_pipes = pipes.size();
  while (open_pipes > 0 && poll(pipes.data(), pipes.size(), -1) > 0) {
    for (std::size_t k = 0; k < pipes.size(); ++k) {
      if (pipes[k].revents == 0) continue;
      if (!forward(callers[k])) {
        pipes[k].fd = -1;
        --open_pipes;
      }
    }
  }
  for (const Caller& caller : callers) srt_close(caller.socket);
  srt_cleanup();
  return 0;
}
