#include "base/log_rate_limiter.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

// The kind that lines share once kMaxKinds kinds are open: a line's own kind is never
// empty.
const std::string kOtherKinds;

// The line without its digits, after a "k".
std::string kind_of(const std::string& line) {
  std::string kind = "k";
  std::copy_if(line.begin(), line.end(), std::back_inserter(kind), [](char c) { return c < '0' || c > '9'; });
  return kind;
}

}  // namespace

LogRateLimiter::LogRateLimiter(size_t lines_per_interval, std::chrono::seconds interval, Clock clock)
    : lines_allowed(lines_per_interval), period(interval), read_clock(std::move(clock)) {}

LogRateLimiter::Verdict LogRateLimiter::admit(const std::string& line) {
  std::chrono::steady_clock::time_point now = read_clock();
  Verdict verdict;
  std::lock_guard<std::mutex> lock(mutex);
  close_ended_windows(now, verdict.summaries);
  std::string kind = kind_of(line);
  if (windows.size() >= kMaxKinds && windows.count(kind) == 0) kind = kOtherKinds;
  Window& window = windows.try_emplace(kind, Window{now, 0, {}}).first->second;
  if (window.written < lines_allowed) {
    ++window.written;
    verdict.write = true;
  } else if (window.summary.left_out++ == 0) {
    window.summary.first_left_out = line;
  }
  return verdict;
}

void LogRateLimiter::close_ended_windows(std::chrono::steady_clock::time_point now,
                                         std::vector<Summary>& summaries) {
  for (auto it = windows.begin(); it != windows.end();) {
    if (now - it->second.start < period) {
      ++it;
      continue;
    }
    if (it->second.summary.left_out > 0) summaries.push_back(std::move(it->second.summary));
    it = windows.erase(it);
  }
}
