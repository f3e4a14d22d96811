#pragma once

#include <string>

// A whole file read into memory, or why it could not be. Only a path where nothing
// exists, not even a symbolic link, is `missing`: a link that leads nowhere (say, to a
// volume not yet mounted), a directory or a file the process may not read is
// `unreadable`, and `failure` gives the system's reason.
struct FileText {
  enum class Status { read, missing, unreadable };
  Status status = Status::missing;
  std::string text;
  std::string failure;
};

FileText read_file_text(const std::string& path);
