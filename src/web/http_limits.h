#pragma once

#include <chrono>
#include <cstddef>

// What one HTTP client may take of the gateway. Every request is hostile until proven
// otherwise; these bounds keep a client from growing the memory, holding every worker
// or multiplying the bytes it gets back.

// The largest request body: the configuration form, with room for a config.ini of
// about 210 KiB even when every byte of it travels percent-encoded: a thousand route
// lines of 200 bytes (destinations with a secret and a few options) and the rest.
// Longer bodies are refused with 413 before they are read. 64 workers reading such a
// body at once hold 40 MiB.
inline constexpr std::size_t kMaxRequestBodyBytes = 640 * 1024;

// The request line and headers together, as much as common web servers take by
// default. With the body this bounds what one request can make the server read.
inline constexpr std::size_t kMaxRequestHeadBytes = 32 * 1024;

// A request must arrive whole, head and body, this long after its first byte; a client
// that trickles it is cut off.
inline constexpr std::chrono::seconds kRequestArrivalTime{5};

// Requests are served one connection per worker thread. An address may hold as many
// workers as it likes while kReservedWorkers stay free for the others, so one address
// alone holds at most 56: a reverse proxy or a dashboard of many panels in front of
// the gateway is served whole. Once fewer would stay free, the address that holds the
// most is refused, so that one slow or hostile client cannot keep the others out.
inline constexpr std::size_t kWorkerThreads = 64;
inline constexpr std::size_t kReservedWorkers = 8;

// Connections the kernel keeps waiting for the accept loop. The library's 5 made a
// burst of clients wait a second for their retry.
inline constexpr int kListenBacklog = 64;

// A Range header with more ranges than this, or with ranges that overlap, is ignored
// and the whole file is sent: no answer is larger than the file itself.
inline constexpr std::size_t kMaxRanges = 8;
