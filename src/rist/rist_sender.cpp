#include "rist/rist_sender.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

#include "base/log_escape.h"
#include "base/log_line.h"
#include "base/log_rate_limiter.h"
#include "base/text_utils.h"
#include "rist/endpoints.h"
#include "rist/media_unit.h"
#include "stats/stream_stats.h"

rist_logging_settings* rist_log_settings = nullptr;

namespace {

// How often librist reports each peer's figures.
const int kStatsIntervalMs = 1000;

// How often librist's protocol thread wakes to read the receivers' NACKs and RTCP and
// to send retransmissions and keepalives; the data itself leaves on the writing
// thread. librist's default of 5 ms costs every stream 200 wake-ups a second whatever
// its rate, as many as a 2 Mbit/s stream has units. A retransmission or an echo reply
// may wait up to one tick, against a receiver buffer of hundreds of milliseconds.
const int kProtocolTickMs = 20;

// librist's sender flag "more blocks follow at once" (RIST_DATA_FLAGS_MORE of the
// project's patched library; the upstream one has no such flag and ignores the bit).
const uint32_t kRistMoreFollows = 4;

// librist keeps one settings object for the whole process. Its callback argument is
// not used, so it is set up once instead of being rewritten for every new connection
// while other senders read it.
void set_up_rist_logging() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (rist_logging_set(&rist_log_settings, RIST_LOG_ERROR, on_rist_log, nullptr, nullptr, stderr) != 0) {
      LogLine() << "Failed to setup DBGging";
    }
  });
}

// librist (0.2.7 and 0.2.11 alike) initialises a process-wide mutex afresh in every
// rist_sender_create and locks it in rist_destroy: two workers creating or destroying
// senders at the same time would re-initialise a mutex the other holds. All creations
// and destructions of senders in the process take this lock.
std::mutex& sender_lifecycle_mutex() {
  static std::mutex mutex;
  return mutex;
}

// The flow id comes from librist's own generator, which seeds itself once. Re-seeding
// it with the current second would give every sender created in the same second the
// same flow id, and a receiver would merge their streams.
uint32_t new_flow_id() {
  uint32_t flow_id = rist_flow_id_create();
  LogLine() << " flow_id: " << flow_id;
  return flow_id;
}

void log_remaining_peers(const std::vector<RistPeerRecord>& peers) {
  LogLine() << "for full disconnect need destroy " << peers.size() << " peers";
  for (const RistPeerRecord& record : peers) {
    LogLine() << " src:" << escape_for_log(record.src_network) << " dest:" << escape_for_log(record.dest_url)
              << " h:" << static_cast<void*>(record.peer);
  }
}

template <size_t N>
void copy_to_field(const std::string& text, char (&field)[N]) {
  size_t length = std::min(text.size(), N - 1);
  std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length), field);
  field[length] = '\0';
}

// The destination's options as fields of librist's peer configuration: operator text
// never reaches librist's URL parser, so no byte of a secret can become an option.
void apply_options(const RistOptions& options, rist_peer_config& config) {
  if (options.buffer_ms != 0) {
    config.recovery_length_min = static_cast<uint32_t>(options.buffer_ms);
    config.recovery_length_max = static_cast<uint32_t>(options.buffer_ms);
  }
  if (options.bandwidth_kbps != 0) config.recovery_maxbitrate = static_cast<uint32_t>(options.bandwidth_kbps);
  if (!options.secret.empty()) {
    copy_to_field(options.secret, config.secret);
    config.key_size = options.aes_type;
  }
}

// SRP credentials for a receiver that asks for them; librist takes them only for a peer
// that exists. A peer they cannot be set for is destroyed (before rist_start): its
// receiver would not let it in.
bool enable_credentials(rist_ctx* context, rist_peer* peer, const RistOptions& options) {
  if (options.username.empty()) return true;
  int result =
      rist_enable_eap_srp_2(peer, options.username.c_str(), options.password.c_str(), nullptr, nullptr);
  if (result == 0) return true;
  LogLine() << "@@@Error_create_peer: librist refused the username and password (" << result << ")";
  rist_peer_destroy(context, peer);
  return false;
}

rist_profile librist_profile(RistProfile profile) {
  return profile == RistProfile::simple ? RIST_PROFILE_SIMPLE : RIST_PROFILE_MAIN;
}

}  // namespace

// librist's text fields are C strings in arrays of a fixed size; the settings refuse
// what does not fit with its terminator.
static_assert(kMaxCnameLength < sizeof(rist_peer_config::cname), "the cname fits librist's field");
static_assert(kMaxSecretLength < sizeof(rist_peer_config::secret), "the secret fits librist's field");

RistSender::RistSender(RistProfile sender_profile) : profile(sender_profile) { set_up_rist_logging(); }

RistSender::~RistSender() {
  if (context != nullptr) destroy();
}

bool RistSender::start(const OutputRoute& route, StreamStats& stream_stats) {
  stats = &stream_stats;
  uint32_t flow_id = new_flow_id();
  rist_ctx* created = nullptr;
  int result = 0;
  {
    std::lock_guard<std::mutex> lock(sender_lifecycle_mutex());
    result = rist_sender_create(&created, librist_profile(profile), flow_id, rist_log_settings);
  }
  if (result != 0) {
    LogLine() << "Rist Error 1: Could not create rist sender context";
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    context = created;
  }
  // Before any peer: librist sizes its retransmissions per tick from it.
  rist_jitter_max_set(created, kProtocolTickMs);
  // on_connection_status runs on librist's protocol thread from here until rist_destroy.
  // Without it the sender is left without peers and not started: every write goes nowhere.
  if (rist_connection_status_callback_set(created, on_connection_status, this) == -1) return true;
  // on_stats runs on librist's protocol thread, every kStatsIntervalMs per peer.
  if (rist_stats_callback_set(created, kStatsIntervalMs, on_stats, this) != 0) {
    LogLine() << "-- RIST STATISTICS NOT AVAILABLE";
  }
  LogLine() << "src networks:" << route.networks.size() << " * dest rist:" << route.destinations.size();
  std::string cname = peer_cname(route.stream_id);
  if (cname != route.stream_id)
    LogLine() << "-- STREAM ID TOO LONG FOR A RIST CNAME OR HOLDS A NUL BYTE, CNAME: "
              << escape_for_log(cname);
  for (const std::string& network : route.networks) {
    for (const RistDestination& destination : route.destinations) {
      if (network_reaches(network, destination)) create_peer(created, destination, network, route, cname);
    }
  }
  if (rist_start(created) == -1) LogLine() << "Rist Error 4: Could not start rist sender";
  return true;
}

// Peers that librist refuses are logged and left out.
void RistSender::create_peer(rist_ctx* created, const RistDestination& destination,
                             const std::string& network, const OutputRoute& route, const std::string& cname) {
  PeerUrls urls = peer_urls(destination, route.stream_id, network, route.uplink_mode);
  LogLine() << " create peer: " << escape_for_log(urls.shown);
  rist_peer_config* config = nullptr;
  if (rist_parse_address2(urls.parsed.c_str(), &config) != 0) {
    LogLine() << "@@@Error_create_peer: Could not parse peer options for sender";
    if (config != nullptr) rist_peer_config_free2(&config);
    return;
  }
  copy_to_field(cname, config->cname);
  apply_options(destination.options, *config);
  LogLine() << "=>  MIN:" << config->recovery_length_min << " MAX:" << config->recovery_length_max;
  rist_peer* peer = nullptr;
  if (rist_peer_create(created, &peer, config) == -1) {
    LogLine() << "@@@Error_create_peer: Could not add peer connector to sender";
  } else {
    // librist numbers the peers of a context 1, 2, ...; a simple-profile peer's RTCP
    // companion takes the number after its own.
    uint32_t librist_id = librist_peer_count + 1;
    librist_peer_count += profile == RistProfile::simple ? 2 : 1;
    if (enable_credentials(created, peer, destination.options)) {
      uint32_t stats_id = stats->add_peer(urls.shown);
      std::lock_guard<std::mutex> lock(mutex);
      peer_records.push_back({network, urls.shown, peer, librist_id, stats_id});
    }
    LogLine() << "dest " << config->virt_dst_port << config->physical_port;
  }
  rist_peer_config_free2(&config);
}

// A write that accepts 0 bytes ends the unit, whose rest is dropped. librist queues a
// block flagged "more" and sends it with the next one (the patched library, in one
// system call per peer; the upstream one ignores the flag).
int RistSender::write_unit(const uint8_t* unit, bool more_follow) {
  if (context == nullptr) return -1;
  block.flags = more_follow ? kRistMoreFollows : 0;
  size_t sent = 0;
  int result = 0;
  while (sent < kMediaUnit) {
    block.payload = unit + sent;
    block.payload_len = kMediaUnit - sent;
    result = rist_sender_data_write(context, &block);
    if (result <= 0) return result;
    sent += static_cast<size_t>(result);
  }
  return result;
}

PeerConnections connections_of(const std::vector<RistPeerRecord>& records) {
  auto connected = std::count_if(records.begin(), records.end(),
                                 [](const RistPeerRecord& record) { return record.connected; });
  if (connected == static_cast<std::ptrdiff_t>(records.size())) return PeerConnections::all;
  return connected == 0 ? PeerConnections::none : PeerConnections::some;
}

PeerConnections RistSender::connections() const {
  std::lock_guard<std::mutex> lock(mutex);
  return connections_of(peer_records);
}

// librist keeps such a peer silent while another one hears its receiver (see
// scripts/librist), so that the receiver turns to the peers that can answer it.
void RistSender::log_unconnected_peers() const {
  std::lock_guard<std::mutex> lock(mutex);
  for (const RistPeerRecord& record : peer_records) {
    if (record.connected) continue;
    LogLine() << "-- RIST PEER NOT CONNECTED: " << escape_for_log(record.dest_url)
              << " (its receiver has not answered; it sends nothing while another peer is connected)";
  }
}

bool RistSender::has_died() const { return died.load(); }

std::vector<RistPeerRecord> RistSender::peers() const {
  std::lock_guard<std::mutex> lock(mutex);
  return peer_records;
}

// librist waits for its own threads here, one of which may be inside
// on_connection_status waiting for `mutex`, and rist_destroy itself reports connected
// peers as timed out on this thread: so the records are dropped under the lock and the
// context is destroyed outside it. rist_destroy ends the context's protocol thread
// before it frees the peers: destroying a peer on its own while that thread runs races
// it (librist 0.2.7's thread walked the peer list without a lock and crashed, 0.2.11's
// still sends queued retransmissions through the peer they name).
void RistSender::destroy() {
  rist_ctx* taken = nullptr;
  size_t peer_count = 0;
  {
    std::lock_guard<std::mutex> lock(mutex);
    taken = std::exchange(context, nullptr);
    peer_count = peer_records.size();
    peer_records.clear();
  }
  LogLine() << "close peers ctx:" << static_cast<void*>(taken) << " peers:" << peer_count;
  if (taken == nullptr) return;
  LogLine() << "end close peers. next ctxs";
  std::lock_guard<std::mutex> lock(sender_lifecycle_mutex());
  rist_destroy(taken);
}

void RistSender::on_connection_status(void* arg, rist_peer* peer, rist_connection_status status) {
  LogLine() << "----- rist STATUS " << static_cast<int>(status) << " peer:" << static_cast<void*>(peer);
  if (status != RIST_CONNECTION_ESTABLISHED && status != RIST_CONNECTION_TIMED_OUT) return;
  static_cast<RistSender*>(arg)->on_status(peer, status);
}

void RistSender::on_status(rist_peer* peer, rist_connection_status status) {
  std::lock_guard<std::mutex> lock(mutex);
  // The teardown has taken the context and destroys the peers, and librist reports
  // each destroyed peer as timed out: that is no loss of a destination.
  if (context == nullptr) return;
  // librist reports a simple-profile peer under the handle it gave (scripts/librist).
  auto found = std::find_if(peer_records.begin(), peer_records.end(),
                            [peer](const RistPeerRecord& record) { return record.peer == peer; });
  if (status == RIST_CONNECTION_ESTABLISHED) {
    if (found == peer_records.end()) return;
    found->connected = true;
    stats->set_peer_connected(found->stats_id);
    return;
  }
  if (found != peer_records.end()) {
    LogLine() << "remove " << escape_for_log(found->dest_url);
    stats->remove_peer(found->stats_id);
    peer_records.erase(found);
  }
  // A peer that never heard its receiver cannot carry the stream either.
  if (std::any_of(peer_records.begin(), peer_records.end(),
                  [](const RistPeerRecord& record) { return record.connected; })) {
    log_remaining_peers(peer_records);
    return;
  }
  LogLine() << "NEED srt DISCONNECT - has not peers " << static_cast<void*>(this);
  died.exchange(true);
}

int RistSender::on_stats(void* arg, const rist_stats* report) {
  if (report->stats_type == RIST_STATS_SENDER_PEER)
    static_cast<RistSender*>(arg)->on_report(report->stats.sender_peer);
  rist_stats_free(report);
  return 0;
}

// librist numbers the peers of each context from 1: the stream's figures number the
// peers of all its senders.
void RistSender::on_report(const rist_stats_sender_peer& report) {
  std::lock_guard<std::mutex> lock(mutex);
  if (context == nullptr) return;
  auto found =
      std::find_if(peer_records.begin(), peer_records.end(),
                   [&report](const RistPeerRecord& record) { return record.librist_id == report.peer_id; });
  if (found == peer_records.end()) return;
  rist_stats_sender_peer figures = report;
  figures.peer_id = found->stats_id;
  stats->record_peer_report(figures);
}

int on_rist_log(void*, rist_log_level level, const char* message) {
  // librist writes a line for every junk datagram that reaches a peer's socket.
  constexpr std::chrono::seconds kInterval{10};
  static LogRateLimiter limiter(5, kInterval);
  std::string text = escape_for_log(trim(message == nullptr ? "" : message));
  std::string line = level <= RIST_LOG_ERROR ? "ERROR: " + text : text;
  LogRateLimiter::Verdict verdict = limiter.admit(line);
  for (const LogRateLimiter::Summary& summary : verdict.summaries) {
    LogLine() << "[sender] " << summary.left_out << " more like this in " << kInterval.count()
              << " s: " << summary.first_left_out;
  }
  if (verdict.write) LogLine() << "[sender] " << line;
  return 0;
}
