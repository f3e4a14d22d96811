#include "rist/rist_sender.h"

#include <algorithm>
#include <mutex>

#include "base/log_escape.h"
#include "base/log_line.h"
#include "config/text_utils.h"
#include "rist/rist_worker.h"

namespace {

// How often librist reports each peer's figures.
const int kStatsIntervalMs = 1000;

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

}  // namespace

bool create_sender(RistWorker* worker, rist_profile profile) {
  uint32_t flow_id = new_flow_id();
  struct rist_ctx* context = nullptr;
  int created = 0;
  {
    std::lock_guard<std::mutex> lock(sender_lifecycle_mutex());
    created = rist_sender_create(&context, profile, flow_id, rist_log_settings);
  }
  if (created != 0) {
    LogLine() << "Rist Error 1: Could not create rist sender context";
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(worker->mutex);
    worker->rist_ctx = context;
  }
  // on_connection_status runs on librist's protocol thread from here until rist_destroy.
  if (rist_connection_status_callback_set(context, on_connection_status, worker) == -1) return false;
  // on_rist_stats runs on librist's protocol thread, every kStatsIntervalMs per peer.
  if (worker->stats &&
      rist_stats_callback_set(context, kStatsIntervalMs, on_rist_stats, worker->stats.get()) != 0) {
    LogLine() << "-- RIST STATISTICS NOT AVAILABLE";
  }
  LogLine() << "src networks:" << worker->networks.size() << " * dest rist:" << worker->destinations.size();
  std::string cname = peer_cname(worker->stream_id);
  if (cname != worker->stream_id)
    LogLine() << "-- STREAM ID TOO LONG FOR A RIST CNAME OR HOLDS A NUL BYTE, CNAME: "
              << escape_for_log(cname);
  for (const std::string& network : worker->networks) {
    for (const std::string& destination : worker->destinations) {
      create_peer(worker, context, destination, network);
    }
  }
  if (rist_start(context) == -1) {
    LogLine() << "Rist Error 4: Could not start rist sender";
    return false;
  }
  return true;
}

// rist_destroy ends the context's protocol thread before it frees the peers. Destroying
// a peer on its own while that thread runs races it: librist 0.2.7's thread walked the
// peer list without a lock and crashed when callers hung up on a destination that does
// not answer, and 0.2.11's thread still sends queued retransmissions through the peer
// they name, with no check that it still exists.
void destroy_sender(rist_ctx* context) {
  std::lock_guard<std::mutex> lock(sender_lifecycle_mutex());
  rist_destroy(context);
}

static_assert(kMaxCnameLength < sizeof(rist_peer_config::cname),
              "the cname and its terminator fit librist's field");

bool create_peer(RistWorker* worker, rist_ctx* context, const std::string& base_url,
                 const std::string& network) {
  std::string options =
      network.empty() ? "" : "miface=" + network + "&weight=" + interface_peer_weight(worker->uplink_mode);
  std::string shown_url = base_url + "?cname=" + worker->stream_id + (options.empty() ? "" : "&" + options);
  std::string parsed_url = base_url + (options.empty() ? "" : "?" + options);
  LogLine() << " create peer: " << escape_for_log(shown_url);
  rist_peer_config* config = nullptr;
  if (rist_parse_address2(parsed_url.c_str(), &config) != 0) {
    LogLine() << "@@@Error_create_peer: Could not parse peer options for sender";
    if (config != nullptr) rist_peer_config_free2(&config);
    return false;
  }
  std::string cname = peer_cname(worker->stream_id);
  std::copy(cname.begin(), cname.end(), config->cname);
  config->cname[cname.size()] = '\0';
  LogLine() << "=>  MIN:" << config->recovery_length_min << " MAX:" << config->recovery_length_max;
  bool created = false;
  rist_peer* peer = nullptr;
  if (context == nullptr) {
    LogLine() << "rist ctx was deleted (not created)";
  } else if (rist_peer_create(context, &peer, config) == -1) {
    LogLine() << "@@@Error_create_peer: Could not add peer connector to sender";
  } else {
    uint32_t stats_id = worker->stats ? worker->stats->add_peer(shown_url) : 0;
    std::lock_guard<std::mutex> lock(worker->mutex);
    worker->peers.push_back({network, shown_url, peer, stats_id});
    created = true;
  }
  if (created) LogLine() << "dest " << config->virt_dst_port << config->physical_port;
  rist_peer_config_free2(&config);
  return created;
}

std::string peer_cname(const std::string& stream_id) {
  size_t length = std::min(stream_id.find('\0'), kMaxCnameLength);
  if (length < stream_id.size()) {
    // Back off while the cut would fall inside a character: its continuation bytes
    // (10xxxxxx) would be left without their lead byte.
    while (length > 0 && (static_cast<unsigned char>(stream_id[length]) & 0xC0) == 0x80) --length;
  }
  return stream_id.substr(0, length);
}

void on_connection_status(void* arg, rist_peer* peer, rist_connection_status status) {
  auto* worker = static_cast<RistWorker*>(arg);
  LogLine() << "----- rist STATUS " << static_cast<int>(status) << " peer:" << static_cast<void*>(peer);
  if (status != RIST_CONNECTION_ESTABLISHED && status != RIST_CONNECTION_TIMED_OUT) return;
  std::lock_guard<std::mutex> lock(worker->mutex);
  // The worker's teardown has taken the context and destroys the peers, and librist
  // reports each destroyed peer as timed out: that is no loss of a destination.
  if (worker->rist_ctx == nullptr) return;
  std::vector<RistPeerRecord>& peers = worker->peers;
  auto same_peer = [peer](const RistPeerRecord& record) { return record.peer == peer; };
  auto found = std::find_if(peers.begin(), peers.end(), same_peer);
  if (status == RIST_CONNECTION_ESTABLISHED) {
    if (found != peers.end()) found->connected = true;
    return;
  }
  if (found != peers.end()) {
    LogLine() << "remove " << escape_for_log(found->dest_url);
    if (worker->stats) worker->stats->remove_peer(found->stats_id);
    peers.erase(found);
  }
  if (!peers.empty()) {
    log_remaining_peers(peers);
    return;
  }
  LogLine() << "NEED srt DISCONNECT - has not peers " << static_cast<void*>(worker);
  worker->stopped.exchange(true);
}

int on_rist_log(void*, rist_log_level level, const char* message) {
  std::string text = trim(message == nullptr ? "" : message);
  if (level <= RIST_LOG_ERROR) {
    LogLine() << "[sender] ERROR: " << escape_for_log(text);
  } else {
    LogLine() << "[sender] " << escape_for_log(text);
  }
  return 0;
}
