#pragma once

#include <string>
#include <vector>

class RistWorker;

// Turns configured RIST destinations ("host:port", optionally with "rist://") into
// peer base URLs "rist://host:port", in order. A destination that names no usable
// endpoint is left out with a log line saying why.
std::vector<std::string> normalise_destinations(const std::vector<std::string>& destinations);

// Counts one unit's outcome into the failed units in a row (a unit that went out
// clears the count); true when the stream must end, at the sixth failure in a row.
bool count_send_outcome(int& errors_in_a_row, bool failed);

// The forwarding worker's loop, on its own thread: brings up the RIST sender and moves
// the SRT payload to it in 1316-byte units until the SRT side closes or fails, the
// worker is stopped, or the sixth RIST write in a row fails. Stops the worker at the end.
void process_data_send(RistWorker* worker);
