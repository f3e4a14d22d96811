#pragma once

#include <optional>
#include <string>
#include <vector>

#include "net/srt_caller.h"

class RistWorker;

// The outgoing connection to the talkback endpoint: host, port and parameters
// ("streamid", "latency", "passphrase", "pbkeylen") from its URL, bound to the first
// local network. A number that is not a plain digit string, or too long for 32 bits,
// gives 0. Logs the parameters with the passphrase masked. Nothing, with a log line,
// when the URL names an IPv6 address or a port outside 1-65535.
std::optional<SrtCallerParams> talkback_caller_params(const std::string& tb_endpoint,
                                                      const std::vector<std::string>& networks,
                                                      const std::string& stream_id);

// The talkback worker's loop, on its own thread: connects as an SRT caller to the
// worker's tb_endpoint and relays what arrives (messages of any size up to 1456 bytes)
// in 1316-byte units to the worker's accepted socket until either side fails or closes
// or the worker is stopped. A failed connect closes the caller at once. Stops the
// worker at the end.
void process_talkback_srt2srt(RistWorker* worker);
