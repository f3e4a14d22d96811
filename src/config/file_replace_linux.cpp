#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config/file_replace.h"

namespace {

std::string errno_text() { return std::strerror(errno); }

// Gives the new file the old one's owner, group and mode; the owner first, because
// changing it may clear the set-user-ID bit of the mode.
std::string copy_ownership(int file, const struct stat& old, std::string& warning) {
  if (fchown(file, old.st_uid, old.st_gid) != 0) {
    warning = "cannot keep owner " + std::to_string(old.st_uid) + ":" + std::to_string(old.st_gid) + ": " +
              errno_text();
  }
  if (fchmod(file, old.st_mode & 07777) != 0) return "cannot keep the mode: " + errno_text();
  return "";
}

std::string write_and_sync(int descriptor, const std::string& text) {
  std::FILE* file = fdopen(descriptor, "wb");
  if (file == nullptr) {
    close(descriptor);
    return errno_text();
  }
  bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0 &&
                 fsync(fileno(file)) == 0;
  std::string reason = written ? "" : errno_text();
  if (std::fclose(file) != 0 && reason.empty()) reason = errno_text();
  return reason;
}

// Creates the temporary file with the old file's ownership (or, for a new file, the
// usual mode under the umask) and writes text into it.
std::string write_temporary(const std::string& temporary, const std::string& target, const std::string& text,
                            std::string& warning) {
  struct stat old {};
  bool replaces = stat(target.c_str(), &old) == 0;
  // A leftover of an interrupted save; unlink leaves a directory of that name alone.
  unlink(temporary.c_str());
  int file = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, replaces ? 0600 : 0666);
  if (file < 0) return "cannot create " + temporary + ": " + errno_text();
  std::string reason = replaces ? copy_ownership(file, old, warning) : "";
  if (!reason.empty()) {
    close(file);
    return reason + " (" + temporary + ")";
  }
  reason = write_and_sync(file, text);
  return reason.empty() ? "" : "cannot write " + temporary + ": " + reason;
}

}  // namespace

SaveOutcome replace_file_contents(const std::string& target, const std::string& text) {
  SaveOutcome outcome;
  std::string temporary = target + ".tmp";
  outcome.failure = write_temporary(temporary, target, text, outcome.warning);
  if (outcome.failure.empty() && std::rename(temporary.c_str(), target.c_str()) != 0) {
    outcome.failure = "cannot replace " + target + ": " + errno_text();
  }
  if (!outcome.failure.empty()) unlink(temporary.c_str());
  return outcome;
}
