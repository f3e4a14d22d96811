// Writes the deterministic TS-like payload into one pipe per stream at an exact rate.
// Usage: pacer RATE_BPS SECONDS HOLD_SECONDS TARGET...
// A TARGET is a pipe's file descriptor, or udp:PORT for one datagram per unit to
// 127.0.0.1:PORT (for the relays that take UDP). Stream k (the k-th TARGET) gets PID
// 0x100 + k; the first packet of each unit carries its send time (ts_pattern.h). Every stream carries
// floor(RATE_BPS * SECONDS / (8 * 1316)) units of 1316 bytes, written on schedule; a
// full pipe is retried, never skipped, and the lag is reported. Padding units (null PID)
// follow on the same schedule for half a second and push the tail through the callers
// and relays (a burst of padding instead loses the last units before it); then the
// pipes stay open HOLD_SECONDS before the callers see end of file.
// Prints one JSON object on standard output at the end.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "ts_pattern.h"

namespace {

struct Stream {
  int fd = -1;
  bool datagrams = false;  // a UDP socket: one unit per write
  std::uint16_t pid = 0;
  std::uint64_t units_sent = 0;
  std::uint64_t max_lag_units = 0;
  std::uint64_t full_pipe_events = 0;
  bool broken = false;  // the caller closed its end
};

std::int64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleep_ns(std::int64_t ns) {
  timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  nanosleep(&ts, nullptr);
}

// Units first_unit.. of a stream: unit u holds packets 7u..7u+6, stamped with the
// time now, or null packets from unit `payload_units` on.
void fill_units(std::uint8_t* out, std::uint16_t pid, std::uint64_t first_unit, std::size_t count,
                std::uint64_t payload_units) {
  const std::uint64_t sent_ns = static_cast<std::uint64_t>(now_ns());
  for (std::size_t u = 0; u < count; ++u) {
    const bool padding = first_unit + u >= payload_units;
    std::uint8_t* unit = out + u * ts_pattern::kUnit;
    for (std::size_t p = 0; p < ts_pattern::kPacketsPerUnit; ++p) {
      const std::uint64_t index = padding ? p : (first_unit + u) * ts_pattern::kPacketsPerUnit + p;
      ts_pattern::fill_packet(unit + p * ts_pattern::kPacket, padding ? ts_pattern::kNullPid : pid, index);
    }
    if (!padding) ts_pattern::stamp_packet(unit, sent_ns);
  }
}

// A non-blocking UDP socket connected to 127.0.0.1:port, or -1.
int open_udp_target(int port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  const int size = 8 << 20;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
  return fd;
}

// Writes what is due for one stream; at most three units per write so that each write
// stays below PIPE_BUF and is atomic (a unit is never split), one per datagram.
void write_due(Stream& stream, std::uint64_t due, std::uint64_t payload_units) {
  constexpr std::size_t kPipeBatch = 3;
  const std::size_t batch = stream.datagrams ? 1 : kPipeBatch;
  std::uint8_t buffer[kPipeBatch * ts_pattern::kUnit];
  if (due > stream.units_sent) {
    stream.max_lag_units = std::max(stream.max_lag_units, due - stream.units_sent);
  }
  while (stream.units_sent < due) {
    const std::size_t count =
        static_cast<std::size_t>(std::min<std::uint64_t>(batch, due - stream.units_sent));
    fill_units(buffer, stream.pid, stream.units_sent, count, payload_units);
    const ssize_t written = write(stream.fd, buffer, count * ts_pattern::kUnit);
    if (written < 0) {
      if (errno == EAGAIN) {
        ++stream.full_pipe_events;
      } else if (errno == EPIPE) {
        stream.broken = true;
      }
      return;
    }
    stream.units_sent += static_cast<std::uint64_t>(written) / ts_pattern::kUnit;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: pacer RATE_BPS SECONDS HOLD_SECONDS TARGET...\n");
    return 2;
  }
  const double rate_bps = std::strtod(argv[1], nullptr);
  const double seconds = std::strtod(argv[2], nullptr);
  const double hold_seconds = std::strtod(argv[3], nullptr);
  const std::uint64_t total_units =
      static_cast<std::uint64_t>(rate_bps * seconds / (8.0 * ts_pattern::kUnit));
  const long double units_per_ns = rate_bps / (8.0L * ts_pattern::kUnit * 1e9L);
  const std::uint64_t padding_units =
      std::max<std::uint64_t>(32, static_cast<std::uint64_t>(rate_bps * 0.5 / (8.0 * ts_pattern::kUnit)));
  const std::uint64_t scheduled_units = total_units + padding_units;

  std::vector<Stream> streams;
  for (int i = 4; i < argc; ++i) {
    Stream stream;
    stream.pid = static_cast<std::uint16_t>(ts_pattern::kFirstPid + streams.size());
    stream.datagrams = std::strncmp(argv[i], "udp:", 4) == 0;
    if (stream.datagrams) {
      stream.fd = open_udp_target(std::atoi(argv[i] + 4));
    } else {
      stream.fd = std::atoi(argv[i]);
      fcntl(stream.fd, F_SETPIPE_SZ, 1 << 20);
      fcntl(stream.fd, F_SETFL, fcntl(stream.fd, F_GETFL) | O_NONBLOCK);
    }
    streams.push_back(stream);
  }
  std::signal(SIGPIPE, SIG_IGN);
  prctl(PR_SET_TIMERSLACK, 1000UL);

  const std::int64_t start = now_ns();
  bool done = false;
  while (!done) {
    const std::int64_t elapsed = now_ns() - start;
    const std::uint64_t due =
        std::min<std::uint64_t>(scheduled_units, static_cast<std::uint64_t>(elapsed * units_per_ns));
    done = true;
    for (Stream& stream : streams) {
      if (!stream.broken) write_due(stream, due, total_units);
      done = done && (stream.broken || stream.units_sent == scheduled_units);
    }
    if (!done) sleep_ns(250000);
    if (elapsed > static_cast<std::int64_t>((seconds + 30.0) * 1e9)) break;
  }
  const double send_seconds = static_cast<double>(now_ns() - start) / 1e9;
  sleep_ns(static_cast<std::int64_t>(hold_seconds * 1e9));
  for (Stream& stream : streams) close(stream.fd);

  std::uint64_t max_lag = 0;
  std::uint64_t full_pipe = 0;
  std::string sent;
  for (const Stream& stream : streams) {
    max_lag = std::max(max_lag, stream.max_lag_units);
    full_pipe += stream.full_pipe_events;
    const std::uint64_t payload_sent = std::min(stream.units_sent, total_units);
    sent += (sent.empty() ? "" : ",") + std::to_string(payload_sent * ts_pattern::kPacketsPerUnit);
  }
  std::printf(
      "{\"packets_per_stream\":%llu,\"sent_packets\":[%s],\"send_seconds\":%.3f,"
      "\"max_lag_units\":%llu,\"full_pipe_events\":%llu}\n",
      static_cast<unsigned long long>(total_units * ts_pattern::kPacketsPerUnit), sent.c_str(), send_seconds,
      static_cast<unsigned long long>(max_lag), static_cast<unsigned long long>(full_pipe));
  return 0;
}
