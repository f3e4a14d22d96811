#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/net_iface.h"
#include "stats/refusal.h"
#include "stats/stream_snapshot.h"

// What the process reports besides its streams.
struct ProcessFigures {
  uint64_t accepted_total = 0;
  NetIfaceList interfaces;
  std::array<uint64_t, kRefusals.size()> refused_totals{};  // indexed by refusal_index
};

// The "/metrics" page in Prometheus' text format: every stream's figures labelled by
// stream id, mode and caller (peers also by their URL), the number of running workers,
// the accepted connections, the refused callers by reason and the rates of each
// interface (not the "All" total).
std::string metrics_text(const std::vector<StreamSnapshot>& streams, const ProcessFigures& process);

// A label value as the format requires it: valid UTF-8 (a byte that is not part of a
// well-formed sequence becomes U+FFFD, as in "/api/streams"), with backslash, double
// quote and line feed escaped.
std::string prometheus_label_value(std::string_view value);

// A sample value: whole numbers without a fraction, others in the shortest exact form.
std::string prometheus_number(double value);
