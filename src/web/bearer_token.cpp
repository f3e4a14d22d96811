#include "web/bearer_token.h"

#include "base/text_utils.h"

namespace {

const std::string_view kScheme = "bearer";

}  // namespace

bool constant_time_equal(std::string_view presented, std::string_view expected) {
  if (expected.empty()) return presented.empty();
  unsigned difference = presented.size() == expected.size() ? 0 : 1;
  for (size_t i = 0; i < presented.size(); ++i) {
    difference |=
        static_cast<unsigned char>(presented[i]) ^ static_cast<unsigned char>(expected[i % expected.size()]);
  }
  return difference == 0;
}

bool bearer_token_matches(std::string_view authorization, std::string_view token) {
  if (token.empty() || authorization.size() <= kScheme.size()) return false;
  if (to_lower(std::string(authorization.substr(0, kScheme.size()))) != kScheme) return false;
  std::string_view rest = authorization.substr(kScheme.size());
  size_t credentials = rest.find_first_not_of(' ');
  if (credentials == 0 || credentials == std::string_view::npos) return false;
  return constant_time_equal(rest.substr(credentials), token);
}
