// The deterministic MPEG-TS-like payload shared by the pacer and the sink.
// Every 188-byte packet carries: 0x47, the stream's PID, a continuity counter, its
// index within the stream (64-bit, big endian) and filler bytes derived from that
// index, so the sink can tell a missing packet from a corrupt one. The first packet of
// every unit also carries the pacer's send time, for the latency (see stamp_packet).
#pragma once

#include <cstddef>
#include <cstdint>

namespace ts_pattern {

constexpr std::size_t kPacket = 188;
constexpr std::size_t kPacketsPerUnit = 7;
constexpr std::size_t kUnit = kPacket * kPacketsPerUnit;  // 1316
constexpr std::uint16_t kFirstPid = 0x100;
constexpr std::uint16_t kNullPid = 0x1fff;  // padding that pushes the tail through the callers
constexpr std::size_t kHeader = 12;

inline std::uint8_t filler(std::uint64_t index, std::size_t offset) {
  return static_cast<std::uint8_t>(index * 131 + offset * 7 + (index >> 8));
}

inline void fill_packet(std::uint8_t* packet, std::uint16_t pid, std::uint64_t index) {
  packet[0] = 0x47;
  packet[1] = static_cast<std::uint8_t>((pid >> 8) & 0x1f);
  packet[2] = static_cast<std::uint8_t>(pid & 0xff);
  packet[3] = static_cast<std::uint8_t>(0x10 | (index & 0x0f));
  for (int i = 0; i < 8; ++i) packet[4 + i] = static_cast<std::uint8_t>(index >> (56 - 8 * i));
  for (std::size_t i = kHeader; i < kPacket; ++i) packet[i] = filler(index, i);
}

inline std::uint16_t pid_of(const std::uint8_t* packet) {
  return static_cast<std::uint16_t>(((packet[1] & 0x1f) << 8) | packet[2]);
}

inline std::uint64_t index_of(const std::uint8_t* packet) {
  std::uint64_t index = 0;
  for (int i = 0; i < 8; ++i) index = (index << 8) | packet[4 + i];
  return index;
}

// The first packet of every unit holds the time it was sent (CLOCK_MONOTONIC, ns) in
// the 8 filler bytes after the header, XORed with that filler: the sink reads the time
// back and checks that it is plausible (not in the future, not older than a minute).
constexpr std::size_t kStampSize = 8;

inline bool is_stamped(std::uint64_t index) { return index % kPacketsPerUnit == 0; }

inline void stamp_packet(std::uint8_t* packet, std::uint64_t sent_ns) {
  const std::uint64_t index = index_of(packet);
  for (std::size_t i = 0; i < kStampSize; ++i) {
    packet[kHeader + i] = static_cast<std::uint8_t>(filler(index, kHeader + i) ^ (sent_ns >> (56 - 8 * i)));
  }
}

inline std::uint64_t stamp_of(const std::uint8_t* packet) {
  const std::uint64_t index = index_of(packet);
  std::uint64_t sent_ns = 0;
  for (std::size_t i = 0; i < kStampSize; ++i) {
    sent_ns = (sent_ns << 8) | static_cast<std::uint8_t>(packet[kHeader + i] ^ filler(index, kHeader + i));
  }
  return sent_ns;
}

// True when the packet is exactly what fill_packet wrote for its PID and index (the
// stamp of a stamped packet is the sink's to check).
inline bool packet_intact(const std::uint8_t* packet) {
  const std::uint64_t index = index_of(packet);
  if (packet[0] != 0x47 || packet[3] != (0x10 | (index & 0x0f))) return false;
  const std::size_t first = is_stamped(index) ? kHeader + kStampSize : kHeader;
  for (std::size_t i = first; i < kPacket; ++i) {
    if (packet[i] != filler(index, i)) return false;
  }
  return true;
}

}  // namespace ts_pattern
