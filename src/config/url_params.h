#pragma once

#include <map>
#include <string>

// The query parameters of an endpoint URL, in ascending byte-wise key order.
using UrlParams = std::map<std::string, std::string>;

// Splits "scheme://host[:port][?|&query]" into host, port and parameters; a host in
// brackets ("[2001:db8::7]:5000") is given without them. Outputs the
// URL does not supply stay as they were; a URL without "://" supplies none. A port
// is the number its text begins with (blanks and a sign allowed); a text that does
// not begin with a number, or a number outside 32 bits, gives 0.
void parse_url(const std::string& url, std::string& host, int& port, UrlParams& params);

// The "host:port" part of an endpoint URL: the text after "://" up to the first "?" or
// "&". Empty when the URL has no "://".
std::string url_authority(const std::string& url);

// True when a "host:port" text holds an IPv6 address: in brackets, with "::" or with
// more than two ":" (unbracketed, the port cannot be told from the address).
bool is_ipv6_authority(const std::string& authority);

// True for a port number of 1 to 65535.
bool is_valid_port(int port);
// True for the text of such a port: plain digits only.
bool is_valid_port(const std::string& text);

// "key=value" pieces separated by "&"; pieces without "=" are skipped and a later key
// replaces an earlier one. No decoding, no trimming.
UrlParams parse_query(const std::string& query);

// The value under key (also when empty), or default_value when the key is absent.
std::string get_param(const UrlParams& params, const std::string& key, const std::string& default_value);

// True for a non-empty text of the digits 0-9 only.
bool is_number(const std::string& text);
