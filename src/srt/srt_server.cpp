#include "srt/srt_server.h"

#include "app/log_line.h"

SrtServer::~SrtServer() { stop(); }

void SrtServer::start(int) { LogLine() << "run SRT server"; }

void SrtServer::stop() { LogLine() << "STOP SRT SERVER"; }
