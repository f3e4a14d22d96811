#pragma once

#include <librist/librist.h>

#include <cstddef>
#include <string>

class RistWorker;

// Creates the worker's librist sender with the given profile, one peer for every pair
// of the worker's networks and destinations (network by network), and starts it.
// Runs on the worker's thread. False when the context could not be created or started.
bool create_sender(RistWorker* worker, rist_profile profile);

// Destroys the context with its peers. librist calls back during the teardown (a
// connected peer is reported timed out) and no more afterwards, so the caller holds no
// lock that on_connection_status takes.
void destroy_sender(rist_ctx* context);

// Creates one peer for a base URL "rist://host:port" and records it in the worker's
// peers under the URL "base?cname=STREAM_ID" (with "&miface=NETWORK&weight=W" when
// network is not empty: 1 to balance, 0 to duplicate, after the worker's uplink mode). librist parses the URL
// without the stream id and gets the stream id as the peer's cname (see peer_cname), so no byte of it can
// become an option.
bool create_peer(RistWorker* worker, rist_ctx* context, const std::string& base_url,
                 const std::string& network);

// The cname a stream's peers announce: the stream id up to its first NUL byte, cut to
// at most kMaxCnameLength bytes without splitting a UTF-8 character.
std::string peer_cname(const std::string& stream_id);
// librist keeps the cname in 128 bytes with its terminator and, when it writes the
// cname into RTCP, copies up to four bytes after it (terminator and padding) out of
// those 128: a cname of at most 125 bytes keeps the copy inside them.
constexpr size_t kMaxCnameLength = 125;

// librist's connection-status callback, on librist's protocol thread; arg is the
// worker. A timed-out peer leaves `peers`; when none is left the worker is stopped.
// Reports that come while the worker's teardown destroys the peers change nothing.
void on_connection_status(void* arg, rist_peer* peer, rist_connection_status status);

// librist's log callback, on any of librist's threads: writes the message as a log line.
int on_rist_log(void* arg, rist_log_level level, const char* message);
