#pragma once

class RistWorker;

// The talkback worker's loop, on its own thread: connects as an SRT caller to the
// worker's tb_endpoint and relays what arrives, in 1316-byte units, to the worker's
// accepted socket until either side fails or closes or the worker is stopped. A
// failed connect closes the caller at once. Stops the worker at the end.
void process_talkback_srt2srt(RistWorker* worker);
