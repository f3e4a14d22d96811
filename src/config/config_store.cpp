#include "config/config_store.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>

#include <unistd.h>

#include "app/log_line.h"
#include "config/config_parser.h"
#include "config/secret_mask.h"
#include "config/text_utils.h"

namespace {

// The store's content for a text: the first value of each key wins; every accepted
// entry is logged, secrets masked. Gives nothing when the text has no accepted entry.
std::optional<std::unordered_map<std::string, std::string>> parse_entries(const std::string& text) {
  std::vector<ConfigEntry> parsed = parse_config_entries(text);
  if (parsed.empty()) return std::nullopt;
  std::unordered_map<std::string, std::string> entries;
  for (const ConfigEntry& entry : parsed) {
    LogLine() << "[map] " << entry.key << "=" << mask_secrets(entry.key, entry.value);
    entries.emplace(entry.key, entry.value);
  }
  return entries;
}

std::string errno_text() { return std::strerror(errno); }

// Writes text beside the target and renames it over the target, so that a failed save
// never leaves a cut or half-written file. Gives the reason on failure, empty on success.
std::string save_atomically(const std::string& target, const std::string& text) {
  std::string temporary = target + ".tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) return "cannot create " + temporary + ": " + errno_text();
  bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size() &&
                 std::fflush(file) == 0 && fsync(fileno(file)) == 0;
  std::string reason = written ? "" : "cannot write " + temporary + ": " + errno_text();
  if (std::fclose(file) != 0 && reason.empty()) reason = "cannot close " + temporary + ": " + errno_text();
  if (reason.empty() && std::rename(temporary.c_str(), target.c_str()) != 0) {
    reason = "cannot replace " + target + ": " + errno_text();
  }
  if (!reason.empty()) std::remove(temporary.c_str());
  return reason;
}

}  // namespace

ConfigStore::ConfigStore(std::string file_path) : file_path(std::move(file_path)) {}

void ConfigStore::load() { apply(read_text(), false); }

std::string ConfigStore::read_text() const {
  std::ifstream file(file_path, std::ios::binary);
  std::ostringstream content;
  if (file) content << file.rdbuf();
  LogLine() << "-- CONFIG PATH: " << file_path;
  return content.str();
}

ApplyResult ConfigStore::apply(const std::string& text, bool save) {
  std::lock_guard<std::mutex> apply_lock(apply_mutex);
  std::optional<Entries> parsed = parse_entries(text);
  if (!parsed) {
    LogLine() << "BAD CONFIG FORMAT. " << text;
    return ApplyResult::bad_format;
  }
  if (save) {
    std::string failure = save_atomically(file_path, text);
    if (!failure.empty()) {
      LogLine() << "-- CONFIG SAVE FAILED: " << failure;
      return ApplyResult::save_failed;
    }
  }
  {
    std::unique_lock<std::shared_mutex> lock(mutex);
    entries = std::move(*parsed);
  }
  if (save) LogLine() << "-- CONFIG SAVED--";
  return ApplyResult::applied;
}

std::string ConfigStore::get(std::string key, std::string default_value) const {
  key = to_lower(std::move(key));
  std::shared_lock<std::shared_mutex> lock(mutex);
  auto found = entries.find(key);
  return found == entries.end() ? default_value : found->second;
}

std::vector<std::string> ConfigStore::get_each(const std::vector<std::string>& keys) const {
  std::vector<std::string> values;
  std::shared_lock<std::shared_mutex> lock(mutex);
  for (const std::string& key : keys) {
    auto found = entries.find(to_lower(key));
    values.push_back(found == entries.end() ? "" : found->second);
  }
  return values;
}

int ConfigStore::get_int(const std::string& key, int default_value, int min, int max) const {
  std::string text = get(key, std::to_string(default_value));
  std::optional<int> value = parse_int(text);
  if (value && *value >= min && *value <= max) return *value;
  LogLine() << "-- BAD VALUE " << key << "=" << text << " (expected a whole number from " << min
            << " to " << max << "), using the default " << default_value;
  return default_value;
}
