#include "rist/rist_sender_group.h"

#include <algorithm>

namespace {

// The route with only the destinations of one profile.
OutputRoute route_of(RistProfile profile, const OutputRoute& route) {
  OutputRoute own = route;
  std::erase_if(own.destinations, [profile](const RistDestination& destination) {
    return destination.options.profile != profile;
  });
  return own;
}

}  // namespace

// A sender without peers fails every write: the main-profile one is made only for
// main-profile destinations, or when there is no destination at all.
bool RistSenderGroup::start(const OutputRoute& route, StreamStats& stats) {
  OutputRoute main = route_of(RistProfile::main, route);
  OutputRoute simple = route_of(RistProfile::simple, route);
  bool created = false;
  if (!main.destinations.empty() || simple.destinations.empty())
    created = add_sender(RistProfile::main, main, stats);
  if (!simple.destinations.empty()) created = add_sender(RistProfile::simple, simple, stats) || created;
  return created;
}

bool RistSenderGroup::add_sender(RistProfile profile, const OutputRoute& route, StreamStats& stats) {
  auto sender = std::make_unique<RistSender>(profile);
  if (!sender->start(route, stats)) return false;
  std::lock_guard<std::mutex> lock(mutex);
  senders.push_back(std::move(sender));
  return true;
}

int RistSenderGroup::write_unit(const uint8_t* unit, bool more_follow) {
  int result = -1;
  for (const std::unique_ptr<RistSender>& sender : senders) {
    result = sender->write_unit(unit, more_follow);
    if (result < 0) return result;
  }
  return result;
}

PeerConnections RistSenderGroup::connections() const { return connections_of(peers()); }

void RistSenderGroup::log_unconnected_peers() const {
  std::lock_guard<std::mutex> lock(mutex);
  for (const std::unique_ptr<RistSender>& sender : senders) sender->log_unconnected_peers();
}

// A sender that never had a connected peer has not died, and one whose peers all timed
// out has no record left: a sender's death ends the stream when nothing connected is
// left anywhere.
bool RistSenderGroup::has_died() const {
  std::lock_guard<std::mutex> lock(mutex);
  bool any_died = std::any_of(senders.begin(), senders.end(),
                              [](const std::unique_ptr<RistSender>& sender) { return sender->has_died(); });
  if (!any_died) return false;
  return std::none_of(senders.begin(), senders.end(), [](const std::unique_ptr<RistSender>& sender) {
    std::vector<RistPeerRecord> records = sender->peers();
    return std::any_of(records.begin(), records.end(),
                       [](const RistPeerRecord& record) { return record.connected; });
  });
}

// Without the lock: this runs on the loop's thread or after the loop has ended, when
// nothing changes `senders`, and others reading them meanwhile need not wait for librist.
void RistSenderGroup::destroy() {
  for (const std::unique_ptr<RistSender>& sender : senders) sender->destroy();
}

std::vector<RistPeerRecord> RistSenderGroup::peers() const {
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<RistPeerRecord> records;
  for (const std::unique_ptr<RistSender>& sender : senders) {
    std::vector<RistPeerRecord> own = sender->peers();
    records.insert(records.end(), own.begin(), own.end());
  }
  return records;
}
