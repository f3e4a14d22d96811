#include "web/streams_document.h"

#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::ordered_json;

Json srt_leg(const SrtLegFigures& srt) {
  return {{"bytes_received", srt.bytes_received},       {"packets_received", srt.packets_received},
          {"packets_lost", srt.packets_lost},           {"packets_retransmitted", srt.packets_retransmitted},
          {"packets_dropped", srt.packets_dropped},     {"rtt_ms", srt.rtt_ms},
          {"receive_rate_mbps", srt.receive_rate_mbps}, {"latency_ms", srt.latency_ms}};
}

Json rist_peer(const RistPeerFigures& peer) {
  return {{"url", peer.url},
          {"connected", peer.connected},
          {"bandwidth_bps", peer.bandwidth_bps},
          {"retransmitted", peer.retransmitted},
          {"quality", peer.quality},
          {"rtt_ms", peer.rtt_ms}};
}

Json stream_object(const StreamSnapshot& stream) {
  Json peers = Json::array();
  for (const RistPeerFigures& peer : stream.peers) peers.push_back(rist_peer(peer));
  return {{"stream_id", stream.stream_id},
          {"mode", stream.mode},
          {"route", stream.route},
          {"caller", stream.caller},
          {"seconds", stream.seconds},
          {"srt", srt_leg(stream.srt)},
          {"rist", peers},
          {"units_written", stream.units_written},
          {"send_errors", stream.send_errors}};
}

}  // namespace

std::string streams_document(const std::vector<StreamSnapshot>& streams) {
  Json list = Json::array();
  for (const StreamSnapshot& stream : streams) list.push_back(stream_object(stream));
  Json document = {{"streams", list}};
  return document.dump(-1, ' ', false, Json::error_handler_t::replace);
}
