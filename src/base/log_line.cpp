#include "base/log_line.h"

#include <cstdio>
#include <ctime>
#include <mutex>

#include "base/local_time.h"

namespace {

std::mutex& output_mutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

LogLine::LogLine(std::source_location location) : where(location) {}

LogLine::~LogLine() {
  std::string line = "[" + log_timestamp() + "]  " + message.str() + "  " + where.file_name() + "  " +
                     std::to_string(where.line()) + "\n";
  write_unframed(line);
}

std::string log_timestamp() {
  std::tm local = local_time(std::time(nullptr));
  char buffer[80];
  size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%d.%X", &local);
  return std::string(buffer, length);
}

void write_unframed(const std::string& text) {
  std::lock_guard<std::mutex> lock(output_mutex());
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}
