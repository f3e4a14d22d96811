#include "config/config_store.h"

#include <mutex>

#include "base/log_escape.h"
#include "base/log_line.h"
#include "config/atomic_save.h"
#include "config/file_text.h"
#include "config/secret_mask.h"

namespace {

void log_bad_format(const std::string& text) { LogLine() << "BAD CONFIG FORMAT. " << escape_for_log(text); }

}  // namespace

ConfigStore::ConfigStore(std::string path) : file_path(std::move(path)) {}

bool ConfigStore::load() {
  std::lock_guard<std::mutex> apply_lock(apply_mutex);
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
  ParsedSettings parsed = parse_settings(file.text);
  if (parsed.entries.empty()) {
    log_bad_format(file.text);
    return true;
  }
  publish(parsed);
  for (const SettingsProblem& problem : parsed.problems) {
    LogLine() << "-- BAD VALUE " << escape_for_log(describe(problem)) << "; " << problem.instead;
  }
  return true;
}

std::string ConfigStore::read_text() const {
  FileText file = read_file_text(file_path);
  LogLine() << "-- CONFIG PATH: " << escape_for_log(file_path);
  return file.text;
}

ApplyOutcome ConfigStore::apply(const std::string& text, bool save) {
  std::lock_guard<std::mutex> apply_lock(apply_mutex);
  ParsedSettings parsed = parse_settings(text);
  if (parsed.entries.empty()) {
    log_bad_format(text);
    return {ApplyResult::bad_format, {}};
  }
  if (!parsed.problems.empty()) {
    for (const SettingsProblem& problem : parsed.problems)
      LogLine() << "-- CONFIG REFUSED, " << escape_for_log(describe(problem));
    return {ApplyResult::bad_values, std::move(parsed.problems)};
  }
  if (save) {
    SaveOutcome saved = save_atomically(file_path, text);
    if (!saved.warning.empty()) LogLine() << "-- CONFIG SAVE: " << escape_for_log(saved.warning);
    if (!saved.failure.empty()) {
      LogLine() << "-- CONFIG SAVE FAILED: " << escape_for_log(saved.failure);
      return {ApplyResult::save_failed, {}};
    }
  }
  publish(parsed);
  if (save) LogLine() << "-- CONFIG SAVED--";
  return {ApplyResult::applied, {}};
}

std::shared_ptr<const Settings> ConfigStore::snapshot() const {
  std::lock_guard<std::mutex> lock(mutex);
  return settings;
}

// Every accepted entry is logged, secrets masked, with the warnings of values taken.
void ConfigStore::publish(const ParsedSettings& parsed) {
  for (const ConfigEntry& entry : parsed.entries) {
    LogLine() << "[map] " << escape_for_log(entry.key) << "="
              << escape_for_log(mask_secrets(entry.key, entry.value));
  }
  for (const std::string& warning : parsed.warnings) LogLine() << escape_for_log(warning);
  auto published = std::make_shared<const Settings>(parsed.settings);
  std::lock_guard<std::mutex> lock(mutex);
  settings = std::move(published);
}
