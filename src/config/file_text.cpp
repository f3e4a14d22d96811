#include "config/file_text.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace {

FileText unreadable(const std::string& reason) { return {FileText::Status::unreadable, "", reason}; }

std::string errno_text() { return std::generic_category().message(errno); }

// A symbolic link's failure names where it leads.
std::string with_link_target(const std::string& path, const std::string& reason) {
  std::error_code error;
  std::filesystem::path target = std::filesystem::read_symlink(path, error);
  return error ? reason : reason + " (a symbolic link to " + target.string() + ")";
}

}  // namespace

FileText read_file_text(const std::string& path) {
  std::error_code error;
  // The link itself, as lstat sees it: a dangling link must not pass for a missing file.
  std::filesystem::file_status status = std::filesystem::symlink_status(path, error);
  if (status.type() == std::filesystem::file_type::not_found) return {};
  if (error) return unreadable(error.message());
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return unreadable(with_link_target(path, errno_text()));
  FileText result{FileText::Status::read, "", ""};
  char buffer[65536];
  size_t count = 0;
  while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) result.text.append(buffer, count);
  // Reading a directory fails here on Linux (EISDIR); Windows refuses to open one.
  if (std::ferror(file)) result = unreadable(with_link_target(path, errno_text()));
  std::fclose(file);
  return result;
}
