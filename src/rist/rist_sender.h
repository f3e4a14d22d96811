#pragma once

#include <librist/librist.h>

#include <string>
#include <vector>

class RistWorker;

// The max jitter in ms to give a sender's context for a stream of incoming_mbps; 0
// keeps librist's default. librist 0.2.7's sender frees at most nine sent packets per
// pass of its protocol loop, whose pace follows the max jitter: at the default (about
// 420 passes a second) a stream above ~35 Mbit/s outgrows the cleanup and its queue
// grows as long as the stream runs. A shorter max jitter wakes the loop more often,
// which costs many small streams CPU (up to twice as much at 1 ms), so the faster the
// stream the shorter its max jitter. incoming_mbps is 0 for a caller that has not sent.
int rist_max_jitter_ms_for(double incoming_mbps);

// Creates the worker's librist sender with the given profile, one peer for every pair
// of the worker's networks and destinations (network by network), and starts it. The
// context gets the worker's rist_max_jitter_ms when that is set.
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
void on_connection_status(void* arg, rist_peer* peer, rist_connection_status status);

// librist's log callback, on any of librist's threads: writes the message as a log line.
int on_rist_log(void* arg, rist_log_level level, const char* message);
