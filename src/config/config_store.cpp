#include "config/config_store.h"

#include <mutex>
#include <optional>

#include "base/log_escape.h"
#include "base/log_line.h"
#include "base/text_utils.h"
#include "config/atomic_save.h"
#include "config/config_parser.h"
#include "config/file_text.h"
#include "config/secret_mask.h"

namespace {

// The store's content for a text: the first value of each key wins; every accepted
// entry is logged, secrets masked. Gives nothing when the text has no accepted entry.
std::optional<std::unordered_map<std::string, std::string>> parse_entries(const std::string& text) {
  std::vector<ConfigEntry> parsed = parse_config_entries(text);
  if (parsed.empty()) return std::nullopt;
  std::unordered_map<std::string, std::string> entries;
  for (const ConfigEntry& entry : parsed) {
    LogLine() << "[map] " << escape_for_log(entry.key) << "="
              << escape_for_log(mask_secrets(entry.key, entry.value));
    entries.emplace(entry.key, entry.value);
  }
  return entries;
}

}  // namespace

ConfigStore::ConfigStore(std::string path) : file_path(std::move(path)) {}

bool ConfigStore::load() {
  FileText file = read_file_text(file_path);
  LogLine() << "-- CONFIG PATH: " << escape_for_log(file_path);
  if (file.status == FileText::Status::unreadable) {
    LogLine() << "*** CONFIG FILE CANNOT BE READ: " << escape_for_log(file_path) << ": "
              << escape_for_log(file.failure);
    return false;
  }
  if (file.status == FileText::Status::missing) {
    LogLine() << "-- NO CONFIG FILE: every setting at its default";
    return true;
  }
  apply(file.text, false);
  return true;
}

std::string ConfigStore::read_text() const {
  FileText file = read_file_text(file_path);
  LogLine() << "-- CONFIG PATH: " << escape_for_log(file_path);
  return file.text;
}

ApplyResult ConfigStore::apply(const std::string& text, bool save) {
  std::lock_guard<std::mutex> apply_lock(apply_mutex);
  std::optional<Entries> parsed = parse_entries(text);
  if (!parsed) {
    LogLine() << "BAD CONFIG FORMAT. " << escape_for_log(text);
    return ApplyResult::bad_format;
  }
  if (save) {
    SaveOutcome saved = save_atomically(file_path, text);
    if (!saved.warning.empty()) LogLine() << "-- CONFIG SAVE: " << escape_for_log(saved.warning);
    if (!saved.failure.empty()) {
      LogLine() << "-- CONFIG SAVE FAILED: " << escape_for_log(saved.failure);
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
  LeadingInt leading = parse_leading_int(text);
  if (leading.value && *leading.value >= min && *leading.value <= max) {
    // Files written for earlier versions rely on this reading, e.g. "7000 // main".
    if (!leading.rest.empty()) {
      LogLine() << "-- IGNORED TEXT IN " << escape_for_log(key) << "=" << escape_for_log(text) << ": \""
                << escape_for_log(leading.rest) << "\", using " << *leading.value;
    }
    return *leading.value;
  }
  LogLine() << "-- BAD VALUE " << escape_for_log(key) << "=" << escape_for_log(text)
            << " (expected a whole number from " << min << " to " << max << "), using the default "
            << default_value;
  return default_value;
}
