#include "config/paths.h"

#include <filesystem>
#include <system_error>

namespace {

std::string current_directory() {
  std::error_code error;
  std::filesystem::path directory = std::filesystem::current_path(error);
  return error ? std::string(".") : directory.string();
}

}  // namespace

std::string config_path() { return current_directory() + "/config.ini"; }

std::string web_folder_path() { return current_directory() + "/web"; }
