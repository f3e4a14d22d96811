#pragma once

#include <string>

// The configuration file and the static web folder live in the process's current
// working directory (not the directory of the executable).
std::string config_path();
std::string web_folder_path();
