#pragma once

#include <librist/librist.h>

#include <string>
#include <vector>

class RistWorker;

// Creates the worker's librist sender with the given profile, one peer for every pair
// of the worker's networks and destinations (network by network), and starts it.
// Runs on the worker's thread. False when the context could not be created or started.
bool create_sender(RistWorker* worker, rist_profile profile);

// Destroys the peers and then the context. librist must call back no more afterwards,
// so the caller holds no lock that on_connection_status takes.
void destroy_sender(rist_ctx* context, const std::vector<rist_peer*>& peers);

// Builds the peer URL (with "&miface=" and "&weight=1" when network is not empty), has
// librist parse it, creates the peer and records it in the worker's peers.
bool create_peer(RistWorker* worker, rist_ctx* context, std::string url, std::string network);

// librist's connection-status callback, on librist's protocol thread; arg is the
// worker. A timed-out peer leaves `peers`; when none is left the worker is stopped.
// Reports that come while the worker's teardown destroys the peers change nothing.
void on_connection_status(void* arg, rist_peer* peer, rist_connection_status status);

// librist's log callback, on any of librist's threads: writes the message as a log line.
int on_rist_log(void* arg, rist_log_level level, const char* message);
