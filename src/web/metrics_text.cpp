#include "web/metrics_text.h"

#include <charconv>
#include <cmath>

#include "base/utf8.h"

namespace {

// 2^53: every whole number below it is exact in a double.
const double kLargestExactWhole = 9007199254740992.0;

struct Family {
  const char* name;
  const char* type;
  const char* help;
};

void declare(std::string& out, const Family& family) {
  out += std::string("# HELP ") + family.name + " " + family.help + "\n";
  out += std::string("# TYPE ") + family.name + " " + family.type + "\n";
}

void sample(std::string& out, const Family& family, const std::string& labels, double value) {
  out += family.name;
  if (!labels.empty()) out += "{" + labels + "}";
  out += " " + prometheus_number(value) + "\n";
}

std::string label(const char* name, std::string_view value) {
  return std::string(name) + "=\"" + prometheus_label_value(value) + "\"";
}

std::string stream_labels(const StreamSnapshot& stream) {
  return label("stream_id", stream.stream_id) + "," + label("mode", stream.mode) + "," +
         label("caller", stream.caller);
}

struct StreamFamily {
  Family family;
  double (*value)(const StreamSnapshot&);
};

const StreamFamily kStreamFamilies[] = {
    {{"sluice_stream_uptime_seconds", "gauge", "Seconds since the stream's caller was accepted."},
     [](const StreamSnapshot& s) { return static_cast<double>(s.seconds); }},
    {{"sluice_srt_received_bytes_total", "counter", "Bytes received from the SRT caller."},
     [](const StreamSnapshot& s) { return static_cast<double>(s.srt.bytes_received); }},
    {{"sluice_srt_received_packets_total", "counter", "Packets received from the SRT caller."},
     [](const StreamSnapshot& s) { return static_cast<double>(s.srt.packets_received); }},
    {{"sluice_srt_lost_packets_total", "counter", "Packets of the SRT caller found missing."},
     [](const StreamSnapshot& s) { return static_cast<double>(s.srt.packets_lost); }},
    {{"sluice_srt_retransmitted_packets_total", "counter",
      "Retransmitted packets received from the SRT caller."},
     [](const StreamSnapshot& s) { return static_cast<double>(s.srt.packets_retransmitted); }},
    {{"sluice_srt_dropped_packets_total", "counter", "Packets of the SRT caller dropped as too late."},
     [](const StreamSnapshot& s) { return static_cast<double>(s.srt.packets_dropped); }},
    {{"sluice_srt_rtt_milliseconds", "gauge", "Round-trip time to the SRT caller."},
     [](const StreamSnapshot& s) { return s.srt.rtt_ms; }},
    {{"sluice_srt_receive_rate_megabits_per_second", "gauge", "Receive rate from the SRT caller."},
     [](const StreamSnapshot& s) { return s.srt.receive_rate_mbps; }},
    {{"sluice_srt_latency_milliseconds", "gauge", "Receive latency of the SRT connection."},
     [](const StreamSnapshot& s) { return static_cast<double>(s.srt.latency_ms); }},
    {{"sluice_stream_units_written_total", "counter",
      "1316-byte units handed on (to RIST, or to a talkback caller)."},
     [](const StreamSnapshot& s) { return static_cast<double>(s.units_written); }},
    {{"sluice_stream_send_errors_total", "counter", "Units that the RIST sender refused."},
     [](const StreamSnapshot& s) { return static_cast<double>(s.send_errors); }},
};

struct PeerFamily {
  Family family;
  double (*value)(const RistPeerFigures&);
};

const PeerFamily kPeerFamilies[] = {
    {{"sluice_rist_peer_bandwidth_bits_per_second", "gauge",
      "Bandwidth librist measures towards the RIST peer."},
     [](const RistPeerFigures& p) { return static_cast<double>(p.bandwidth_bps); }},
    {{"sluice_rist_peer_retransmitted_packets_total", "counter", "Packets retransmitted to the RIST peer."},
     [](const RistPeerFigures& p) { return static_cast<double>(p.retransmitted); }},
    {{"sluice_rist_peer_quality_percent", "gauge",
      "librist's link quality towards the RIST peer, 100 at best."},
     [](const RistPeerFigures& p) { return p.quality; }},
    {{"sluice_rist_peer_rtt_milliseconds", "gauge", "Round-trip time to the RIST peer."},
     [](const RistPeerFigures& p) { return static_cast<double>(p.rtt_ms); }},
};

const Family kWorkers{"sluice_workers_running", "gauge", "Workers carrying a stream now."};
const Family kAccepted{"sluice_connections_accepted_total", "counter",
                       "SRT callers accepted since the start."};
const Family kRefused{"sluice_callers_refused_total", "counter",
                      "SRT callers refused since the start, by reason."};
const Family kTransmit{"sluice_interface_transmit_bits_per_second", "gauge",
                       "Transmit rate of the interface over the last measuring interval."};
const Family kReceive{"sluice_interface_receive_bits_per_second", "gauge",
                      "Receive rate of the interface over the last measuring interval."};

void write_process(std::string& out, size_t running, const ProcessFigures& process) {
  declare(out, kWorkers);
  sample(out, kWorkers, "", static_cast<double>(running));
  declare(out, kAccepted);
  sample(out, kAccepted, "", static_cast<double>(process.accepted_total));
  declare(out, kRefused);
  for (Refusal refusal : kRefusals) {
    sample(out, kRefused, label("reason", refusal_name(refusal)),
           static_cast<double>(process.refused_totals[refusal_index(refusal)]));
  }
  for (const Family* family : {&kTransmit, &kReceive}) {
    declare(out, *family);
    for (const NetIface& iface : process.interfaces) {
      if (iface.title == "All") continue;
      double rate = family == &kTransmit ? iface.output_bps : iface.input_bps;
      sample(out, *family, label("interface", iface.title) + "," + label("ip", iface.ip), rate);
    }
  }
}

}  // namespace

std::string metrics_text(const std::vector<StreamSnapshot>& streams, const ProcessFigures& process) {
  std::string out;
  write_process(out, streams.size(), process);
  for (const StreamFamily& family : kStreamFamilies) {
    declare(out, family.family);
    for (const StreamSnapshot& stream : streams)
      sample(out, family.family, stream_labels(stream), family.value(stream));
  }
  for (const PeerFamily& family : kPeerFamilies) {
    declare(out, family.family);
    for (const StreamSnapshot& stream : streams) {
      for (const RistPeerFigures& peer : stream.peers) {
        sample(out, family.family, stream_labels(stream) + "," + label("peer", peer.url), family.value(peer));
      }
    }
  }
  return out;
}

std::string prometheus_label_value(std::string_view value) {
  std::string escaped;
  escaped.reserve(value.size());
  for (char c : to_valid_utf8(value)) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '"') {
      escaped += "\\\"";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string prometheus_number(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char text[32];
  bool whole = value == std::trunc(value) && std::fabs(value) < kLargestExactWhole;
  auto [end, error] = whole ? std::to_chars(text, text + sizeof text, value, std::chars_format::fixed)
                            : std::to_chars(text, text + sizeof text, value);
  if (error != std::errc()) return "NaN";
  return std::string(text, end);
}
