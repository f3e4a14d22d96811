// Receives the relayed payload on one UDP port and checks every byte of it.
// Usage: sink PORT STREAMS PACKETS_PER_STREAM DEADLINE_SECONDS IDLE_SECONDS
// Streams are told apart by PID (0x100 + k). A packet counts as delivered once when
// it arrives intact with an index below PACKETS_PER_STREAM; anything else is counted
// as corrupt (bad size, sync, PID, index or filler) or duplicate. Ends when every
// stream is complete, at the deadline, after IDLE_SECONDS without data (once data has
// arrived), or on SIGTERM/SIGINT, and prints one JSON object on standard output. The
// latency of every unit is its arrival less the pacer's stamp (the same monotonic
// clock): median, 99th percentile and highest, in milliseconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

volatile std::sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

struct StreamCheck {
  std::vector<std::uint64_t> seen;  // one bit per packet index
  std::uint64_t delivered = 0;
  std::uint64_t duplicates = 0;
};

struct Totals {
  std::uint64_t datagrams = 0;
  std::uint64_t bytes = 0;
  std::uint64_t corrupt = 0;
  std::uint64_t odd_datagrams = 0;
  std::uint32_t socket_drops = 0;           // datagrams the kernel dropped on a full receive buffer
  std::vector<std::uint32_t> latencies_us;  // one per unit delivered, first copy only
};

std::uint64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000 + static_cast<std::uint64_t>(ts.tv_nsec);
}

double now_s() { return static_cast<double>(now_ns()) / 1e9; }

// A stamp is plausible when it lies in the last minute: anything else is a corrupt packet.
bool stamp_plausible(std::uint64_t sent_ns, std::uint64_t arrived_ns) {
  return sent_ns <= arrived_ns && arrived_ns - sent_ns < 60'000'000'000ULL;
}

int open_socket(int port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  const int size = 32 << 20;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("sink: bind");
    std::exit(1);
  }
  return fd;
}

void note_drops(msghdr& header, Totals& totals) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
      std::uint32_t drops = 0;
      std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
      totals.socket_drops = std::max(totals.socket_drops, drops);
    }
  }
}

void check_packet(const std::uint8_t* packet, std::vector<StreamCheck>& streams, std::uint64_t per_stream,
                  std::uint64_t arrived_ns, Totals& totals) {
  if (ts_pattern::pid_of(packet) == ts_pattern::kNullPid) return;
  const std::size_t stream = static_cast<std::size_t>(ts_pattern::pid_of(packet) - ts_pattern::kFirstPid);
  const std::uint64_t index = ts_pattern::index_of(packet);
  const bool stamped = ts_pattern::is_stamped(index);
  if (stream >= streams.size() || index >= per_stream || !ts_pattern::packet_intact(packet) ||
      (stamped && !stamp_plausible(ts_pattern::stamp_of(packet), arrived_ns))) {
    ++totals.corrupt;
    return;
  }
  StreamCheck& check = streams[stream];
  std::uint64_t& word = check.seen[index / 64];
  const std::uint64_t bit = std::uint64_t{1} << (index % 64);
  if (word & bit) {
    ++check.duplicates;
    return;
  }
  word |= bit;
  ++check.delivered;
  if (stamped) {
    totals.latencies_us.push_back(
        static_cast<std::uint32_t>((arrived_ns - ts_pattern::stamp_of(packet)) / 1000));
  }
}

void check_datagram(const std::uint8_t* data, std::size_t size, std::vector<StreamCheck>& streams,
                    std::uint64_t per_stream, std::uint64_t arrived_ns, Totals& totals) {
  ++totals.datagrams;
  totals.bytes += size;
  if (size % ts_pattern::kPacket != 0) ++totals.odd_datagrams;
  for (std::size_t offset = 0; offset + ts_pattern::kPacket <= size; offset += ts_pattern::kPacket) {
    check_packet(data + offset, streams, per_stream, arrived_ns, totals);
  }
}

bool all_complete(const std::vector<StreamCheck>& streams, std::uint64_t per_stream) {
  for (const StreamCheck& check : streams) {
    if (check.delivered < per_stream) return false;
  }
  return true;
}

// The first few runs of missing packet indices of a stream, as "[first,last]" pairs.
std::string missing_ranges(const StreamCheck& check, std::uint64_t per_stream) {
  std::string ranges;
  int listed = 0;
  std::uint64_t index = 0;
  while (index < per_stream && listed < 4) {
    if (check.seen[index / 64] & (std::uint64_t{1} << (index % 64))) {
      ++index;
      continue;
    }
    const std::uint64_t first = index;
    while (index < per_stream && !(check.seen[index / 64] & (std::uint64_t{1} << (index % 64)))) ++index;
    ranges += (ranges.empty() ? "[" : ",[") + std::to_string(first) + "," + std::to_string(index - 1) + "]";
    ++listed;
  }
  return "[" + ranges + "]";
}

// Packets of the stream's first unit that never arrived: start-up loss, kept apart.
std::uint64_t missing_in_first_unit(const StreamCheck& check, std::uint64_t per_stream) {
  std::uint64_t missing = 0;
  for (std::uint64_t index = 0; index < ts_pattern::kPacketsPerUnit && index < per_stream; ++index) {
    if (!(check.seen[0] & (std::uint64_t{1} << index))) ++missing;
  }
  return missing;
}

// The latency below which the given share of the units arrived, in milliseconds.
double latency_ms(std::vector<std::uint32_t>& latencies_us, double share) {
  if (latencies_us.empty()) return -1;
  const std::size_t rank = static_cast<std::size_t>(share * static_cast<double>(latencies_us.size() - 1));
  std::nth_element(latencies_us.begin(), latencies_us.begin() + static_cast<std::ptrdiff_t>(rank),
                   latencies_us.end());
  return latencies_us[rank] / 1000.0;
}

void print_report(const std::vector<StreamCheck>& streams, std::uint64_t per_stream, Totals& totals,
                  double first, double last) {
  std::string delivered;
  std::string duplicates;
  std::string first_unit;
  const auto worst =
      std::min_element(streams.begin(), streams.end(),
                       [](const StreamCheck& a, const StreamCheck& b) { return a.delivered < b.delivered; });
  std::string missing = missing_ranges(*worst, per_stream);
  for (const StreamCheck& check : streams) {
    delivered += (delivered.empty() ? "" : ",") + std::to_string(check.delivered);
    first_unit += (first_unit.empty() ? "" : ",") + std::to_string(missing_in_first_unit(check, per_stream));
    duplicates += (duplicates.empty() ? "" : ",") + std::to_string(check.duplicates);
  }
  std::printf(
      "{\"delivered\":[%s],\"missing_in_first_unit\":[%s],\"duplicates\":[%s],\"corrupt\":%llu,\"odd_"
      "datagrams\":%llu,\"socket_drops\":%u,"
      "\"datagrams\":%llu,\"bytes\":%llu,\"first_at\":%.3f,\"last_at\":%.3f,"
      "\"worst_stream\":%zu,\"missing_in_worst_stream\":%s,"
      "\"latency_ms\":{\"median\":%.3f,\"p99\":%.3f,\"max\":%.3f}}\n",
      delivered.c_str(), first_unit.c_str(), duplicates.c_str(),
      static_cast<unsigned long long>(totals.corrupt), static_cast<unsigned long long>(totals.odd_datagrams),
      totals.socket_drops, static_cast<unsigned long long>(totals.datagrams),
      static_cast<unsigned long long>(totals.bytes), first, last,
      static_cast<std::size_t>(worst - streams.begin()), missing.c_str(),
      latency_ms(totals.latencies_us, 0.5), latency_ms(totals.latencies_us, 0.99),
      latency_ms(totals.latencies_us, 1.0));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: sink PORT STREAMS PACKETS_PER_STREAM DEADLINE_SECONDS IDLE_SECONDS\n");
    return 2;
  }
  const int fd = open_socket(std::atoi(argv[1]));
  const std::uint64_t per_stream = std::strtoull(argv[3], nullptr, 10);
  std::vector<StreamCheck> streams(static_cast<std::size_t>(std::atoi(argv[2])));
  for (StreamCheck& check : streams) check.seen.assign(per_stream / 64 + 1, 0);
  const double deadline = now_s() + std::strtod(argv[4], nullptr);
  const double idle_limit = std::strtod(argv[5], nullptr);
  std::signal(SIGTERM, on_signal);
  std::signal(SIGINT, on_signal);
  std::printf("{\"ready\":true}\n");
  std::fflush(stdout);

  constexpr int kBatch = 64;
  constexpr std::size_t kMaxDatagram = 2048;
  std::vector<std::uint8_t> buffers(kBatch * kMaxDatagram);
  mmsghdr messages[kBatch];
  iovec vectors[kBatch];
  constexpr std::size_t kControl = 64;
  std::vector<std::uint8_t> controls(kBatch * kControl);
  Totals totals;
  const double started = now_s();
  double first = -1;
  double last = -1;
  while (!g_stop && now_s() < deadline && !all_complete(streams, per_stream)) {
    if (last >= 0 && now_s() - started - last > idle_limit) break;
    pollfd waiting{fd, POLLIN, 0};
    if (poll(&waiting, 1, 100) <= 0) continue;
    for (int i = 0; i < kBatch; ++i) {
      vectors[i] = {buffers.data() + i * kMaxDatagram, kMaxDatagram};
      messages[i] = {};
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
      messages[i].msg_hdr.msg_control = controls.data() + i * kControl;
      messages[i].msg_hdr.msg_controllen = kControl;
    }
    const int count = recvmmsg(fd, messages, kBatch, MSG_DONTWAIT, nullptr);
    if (count <= 0) continue;
    const std::uint64_t arrived_ns = now_ns();
    last = static_cast<double>(arrived_ns) / 1e9 - started;
    if (first < 0) first = last;
    for (int i = 0; i < count; ++i) {
      note_drops(messages[i].msg_hdr, totals);
      check_datagram(buffers.data() + i * kMaxDatagram, messages[i].msg_len, streams, per_stream, arrived_ns,
                     totals);
    }
  }
  print_report(streams, per_stream, totals, first, last);
  close(fd);
  return 0;
}
