#include <windows.h>

#include <filesystem>

#include "base/system_error.h"
#include "config/file_replace.h"

// The new file is created in the target's folder, so it takes the folder's inherited
// access rules, which are those of a file nobody changed by hand. MoveFileExW renames
// it over the target in one step; a read-only target refuses that and is kept.

namespace {

// WriteFile takes a 32-bit length: larger texts go in pieces.
const DWORD kMaxWriteSize = DWORD{1} << 30;

std::wstring wide_path(const std::string& path) { return std::filesystem::path(path).wstring(); }

std::string last_error_text() { return system_error_text(static_cast<int>(GetLastError())); }

bool write_and_flush(HANDLE file, const std::string& text) {
  const char* next = text.data();
  size_t left = text.size();
  while (left > 0) {
    DWORD size = left > kMaxWriteSize ? kMaxWriteSize : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(file, next, size, &written, nullptr) || written == 0) return false;
    next += written;
    left -= written;
  }
  return FlushFileBuffers(file) != 0;
}

// `shown` is the temporary file's name for the messages.
std::string write_temporary(const std::wstring& temporary, const std::string& shown,
                            const std::string& text) {
  // A leftover of an interrupted save; DeleteFileW leaves a directory of that name alone.
  DeleteFileW(temporary.c_str());
  HANDLE file =
      CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "cannot create " + shown + ": " + last_error_text();
  std::string reason = write_and_flush(file, text) ? "" : last_error_text();
  if (!CloseHandle(file) && reason.empty()) reason = last_error_text();
  return reason.empty() ? "" : "cannot write " + shown + ": " + reason;
}

}  // namespace

SaveOutcome replace_file_contents(const std::string& target, const std::string& text) {
  SaveOutcome outcome;
  std::string temporary = target + ".tmp";
  std::wstring wide_temporary = wide_path(temporary);
  outcome.failure = write_temporary(wide_temporary, temporary, text);
  if (outcome.failure.empty() && !MoveFileExW(wide_temporary.c_str(), wide_path(target).c_str(),
                                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    outcome.failure = "cannot replace " + target + ": " + last_error_text();
  }
  if (!outcome.failure.empty()) DeleteFileW(wide_temporary.c_str());
  return outcome;
}
