// The floor reference for the benchmark: the least a relay written straight on libsrt
// and librist can do. Accepts SRT callers on one port; each caller gets a thread that
// receives 1316-byte messages and writes each one to its own librist sender (main
// profile, one peer), nothing else. Runs until it is killed.
// Usage: bare_relay SRT_PORT RIST_URL
#include <arpa/inet.h>
#include <librist/librist.h>
#include <srt/srt.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

rist_ctx* create_sender(const char* url) {
  rist_ctx* ctx = nullptr;
  if (rist_sender_create(&ctx, RIST_PROFILE_MAIN, rist_flow_id_create(), nullptr) != 0) return nullptr;
  rist_peer_config* config = nullptr;
  rist_peer* peer = nullptr;
  if (rist_parse_address2(url, &config) != 0 || rist_peer_create(ctx, &peer, config) != 0 ||
      rist_start(ctx) != 0) {
    rist_destroy(ctx);
    return nullptr;
  }
  rist_peer_config_free2(&config);
  return ctx;
}

void relay(SRTSOCKET socket, const char* url) {
  rist_ctx* ctx = create_sender(url);
  if (ctx == nullptr) {
    std::fprintf(stderr, "bare_relay: no RIST sender for %s\n", url);
    srt_close(socket);
    return;
  }
  char buffer[1316];
  rist_data_block block{};
  block.payload = buffer;
  for (;;) {
    const int received = srt_recv(socket, buffer, sizeof buffer);
    if (received <= 0) break;
    block.payload_len = static_cast<size_t>(received);
    rist_sender_data_write(ctx, &block);
  }
  srt_close(socket);
  rist_destroy(ctx);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bare_relay SRT_PORT RIST_URL\n");
    return 2;
  }
  srt_startup();
  const SRTSOCKET listener = srt_create_socket();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (srt_bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      srt_listen(listener, 64) != 0) {
    std::fprintf(stderr, "bare_relay: %s\n", srt_getlasterror_str());
    return 1;
  }
  for (;;) {
    sockaddr_storage peer{};
    int length = sizeof peer;
    const SRTSOCKET socket = srt_accept(listener, reinterpret_cast<sockaddr*>(&peer), &length);
    if (socket == SRT_INVALID_SOCK) break;
    std::thread(relay, socket, argv[2]).detach();
  }
  srt_close(listener);
  srt_cleanup();
  return 0;
}
