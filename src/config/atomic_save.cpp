#include "config/atomic_save.h"

#include <filesystem>
#include <optional>

#include "config/file_replace.h"

namespace {

namespace fs = std::filesystem;

// The limit of link hops the system itself follows (Linux's MAXSYMLINKS).
const int kMaxLinkHops = 40;

// Where a chain of symbolic links starting at path ends; that file need not exist.
// Nothing when the chain is a loop or cannot be read.
std::optional<fs::path> follow_links(fs::path path) {
  for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
    std::error_code error;
    if (!fs::is_symlink(fs::symlink_status(path, error))) return path;
    fs::path target = fs::read_symlink(path, error);
    if (error) return std::nullopt;
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  return std::nullopt;
}

}  // namespace

SaveOutcome save_atomically(const std::string& path, const std::string& text) {
  std::optional<fs::path> followed = follow_links(path);
  if (!followed) return SaveOutcome{"cannot follow the symbolic links of " + path, ""};
  return replace_file_contents(followed->string(), text);
}
