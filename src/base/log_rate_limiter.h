#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// Keeps a noisy source of log lines from flooding the log. Lines that differ only in
// their digits are one kind; of each kind at most `lines_per_interval` are written in an
// interval that starts with the kind's first line, and the rest are counted. The first
// line of any kind after an interval has ended brings out that interval's count. At most
// kMaxKinds kinds are told apart at once; lines of further kinds share one count.
// Any thread may call `admit`; the state is guarded by `mutex`.
class LogRateLimiter {
 public:
  // Abstract so that tests can move time on; the gateway uses the steady clock.
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  static constexpr size_t kMaxKinds = 64;

  // Lines of one kind left out in an interval that has ended: the first of them and how
  // many there were.
  struct Summary {
    std::string first_left_out;
    uint64_t left_out = 0;
  };
  // Whether to write the line, and the summaries to write before it.
  struct Verdict {
    bool write = false;
    std::vector<Summary> summaries;
  };

  LogRateLimiter(size_t lines_per_interval, std::chrono::seconds interval,
                 Clock clock = std::chrono::steady_clock::now);

  Verdict admit(const std::string& line);

 private:
  struct Window {
    std::chrono::steady_clock::time_point start;
    size_t written = 0;
    Summary summary;
  };

  // Ends the windows whose interval is over, handing out the counts of those that left
  // lines out.
  void close_ended_windows(std::chrono::steady_clock::time_point now, std::vector<Summary>& summaries);

  // set at construction
  const size_t lines_allowed;
  const std::chrono::seconds period;
  const Clock read_clock;

  // guarded by mutex: the open window of each kind
  std::mutex mutex;
  std::map<std::string, Window> windows;
};
