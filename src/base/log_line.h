#pragma once

#include <source_location>
#include <sstream>
#include <string>

// One line of the gateway's log: "[timestamp]  message  source-file  line".
// Compose it with <<; the destructor writes the whole line to standard output with one
// locked write and flushes, so lines of different threads never interleave.
// Any thread may create one; each instance belongs to the thread that made it.
class LogLine {
 public:
  explicit LogLine(std::source_location location = std::source_location::current());
  ~LogLine();
  LogLine(const LogLine&) = delete;
  LogLine& operator=(const LogLine&) = delete;

  template <typename T>
  LogLine& operator<<(const T& value) {
    message << value;
    return *this;
  }

 private:
  std::ostringstream message;
  std::source_location where;
};

// Local wall-clock time as "%Y-%m-%d.%X", for example 2025-08-15.14:03:07.
std::string log_timestamp();

// Writes text to standard output as it is (no frame), under the same lock as LogLine.
void write_unframed(const std::string& text);
