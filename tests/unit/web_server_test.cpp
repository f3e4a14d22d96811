#include "web/web_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fakes.h"
#include "stats/stream_stats.h"

namespace {

using Headers = httplib::Headers;
const char* const kForm = "application/x-www-form-urlencoded";

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  return address;
}

int free_tcp_port() {
  int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback(0);
  bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  close(probe);
  return ntohs(address.sin_port);
}

// Sends raw bytes on a connection of its own, ends the sending side and gives the
// status of the answer the server sent before it closed; 0 when none came.
int exchange(int port, const std::string& data) {
  int sock = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback(port);
  timeval timeout{20, 0};
  setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string answer;
  if (connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    for (size_t sent = 0; sent < data.size();) {
      ssize_t count = send(sock, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (count <= 0) break;
      sent += static_cast<size_t>(count);
    }
    shutdown(sock, SHUT_WR);
    char buffer[4096];
    for (ssize_t count; (count = recv(sock, buffer, sizeof buffer, 0)) > 0;) {
      answer.append(buffer, static_cast<size_t>(count));
    }
  }
  close(sock);
  return answer.rfind("HTTP/1.1 ", 0) == 0 ? std::stoi(answer.substr(9, 3)) : 0;
}

std::string form(const std::string& text) { return "config=" + httplib::detail::encode_query_param(text); }

size_t count_of(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Bytes that differ from one position to the next, so that a misplaced range shows.
std::string pattern(size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i * 7 % 251);
  return bytes;
}

// A WebServer on a free loopback port with a web folder of its own, serving on a thread
// against a FakeGlobalState. The log goes to a capture that `log` reads.
class WebServerTest : public testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(state.dir.path / "web");
    write_file(web_file("index.html"), "<!doctype html><title>sluice</title>\n");
    write_file(web_file("file.bin"), file);
    testing::internal::CaptureStdout();
    serving = std::thread([this] { server.start("127.0.0.1", port, (state.dir.path / "web").string()); });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!client().Get("/hi") && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  void TearDown() override {
    server.stop();
    serving.join();
    captured += testing::internal::GetCapturedStdout();
    if (HasFailure()) std::cout << captured;  // gtest's own failure messages are in it too
  }

  std::string web_file(const std::string& name) const { return (state.dir.path / "web" / name).string(); }
  std::string saved() const { return read_file(state.dir.file("config.ini")); }
  std::string log() {
    captured += testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    return captured;
  }
  httplib::Client client() {
    httplib::Client http("127.0.0.1", port);
    http.set_read_timeout(20);
    return http;
  }
  httplib::Result send(const std::string& method, const std::string& path, Headers headers = {},
                       const std::string& body = "") {
    httplib::Request request;
    request.method = method;
    request.path = path;
    request.headers = std::move(headers);
    request.body = body;
    if (!body.empty() && !request.has_header("Content-Type")) request.set_header("Content-Type", kForm);
    return client().send(request);
  }

  const std::string file = pattern(1100);
  FakeGlobalState state;
  WebServer server{state};
  const int port = free_tcp_port();
  std::thread serving;
  std::string captured;
};

TEST_F(WebServerTest, RoutesAnswerTheirDocuments) {
  write_file(state.dir.file("config.ini"), "// caf\xc3\xa9 \xff\r\nsrt_port = 9001\r\n\r\n[map]\n");
  state.interfaces = {{"All", "", "0.00 bps", "0.00 bps"}};
  auto stream = std::make_shared<StreamStats>("cam\"1\xff", false, "10.0.0.1:1000", SRT_INVALID_SOCK);
  state.streams.add(stream);
  struct Case {
    std::string method, path;
    int status;
    std::string type, body;  // body "*": not compared
  } cases[] = {
      {"GET", "/hi", 200, "text/plain", "Hello from server"},
      {"GET", "/api/state", 200, "application/json",
       R"({"ifaces":[{ "title": "All","ip": "","output": "0.00 bps","input": "0.00 bps"}]})"},
      {"GET", "/api/config", 200, "text/plain", read_file(state.dir.file("config.ini"))},
      {"GET", "/api/streams", 200, "application/json", "*"},
      {"GET", "/metrics", 200, "text/plain; version=0.0.4; charset=utf-8", "*"},
      {"GET", "/", 200, "text/html", read_file(web_file("index.html"))},
      {"GET", "/file.bin", 200, "", file},
      {"GET", "/nothing-here", 404, "", "*"},
      {"GET", "/api/nothing", 404, "", "*"},
      {"GET", "/../config.ini", 404, "", "*"},
      {"GET", "/%2e%2e/config.ini", 404, "", "*"},
      {"POST", "/api/state", 404, "", "*"},
      {"POST", "/hi", 404, "", "*"},
      {"PUT", "/api/config", 404, "", "*"},
  };
  for (const Case& c : cases) {
    auto answer = send(c.method, c.path);
    ASSERT_TRUE(answer) << c.path;
    EXPECT_EQ(answer->status, c.status) << c.method << " " << c.path;
    EXPECT_TRUE(c.type.empty() || answer->get_header_value("Content-Type") == c.type) << c.path;
    EXPECT_TRUE(c.body == "*" || answer->body == c.body) << c.path;
  }
  auto streams = nlohmann::json::parse(send("GET", "/api/streams")->body)["streams"];
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_EQ(streams[0]["stream_id"], "cam\"1\xef\xbf\xbd");
  std::string metrics = send("GET", "/metrics")->body;
  EXPECT_NE(metrics.find("sluice_workers_running 1\n"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find(R"({stream_id="cam\"1)"
                         "\xef\xbf\xbd\""),
            std::string::npos)
      << metrics;
}

// Each POST either saves its text (`after`) or is refused and leaves the file alone.
TEST_F(WebServerTest, ConfigPostsAreJudgedAndSaved) {
  const std::string own = "http://127.0.0.1:" + std::to_string(port), api = "/api/config";
  auto text = [](const std::string& line) { return "srt_port = 9001\r\n// " + line + "\r\n"; };
  const std::string big = text(std::string(60000, 'x')), too_big = text(std::string(65536, 'x'));
  const std::string multipart =
      "--XyZ\r\nContent-Disposition: form-data; name=\"config\"\r\n\r\na=1\r\n--XyZ--\r\n";
  struct Case {
    std::string name, path;
    Headers headers;
    std::string body;
    int status;
    std::string after;  // empty: the file stays as it was
  } cases[] = {
      {"curl's form", api, {}, form(text("curl")), 200, text("curl")},
      {"the query string", api + "?" + form(text("query")), {}, "", 200, text("query")},
      {"two values", api, {}, form(text("one")) + "&" + form(text("two")), 200, text("one")},
      {"a form above 8 KiB", api, {}, form(big), 200, big},
      {"own page",
       api,
       {{"Origin", own}, {"Sec-Fetch-Site", "same-origin"}},
       form(text("own")),
       200,
       text("own")},
      {"own page, older browser", api, {{"Origin", own}}, form(text("old")), 200, text("old")},
      {"comments only", api, {}, form("// a\r\n[map]\r\n=x\r\nkey=\r\n"), 400, ""},
      {"empty text", api, {}, "config=", 400, ""},
      {"no config field", api, {}, "other=srt_port%3D1", 400, ""},
      {"raw body", api, {{"Content-Type", "text/plain"}}, "srt_port=1\n", 400, ""},
      {"multipart", api, {{"Content-Type", "multipart/form-data; boundary=XyZ"}}, multipart, 400, ""},
      {"another site", api, {{"Sec-Fetch-Site", "cross-site"}}, form(text("x")), 403, ""},
      {"same site",
       api,
       {{"Origin", "http://127.0.0.1:1"}, {"Sec-Fetch-Site", "same-site"}},
       form(text("x")),
       403,
       ""},
      {"another site, older browser", api, {{"Origin", "http://evil.example"}}, form(text("x")), 403, ""},
      {"a sandboxed page", api, {{"Origin", "null"}}, form(text("x")), 403, ""},
      {"another site, any path", "/hi", {{"Sec-Fetch-Site", "cross-site"}}, "x=1", 403, ""},
      {"compressed", api, {{"Content-Encoding", "gzip"}}, form(text("x")), 415, ""},
      {"above the body limit", api, {}, form(too_big), 413, ""},
  };
  for (const Case& c : cases) {
    std::string before = saved();
    auto answer = send("POST", c.path, c.headers, c.body);
    ASSERT_TRUE(answer) << c.name;
    EXPECT_EQ(answer->status, c.status) << c.name;
    if (c.status != 200) {
      EXPECT_FALSE(answer->body.empty()) << c.name << ": a refusal names its reason";
    }
    EXPECT_EQ(saved(), c.after.empty() ? before : c.after) << c.name;
    EXPECT_EQ(send("GET", api)->body, saved()) << c.name;
  }
  std::filesystem::create_directory(state.dir.file("config.ini.tmp"));
  std::string before = saved();
  EXPECT_EQ(send("POST", api, {}, form(text("unsaved")))->status, 500);
  EXPECT_EQ(saved(), before);
  EXPECT_EQ(count_of(log(), "fail apply config"), 3u) << "two texts rejected, one save failed";
}

TEST_F(WebServerTest, TheTokenGuardsTheApiAndMetricsOnly) {
  const std::string token = "s3cret-token-42", good = "Bearer " + token;
  ASSERT_EQ(state.config.apply("web_token = " + token + "\n", true), ApplyResult::applied);
  const std::string before = saved();
  struct Case {
    std::string method, path, authorization;  // empty: no Authorization header
    int status;
  } cases[] = {{"GET", "/api/state", "", 401},
               {"GET", "/api/state", "Bearer wrong", 401},
               {"HEAD", "/api/state", "", 401},
               {"GET", "/%61pi/state", "", 401},
               {"GET", "/api", "", 401},
               {"GET", "/api/not-a-route", "", 401},
               {"GET", "/api/streams", "", 401},
               {"GET", "/metrics", "", 401},
               {"GET", "/api/config", "", 401},
               {"POST", "/api/config", "", 401},
               {"POST", "/api/config", "Bearer x", 401},
               {"GET", "/api/state", good, 200},
               {"GET", "/metrics", good, 200},
               {"GET", "/api/not-a-route", good, 404},
               {"GET", "/hi", "", 200},
               {"GET", "/hi", "Bearer wrong", 200},
               {"GET", "/", "", 200}};
  for (const Case& c : cases) {
    Headers headers;
    if (!c.authorization.empty()) headers.emplace("Authorization", c.authorization);
    auto answer = send(c.method, c.path, headers, c.method == "POST" ? form("srt_port = 1\n") : "");
    ASSERT_TRUE(answer) << c.path;
    EXPECT_EQ(answer->status, c.status) << c.method << " " << c.path << " " << c.authorization;
    if (c.status != 401) continue;
    EXPECT_EQ(answer->get_header_value("WWW-Authenticate"), "Bearer");
    EXPECT_TRUE(c.method == "HEAD" || !answer->body.empty()) << "a refusal names its reason";
    EXPECT_EQ(answer->body.find(token), std::string::npos);
  }
  EXPECT_EQ(saved(), before);

  // A posted token counts from the next request on; posting none opens the API again.
  auto bearer = [](const std::string& value) { return Headers{{"Authorization", "Bearer " + value}}; };
  EXPECT_EQ(send("POST", "/api/config", bearer(token), form("web_token = renewed\n"))->status, 200);
  EXPECT_EQ(send("GET", "/api/state", bearer(token))->status, 401);
  EXPECT_EQ(send("GET", "/api/state", bearer("renewed"))->status, 200);
  EXPECT_EQ(send("POST", "/api/config", bearer("renewed"), form("srt_port = 9001\n"))->status, 200);
  EXPECT_EQ(send("GET", "/api/state")->status, 200);
  EXPECT_EQ(log().find(token), std::string::npos);
}

TEST_F(WebServerTest, RangesNeverMakeAnAnswerLargerThanTheFile) {
  std::string repeated = "0-";
  for (int i = 1; i < 1500; ++i) repeated += ",0-";
  std::string nine;
  for (int i = 0; i < 9; ++i)
    nine += (i ? "," : "") + std::to_string(i * 10) + "-" + std::to_string(i * 10 + 4);
  struct Case {
    std::string path, ranges;
    int status;
    std::string body;  // empty: the two parts checked below
  } cases[] = {
      {"/file.bin", repeated, 200, file},
      {"/file.bin", "0-99,50-149", 200, file},
      {"/file.bin", "0-9,-10", 200, file},
      {"/file.bin", nine, 200, file},
      {"/file.bin", "5-9", 206, file.substr(5, 5)},
      {"/file.bin", "0-9,20-29", 206, ""},
      {"/api/state", repeated, 200, R"({"ifaces":[]})"},
  };
  for (const Case& c : cases) {
    auto answer = send("GET", c.path, {{"Range", "bytes=" + c.ranges}});
    ASSERT_TRUE(answer) << c.ranges.substr(0, 20);
    EXPECT_EQ(answer->status, c.status) << c.ranges.substr(0, 20);
    EXPECT_LT(answer->body.size(), file.size() + 1024);
    if (c.body.empty()) {
      EXPECT_NE(answer->body.find(file.substr(0, 10)), std::string::npos);
      EXPECT_NE(answer->body.find(file.substr(20, 10)), std::string::npos);
    } else {
      EXPECT_EQ(answer->body, c.body) << c.ranges.substr(0, 20);
    }
  }
}

// Raw requests that no client library sends: each is refused (the status given, or 0
// for no answer or any 4xx), changes nothing, and the server goes on serving.
TEST_F(WebServerTest, HostileRequestsAreRefused) {
  std::mt19937 random(20240609);
  std::string noise(4096, '\0');
  for (char& byte : noise) byte = static_cast<char>(random());
  std::string headers;
  for (int i = 0; i < 20000; ++i) headers += "X-Filler-" + std::to_string(i) + ": value\r\n";
  const std::string form_head =
      "POST /api/config HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n";
  const std::string long_form = form(std::string(70000, 'x'));
  std::string chunked;
  for (size_t at = 0; at < long_form.size(); at += 4096) {
    std::string piece = long_form.substr(at, 4096);
    char size[16];
    std::snprintf(size, sizeof size, "%zx", piece.size());
    chunked += size + ("\r\n" + piece) + "\r\n";
  }
  const std::string body = "config=srt_port%3D1%0Aweb_port%3D2%0A";
  struct Case {
    std::string name, data;
    int status;
  } cases[] = {
      {"random bytes", noise, 0},
      {"HTTP/0.9", "GET /api/state\r\n\r\n", 0},
      {"request line of 1 MB", "GET /" + std::string(1 << 20, 'a') + " HTTP/1.1\r\n\r\n", 0},
      {"header of 1 MB", "GET /hi HTTP/1.1\r\nX-Big: " + std::string(1 << 20, 'a') + "\r\n\r\n", 0},
      {"20000 headers", "GET /hi HTTP/1.1\r\n" + headers + "\r\n", 0},
      {"negative length", form_head + "Content-Length: -5\r\n\r\n" + body, 0},
      {"length beyond 64 bits", form_head + "Content-Length: 18446744073709551616\r\n\r\n" + body, 0},
      {"broken chunks", form_head + "Transfer-Encoding: chunked\r\n\r\nzz\r\n" + body + "\r\n0\r\n\r\n", 0},
      {"body shorter than its length", form_head + "Content-Length: 1000\r\n\r\n" + body, 0},
      {"body cut in a key",
       form_head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body.substr(0, 20), 0},
      {"chunked form above the limit",
       form_head + "Transfer-Encoding: chunked\r\n\r\n" + chunked + "0\r\n\r\n", 413},
      {"200 MB announced", "POST /hi HTTP/1.1\r\nContent-Length: 209715200\r\n\r\n", 413},
  };
  ASSERT_EQ(state.config.apply("srt_port = 9001\n", true), ApplyResult::applied);
  const std::string before = saved();
  for (const Case& c : cases) {
    int status = exchange(port, c.data);
    bool refused = c.status != 0 ? status == c.status : status == 0 || (status >= 400 && status < 500);
    EXPECT_TRUE(refused) << c.name << ": " << status;
    auto hi = send("GET", "/hi");
    ASSERT_TRUE(hi) << c.name;
    EXPECT_EQ(hi->body, "Hello from server") << c.name;
  }
  EXPECT_EQ(saved(), before);
}

}  // namespace
