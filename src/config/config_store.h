#pragma once

#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

enum class ApplyResult {
  applied,      // parsed, stored and (when asked) saved
  bad_format,   // no accepted entry: store and file unchanged
  save_failed,  // well-formed but the file could not be written: store and file unchanged
};

// The gateway's key/value settings, filled from config.ini. Keys are lower-cased;
// defaults live at the call sites and never enter the store or the file.
// `get` runs on the SRT listener and HTTP threads, `apply` on HTTP threads; the store
// is only ever replaced whole, under `mutex`.
class ConfigStore {
 public:
  explicit ConfigStore(std::string path);

  // Reads the file and applies it without saving; a missing file leaves every key at
  // its default (logged). False, with a log line naming the path and the system's
  // reason, when the file exists but cannot be read: the store is then left empty.
  bool load();
  // The file's content exactly as stored on disk; empty when it cannot be read.
  std::string read_text() const;
  // Parses text; on success replaces the whole store and, with save, first writes the
  // text to the file (a temporary file renamed over the old one).
  ApplyResult apply(const std::string& text, bool save);
  std::string get(std::string key, std::string default_value) const;
  // The values of several keys from one and the same configuration: no replacement
  // falls between them. A key not stored gives "".
  std::vector<std::string> get_each(const std::vector<std::string>& keys) const;
  // A numeric setting: the decimal number a value starts with; text after it is
  // logged and ignored. A value without a leading number, or one outside [min, max],
  // is logged with its key and replaced by the default.
  int get_int(const std::string& key, int default_value, int min, int max) const;

 private:
  using Entries = std::unordered_map<std::string, std::string>;

  // set at construction
  const std::string file_path;

  // held for a whole apply, so that the file and the store always hold the same text
  std::mutex apply_mutex;
  // guarded by mutex
  mutable std::shared_mutex mutex;
  Entries entries;
};
