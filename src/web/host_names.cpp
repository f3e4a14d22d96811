#include "web/host_names.h"

#include <optional>

#include "base/text_utils.h"
#include "net/socket_headers.h"

namespace {

bool is_port(std::string_view text) {
  return !text.empty() && text.size() <= 5 && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// "name:port" and "[v6]:port" give their host; nothing when what follows the host is
// not ":" and a port number.
std::optional<std::string_view> without_port(std::string_view authority) {
  std::size_t host_end = authority.find(':');
  if (!authority.empty() && authority.front() == '[') {
    host_end = authority.find(']');
    if (host_end == std::string_view::npos) return std::nullopt;
    ++host_end;
  }
  if (host_end >= authority.size()) return authority;
  if (authority[host_end] != ':' || !is_port(authority.substr(host_end + 1))) return std::nullopt;
  return authority.substr(0, host_end);
}

bool is_ip_literal(const std::string& host) {
  unsigned char address[sizeof(in6_addr)];
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), address) == 1;
  }
  return inet_pton(AF_INET, host.c_str(), address) == 1;
}

}  // namespace

bool names_this_host(std::string_view host, const std::string& machine_name) {
  std::optional<std::string_view> name = without_port(host);
  // A NUL would end the text that inet_pton reads.
  if (!name || name->empty() || name->find('\0') != std::string_view::npos) return false;
  std::string lower = to_lower(std::string(*name));
  return is_ip_literal(lower) || lower == "localhost" || lower.ends_with(".localhost") ||
         (!machine_name.empty() && lower == machine_name);
}
