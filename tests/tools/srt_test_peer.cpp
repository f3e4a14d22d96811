// An SRT peer for the end-to-end tests that can do what srt-live-transmit cannot:
// announce any stream id bytes, send messages of any size up to the live maximum, and
// open many callers in the same instant. Every caller connects to 127.0.0.1:PORT.
//
//   srt_test_peer ids PORT SIZE       stdin: one hex stream id per line. For each line the
//                                     previous caller is closed and a new one connects,
//                                     sends one SIZE-byte message and prints "ok" or
//                                     "refused REASON".
//   srt_test_peer send PORT SIZE HEXID RATE HOLD
//                                     one caller sends stdin in SIZE-byte messages at
//                                     RATE bytes/s, stays HOLD s after the end, prints
//                                     "sent N".
//   srt_test_peer burst PORT SIZE HEXID COUNT SECONDS RATE SPREAD
//                                     COUNT callers connect at the same instant, or one
//                                     after another over SPREAD s (ids HEXID followed by
//                                     their number); each sends
//                                     SIZE-byte messages at RATE bytes/s for SECONDS and
//                                     hangs up; prints "connected C of COUNT" and one
//                                     "refused REASON" line per refusal.
//   srt_test_peer listen PORT SIZE RATE HOLD
//                                     waits for one caller, sends it stdin in SIZE-byte
//                                     messages at RATE bytes/s, stays HOLD s, prints
//                                     "sent N".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <srt/srt.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

std::string from_hex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

std::string last_error(SRTSOCKET socket) {
  std::string text = srt_getlasterror_str();
  int reason = srt_getrejectreason(socket);
  if (reason != SRT_REJ_UNKNOWN) text += std::string(" (") + srt_rejectreason_str(reason) + ")";
  return text;
}

// A live-mode socket that sends messages of `size` bytes.
SRTSOCKET live_socket(int size) {
  SRTSOCKET socket = srt_create_socket();
  int yes = 1;
  int timeout_ms = 5000;
  srt_setsockflag(socket, SRTO_SENDER, &yes, sizeof yes);
  srt_setsockflag(socket, SRTO_CONNTIMEO, &timeout_ms, sizeof timeout_ms);
  srt_setsockflag(socket, SRTO_PAYLOADSIZE, &size, sizeof size);
  return socket;
}

// Connects a caller announcing stream_id; SRT_INVALID_SOCK with `error` set on failure.
SRTSOCKET connect_caller(int port, int size, const std::string& stream_id, std::string& error) {
  SRTSOCKET socket = live_socket(size);
  if (srt_setsockflag(socket, SRTO_STREAMID, stream_id.data(), static_cast<int>(stream_id.size())) ==
      SRT_ERROR) {
    error = "stream id not accepted by libsrt: " + last_error(socket);
    srt_close(socket);
    return SRT_INVALID_SOCK;
  }
  sockaddr_in address = loopback(port);
  if (srt_connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == SRT_ERROR) {
    error = last_error(socket);
    srt_close(socket);
    return SRT_INVALID_SOCK;
  }
  return socket;
}

// Sleeps until `bytes` are due at `rate` bytes per second after `start`.
void pace(Clock::time_point start, size_t bytes, double rate) {
  std::this_thread::sleep_until(start +
                                std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(static_cast<double>(bytes) / rate)));
}

// Sends stdin in messages of `size` bytes (the last one may be shorter); gives the count.
size_t send_stdin(SRTSOCKET socket, int size, double rate) {
  std::vector<char> message(static_cast<size_t>(size));
  size_t messages = 0, bytes = 0;
  Clock::time_point start = Clock::now();
  while (true) {
    size_t length = std::fread(message.data(), 1, message.size(), stdin);
    if (length == 0) break;
    if (srt_sendmsg2(socket, message.data(), static_cast<int>(length), nullptr) == SRT_ERROR) {
      std::cerr << "send: " << srt_getlasterror_str() << std::endl;
      break;
    }
    ++messages;
    bytes += length;
    pace(start, bytes, rate);
  }
  return messages;
}

void hold(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

int run_ids(int port, int size) {
  std::string message(static_cast<size_t>(size), '\x47');
  SRTSOCKET previous = SRT_INVALID_SOCK;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (previous != SRT_INVALID_SOCK) srt_close(previous);
    std::string error;
    previous = connect_caller(port, size, from_hex(line), error);
    if (previous != SRT_INVALID_SOCK && srt_sendmsg2(previous, message.data(), size, nullptr) == SRT_ERROR) {
      error = "send: " + last_error(previous);
    }
    std::cout << (error.empty() ? "ok" : "refused " + error) << std::endl;
  }
  if (previous != SRT_INVALID_SOCK) srt_close(previous);
  return 0;
}

int run_send(int port, int size, const std::string& stream_id, double rate, double hold_seconds) {
  std::string error;
  SRTSOCKET socket = connect_caller(port, size, stream_id, error);
  if (socket == SRT_INVALID_SOCK) {
    std::cout << "refused " << error << std::endl;
    return 1;
  }
  size_t messages = send_stdin(socket, size, rate);
  hold(hold_seconds);
  srt_close(socket);
  std::cout << "sent " << messages << std::endl;
  return 0;
}

// Holds every caller thread until all of them are ready, then lets them go at once.
class StartingGate {
 public:
  explicit StartingGate(int count) : waiting_(count) {}
  void arrive_and_wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (--waiting_ == 0) changed_.notify_all();
    changed_.wait(lock, [this] { return waiting_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int waiting_;
};

int run_burst(int port, int size, const std::string& stream_id, int count, double seconds, double rate,
              double spread) {
  StartingGate gate(count);
  std::mutex output;
  std::atomic<int> connected{0};
  std::vector<std::thread> callers;
  for (int number = 0; number < count; ++number) {
    callers.emplace_back([&, number] {
      std::string id = stream_id + std::to_string(number);
      gate.arrive_and_wait();
      hold(spread * number / count);
      std::string error;
      SRTSOCKET socket = connect_caller(port, size, id, error);
      if (socket == SRT_INVALID_SOCK) {
        std::lock_guard<std::mutex> lock(output);
        std::cout << "refused " << error << std::endl;
        return;
      }
      ++connected;
      std::string message(static_cast<size_t>(size), '\x47');
      Clock::time_point start = Clock::now();
      for (size_t sent = 0; Clock::now() - start < std::chrono::duration<double>(seconds);
           sent += message.size()) {
        if (srt_sendmsg2(socket, message.data(), size, nullptr) == SRT_ERROR) break;
        pace(start, sent + message.size(), rate);
      }
      srt_close(socket);
    });
  }
  for (std::thread& caller : callers) caller.join();
  std::cout << "connected " << connected << " of " << count << std::endl;
  return 0;
}

int run_listen(int port, int size, double rate, double hold_seconds) {
  SRTSOCKET listener = live_socket(size);
  sockaddr_in address = loopback(port);
  if (srt_bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == SRT_ERROR ||
      srt_listen(listener, 4) == SRT_ERROR) {
    std::cerr << "listen: " << srt_getlasterror_str() << std::endl;
    return 1;
  }
  std::cout << "listening" << std::endl;
  sockaddr_storage peer{};
  int peer_length = sizeof peer;
  SRTSOCKET socket = srt_accept(listener, reinterpret_cast<sockaddr*>(&peer), &peer_length);
  if (socket == SRT_INVALID_SOCK) {
    std::cerr << "accept: " << srt_getlasterror_str() << std::endl;
    return 1;
  }
  std::cout << "accepted" << std::endl;
  size_t messages = send_stdin(socket, size, rate);
  hold(hold_seconds);
  srt_close(socket);
  srt_close(listener);
  std::cout << "sent " << messages << std::endl;
  return 0;
}

int dispatch(const std::vector<std::string>& args) {
  const std::string& mode = args[0];
  int port = std::stoi(args[1]);
  int size = std::stoi(args[2]);
  if (mode == "ids" && args.size() == 3) return run_ids(port, size);
  if (mode == "send" && args.size() == 6) {
    return run_send(port, size, from_hex(args[3]), std::stod(args[4]), std::stod(args[5]));
  }
  if (mode == "burst" && args.size() == 8) {
    return run_burst(port, size, from_hex(args[3]), std::stoi(args[4]), std::stod(args[5]),
                     std::stod(args[6]), std::stod(args[7]));
  }
  if (mode == "listen" && args.size() == 5)
    return run_listen(port, size, std::stod(args[3]), std::stod(args[4]));
  std::cerr << "usage: see the head of srt_test_peer.cpp" << std::endl;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() < 3) {
    std::cerr << "usage: see the head of srt_test_peer.cpp" << std::endl;
    return 2;
  }
  srt_startup();
  srt_setloglevel(LOG_CRIT);
  int status = dispatch(args);
  srt_cleanup();
  return status;
}
