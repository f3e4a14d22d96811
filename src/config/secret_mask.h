#pragma once

#include <string>

// The text to log for a setting or URL parameter: secrets (the web token, SRT
// passphrases, also inside a URL's query and after the colon of each allowed_streams
// entry, and the "secret" and "password" options of RIST destinations) are replaced
// by "***".
std::string mask_secrets(const std::string& key, const std::string& value);
