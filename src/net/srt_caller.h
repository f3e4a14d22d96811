#pragma once

#include <srt/srt.h>

#include "net/srt_caller_params.h"

// Sets one SRT socket option; a failure is logged under `name` and gives false.
bool set_option(SRTSOCKET socket, SRT_SOCKOPT option, const char* name, const void* value, int length);

// Creates a live-mode SRT socket and connects it to params.host:params.port, blocking
// for the handshake. On success `socket` holds the open connection, which then belongs
// to the caller. On failure, also when an encryption option cannot be applied, the
// created socket has already been closed.
bool connect_caller(SRTSOCKET& socket, const SrtCallerParams& params);
