#include "web/web_server.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fakes.h"
#include "stats/stream_stats.h"
#include "web/bearer_token.h"
#include "web/http_limits.h"

namespace {

using Headers = httplib::Headers;
using namespace std::string_literals;

// A connection of its own to the server, whose answers come within 20 s.
int connect_to(int port) {
  int sock = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address);
  timeval timeout{20, 0};
  setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return sock;
}

// The status of the one answer that comes on sock before the server closes: 0 when
// none came, -1 when more than one did.
int answer_status(int sock) {
  std::string answers;
  char buffer[4096];
  for (long got; (got = recv(sock, buffer, sizeof buffer, 0)) > 0;)
    answers.append(buffer, static_cast<size_t>(got));
  if (answers.find("HTTP/1.1 ", 1) != std::string::npos) return -1;
  return answers.size() >= 12 && answers.rfind("HTTP/1.1 ", 0) == 0 ? std::stoi(answers.substr(9, 3)) : 0;
}

// Sends raw bytes on a connection of its own, ends the sending side and gives the
// status of the answer.
int exchange(int port, const std::string& data) {
  int sock = connect_to(port);
  send(sock, data.data(), data.size(), MSG_NOSIGNAL);  // blocks until all is sent or the server closes
  shutdown(sock, SHUT_WR);
  int status = answer_status(sock);
  close(sock);
  return status;
}

const char* const kForm = "application/x-www-form-urlencoded";

std::string form(const std::string& text) { return "config=" + httplib::detail::encode_query_param(text); }

// A WebServer on a free loopback port with a web folder of its own, serving on a thread
// against a FakeGlobalState.
class WebServerTest : public testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(state.dir.path / "web");
    for (size_t i = 0; i < 1100; ++i) file += static_cast<char>(i * 7 % 251);  // a misplaced range shows
    std::ofstream(state.dir.path / "web" / "file.bin", std::ios::binary) << file;
    // Read by the server's threads from now on; the values need escaping in JSON.
    state.interfaces = {
        {"eth\"0\\ caf\xC3\xA9", "10.0.0.1", "a\nb\x01", "3.00 Kbps", 0, 0, {"fd00::1", "a\"b"}},
        {"All", "", "0", "0", 0, 0, {}}};
    serving = std::thread([this] { server.start("127.0.0.1", port, (state.dir.path / "web").string()); });
    for (int tries = 0; tries < 1000 && !httplib::Client("127.0.0.1", port).Get("/hi"); ++tries)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  void TearDown() override {
    server.stop();
    serving.join();
  }

  std::string saved() const { return read_file(state.dir.file("config.ini")); }
  httplib::Result send(const std::string& method, const std::string& path, Headers headers = {},
                       const std::string& body = "") {
    httplib::Request request;
    request.method = method;
    request.path = path;
    request.headers = std::move(headers);
    request.body = body;
    if (!body.empty() && !request.has_header("Content-Type")) request.set_header("Content-Type", kForm);
    return httplib::Client("127.0.0.1", port).send(request);
  }

  std::string file;
  FakeGlobalState state;
  WebServer server{state};
  const int port = free_port(SOCK_STREAM);
  std::thread serving;
};

// Range headers that would make an answer larger than the file (too many ranges, or
// overlapping ones) are ignored: the whole file is sent, once.
TEST_F(WebServerTest, RoutesAnswerTheirDocumentsAndRangesStayBounded) {
  state.streams.add(
      std::make_shared<StreamStats>("cam\"1\xff", false, "10.0.0.1:1000", SRT_INVALID_SOCK, "cam1"));
  state.config.apply("route.cam2 = b:2\nroute.Cam1 = 10.0.0.5:5000, mixer:5001", false);
  const std::string ifaces =
      "{\"ifaces\":[{ \"title\": \"eth\\\"0\\\\ caf\xC3\xA9\",\"ip\": \"10.0.0.1\","
      "\"output\": \"a\\u000ab\\u0001\",\"input\": \"3.00 Kbps\",\"ipv6\": [\"fd00::1\",\"a\\\"b\"]},"
      "{ \"title\": \"All\",\"ip\": \"\",\"output\": \"0\",\"input\": \"0\",\"ipv6\": []}],"
      "\"routes\":[{\"name\":\"cam1\",\"destinations\":[\"10.0.0.5:5000\",\"mixer:5001\"]},"
      "{\"name\":\"cam2\",\"destinations\":[\"b:2\"]}]}";
  std::string repeated = "bytes=0-", nine = "bytes=0-4";
  for (int i = 1; i < 1500; ++i) repeated += ",0-";
  for (int i = 1; i < 9; ++i) nine += "," + std::to_string(i * 10) + "-" + std::to_string(i * 10 + 4);
  struct Case {
    std::string path, range, type;
    int status;
    std::string body;  // "parts": holds bytes 0-9 and 20-29 of the file; "*": not compared
  } cases[] = {{"/api/state", "", "application/json", 200, ifaces},
               {"/api/state", repeated, "application/json", 200, ifaces},
               {"/file.bin", "", "", 200, file},
               {"/file.bin", "bytes=0-99,50-149", "", 200, file},
               {"/file.bin", "bytes=0-9,-10", "", 200, file},
               {"/file.bin", nine, "", 200, file},
               {"/file.bin", "bytes=5-9", "", 206, file.substr(5, 5)},
               {"/file.bin", "bytes=0-9,20-29", "", 206, "parts"},
               {"/%2e%2e/config.ini", "", "", 404, "*"},
               {"/file.bin%00.js", "", "", 404, "*"}};
  for (const Case& c : cases) {
    auto answer = send("GET", c.path, c.range.empty() ? Headers{} : Headers{{"Range", c.range}});
    ASSERT_TRUE(answer) << c.path;
    std::string what = c.path + " " + c.range.substr(0, 20);
    EXPECT_EQ(answer->status, c.status) << what;
    EXPECT_TRUE(c.type.empty() || answer->get_header_value("Content-Type") == c.type) << what;
    bool parts = answer->body.find(file.substr(0, 10)) != std::string::npos &&
                 answer->body.find(file.substr(20, 10)) != std::string::npos;
    EXPECT_TRUE(c.body == "parts" ? parts : c.body == "*" || answer->body == c.body) << what;
  }
  auto streams = nlohmann::json::parse(send("GET", "/api/streams")->body)["streams"];
  EXPECT_EQ(streams[0]["stream_id"], "cam\"1\xef\xbf\xbd");
  EXPECT_EQ(streams[0]["route"], "cam1");
  auto metrics = send("GET", "/metrics");
  EXPECT_EQ(metrics->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_NE(metrics->body.find("{stream_id=\"cam\\\"1\xef\xbf\xbd\""), std::string::npos) << metrics->body;
}

// Each POST either saves its text (`after`) or is refused and leaves the file alone.
TEST_F(WebServerTest, ConfigPostsAreJudgedAndSaved) {
  const std::string own = "http://127.0.0.1:" + std::to_string(port), api = "/api/config";
  auto text = [](const std::string& line) { return "srt_port = 9001\r\n// " + line + "\r\n"; };
  const std::string big = text(std::string(kMaxRequestBodyBytes - 100, 'x'));
  const std::string too_big = text(std::string(kMaxRequestBodyBytes, 'x'));
  const Headers own_page = {{"Origin", own}, {"Sec-Fetch-Site", "same-origin"}};
  const Headers same_site = {{"Origin", "http://127.0.0.1:1"}, {"Sec-Fetch-Site", "same-site"}};
  // What a page gets once its name resolves to the gateway's address.
  const std::string rebound = "attacker.example:" + std::to_string(port);
  const Headers rebound_page = {
      {"Host", rebound}, {"Origin", "http://" + rebound}, {"Sec-Fetch-Site", "same-origin"}};
  struct Case {
    std::string name, path;
    Headers headers;
    std::string body;
    int status;
    std::string after;  // empty: the file stays as it was
  } cases[] = {
      {"curl's form", api, {}, form(text("curl")), 200, text("curl")},
      {"a form above 8 KiB", api, {}, form(big), 200, big},
      {"own page", api, own_page, form(text("own")), 200, text("own")},
      {"own page, older browser", api, {{"Origin", own}}, form(text("old")), 200, text("old")},
      {"comments only", api, {}, form("// a\r\n[map]\r\n=x\r\nkey=\r\n"), 400, ""},
      {"no config field", api, {}, "other=srt_port%3D1", 400, ""},
      {"raw body", api, {{"Content-Type", "text/plain"}}, "srt_port=1\n", 400, ""},
      {"another site", api, {{"Sec-Fetch-Site", "cross-site"}}, form(text("x")), 403, ""},
      {"same site, other port", api, same_site, form(text("x")), 403, ""},
      {"another site, older browser", api, {{"Origin", "http://evil.example"}}, form(text("x")), 403, ""},
      {"a sandboxed page", api, {{"Origin", "null"}}, form(text("x")), 403, ""},
      {"another site's page under a rebound name", api, rebound_page, form(text("x")), 403, ""},
      {"another site, any path", "/hi", {{"Sec-Fetch-Site", "cross-site"}}, "x=1", 403, ""},
      {"compressed", api, {{"Content-Encoding", "gzip"}}, form(text("x")), 415, ""},
      {"above the body limit", api, {}, form(too_big), 413, ""},
  };
  for (const Case& c : cases) {
    std::string before = saved();
    auto answer = send("POST", c.path, c.headers, c.body);
    ASSERT_TRUE(answer) << c.name;
    EXPECT_EQ(answer->status, c.status) << c.name;
    EXPECT_TRUE(c.status == 200 || !answer->body.empty()) << c.name << ": a refusal names its reason";
    EXPECT_EQ(saved(), c.after.empty() ? before : c.after) << c.name;
  }
  EXPECT_EQ(send("GET", api)->body, saved());
  std::filesystem::create_directory(state.dir.file("config.ini.tmp"));
  std::string before = saved();
  EXPECT_EQ(send("POST", api, {}, form(text("unsaved")))->status, 500);
  EXPECT_EQ(saved(), before);
}

// Every path under /api is guarded, also unknown and encoded ones, and so is /metrics.
// A posted token counts from the next request on.
TEST_F(WebServerTest, TheTokenGuardsTheApiAndMetricsOnly) {
  const std::string token = "s3cret-token-42";
  ASSERT_EQ(state.config.apply("web_token = " + token + "\n", true).result, ApplyResult::applied);
  const std::string before = saved();
  auto bearer = [](const std::string& value) { return Headers{{"Authorization", "Bearer " + value}}; };
  auto expect_refused = [&](const std::string& method, const std::string& path, const Headers& headers) {
    auto answer = send(method, path, headers, method == "POST" ? form("srt_port = 1\n") : "");
    ASSERT_TRUE(answer) << path;
    EXPECT_EQ(answer->status, 401) << method << " " << path;
    EXPECT_EQ(answer->get_header_value("WWW-Authenticate"), "Bearer");
    EXPECT_TRUE(method == "HEAD" || !answer->body.empty()) << "a refusal names its reason";
    EXPECT_EQ(answer->body.find(token), std::string::npos);
  };
  for (const char* path :
       {"/api/state", "/%61pi/state", "/api", "/api/not-a-route", "/api/streams", "/metrics", "/api/config"})
    expect_refused("GET", path, {});
  expect_refused("GET", "/api/state", bearer("wrong"));
  expect_refused("HEAD", "/api/state", {});
  expect_refused("POST", "/api/config", {});
  EXPECT_EQ(saved(), before);
  EXPECT_EQ(send("GET", "/metrics", bearer(token))->status, 200);
  EXPECT_EQ(send("GET", "/hi", bearer("wrong"))->status, 200);

  EXPECT_EQ(send("POST", "/api/config", bearer(token), form("web_token = renewed\n"))->status, 200);
  EXPECT_EQ(send("GET", "/api/state", bearer(token))->status, 401);
  EXPECT_EQ(send("GET", "/api/state", bearer("renewed"))->status, 200);
}

// Without a token a page under a name that now resolves here must not read or change
// anything: only IP literals, localhost and the machine's own name are served, on every
// path. With a token, the token guards.
TEST_F(WebServerTest, WithoutATokenOnlyOwnHostNamesAreServed) {
  char name[256] = {};
  ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
  const std::string own = name, port_text = ":" + std::to_string(port), evil = "attacker.example";
  std::string shouted = own;
  for (char& c : shouted) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string served[] = {
      "127.0.0.1" + port_text, "10.0.0.7", "[::1]" + port_text, "[::FFFF:10.0.0.7]", "LocalHost" + port_text,
      "panel.localhost:1",     own,        shouted + port_text};
  const std::string refused[] = {
      evil + port_text, "localhost.example", "xlocalhost",      "127.0.0.1.nip.io", own + ".example", "::1",
      "[::1",           "[fe80::1%25eth0]",  "127.0.0.1:80:80", "127.0.0.1:",       "localhost:http"};
  auto expect_status = [&](const std::string& host, int status) {
    for (const char* path : {"/api/state", "/file.bin", "/hi"}) {
      auto answer = send("GET", path, {{"Host", host}});
      ASSERT_TRUE(answer) << host;
      EXPECT_EQ(answer->status, status) << host << " " << path;
    }
  };
  for (const std::string& host : served) expect_status(host, 200);
  for (const std::string& host : refused) expect_status(host, 403);
  expect_status("", 400);  // read as no Host at all
  const std::string token = "s3cret-token-42";
  ASSERT_EQ(state.config.apply("web_token = " + token + "\n", true).result, ApplyResult::applied);
  const Headers rebound = {{"Host", evil + port_text}, {"Authorization", "Bearer " + token}};
  EXPECT_EQ(send("GET", "/api/state", rebound)->status, 200);
  EXPECT_EQ(send("GET", "/file.bin", {{"Host", evil}})->status, 200);
}

// Raw requests that no client library sends: each gets the status given, or for 0 no
// answer or a 4xx; none changes the configuration or stops the server. A body whose
// length is in doubt would be read as a request of its own.
TEST_F(WebServerTest, HostileRequestsAreRefused) {
  std::string headers, chunked = "7\r\nconfig=\r\n";
  for (int i = 0; i < 20000; ++i) headers += "X-Filler-" + std::to_string(i) + ": value\r\n";
  for (size_t i = 0; i < kMaxRequestBodyBytes / 4096 + 4; ++i)
    chunked += "1000\r\n" + std::string(4096, 'x') + "\r\n";
  const std::string get = "GET /hi HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  const std::string post =
      "POST /api/config HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n";
  const std::string body = "config=srt_port%3D1%0Aweb_port%3D2%0A";
  const std::string length = std::to_string(body.size());
  const std::string smuggled = post + "Content-Length: " + length + "\r\n\r\n" + body;
  const std::pair<std::string, int> cases[] = {
      {std::string(4096, '\x16'), 0},  // no HTTP at all
      {get + headers + "\r\n", 0},
      {post + "Content-Length: 18446744073709551616\r\n\r\n" + body, 0},
      {post + "Transfer-Encoding: chunked\r\n\r\nzz\r\n" + body + "\r\n0\r\n\r\n", 0},
      {post + "Content-Length: 1000\r\n\r\n" + body, 0},  // shorter than it says
      {post + "Transfer-Encoding: chunked\r\n\r\n" + chunked, 413},
      {post + "Content-Length: " + length + "\r\nContent-Length: 9\r\n\r\n" + body, 400},
      {post + "Content-Length: " + length + ", 9\r\n\r\n" + body, 400},
      {get + "Content-Length: 0\r\nContent-Length: " + std::to_string(smuggled.size()) + "\r\n\r\n" +
           smuggled,
       400},
      {get + "Content-Length: 0\r\ncontent-length: 0\r\n\r\n", 200},
      {get + "Host: attacker.example\r\n\r\n", 400},
      {"GET /hi HTTP/1.0\r\n\r\n", 200},
  };
  ASSERT_EQ(state.config.apply("srt_port = 9001\n", true).result, ApplyResult::applied);
  const std::string before = saved();
  for (const auto& [data, expected] : cases) {
    int status = exchange(port, data);
    bool refused = expected != 0 ? status == expected : status == 0 || (status >= 400 && status < 500);
    EXPECT_TRUE(refused) << data.substr(0, 60) << ": " << status;
    EXPECT_EQ(send("GET", "/hi")->body, "Hello from server") << data.substr(0, 60);
  }
  EXPECT_EQ(saved(), before);
}

// The header's scheme in any case, then the token, whole. The comparison runs over the
// presented bytes only, so each of them and the length count.
TEST(BearerToken, AcceptsOnlyTheExactTokenAfterTheScheme) {
  const std::string token = "s3cret token";
  for (const std::string& good : {"Bearer s3cret token"s, "bearer s3cret token"s, "BEARER   s3cret token"s})
    EXPECT_TRUE(bearer_token_matches(good, token)) << good;
  for (const std::string& bad :
       {""s, "Bearer"s, "Bearer "s, "Bearers3cret token"s, "Basic s3cret token"s, "s3cret token"s,
        "Bearer s3cret token "s, "Bearer \ts3cret token"s, "Bearer s3cret token\0"s})
    EXPECT_FALSE(bearer_token_matches(bad, token)) << '"' << bad << '"';
  EXPECT_FALSE(bearer_token_matches("Bearer ", "")) << "an empty token accepts nothing";
  const std::pair<const char*, const char*> unequal[] = {{"abd", "abc"},    {"xbc", "abc"}, {"ab", "abc"},
                                                         {"abcabc", "abc"}, {"", "abc"},    {"\x80", "\x7f"},
                                                         {"a", ""}};
  for (auto [presented, expected] : unequal)
    EXPECT_FALSE(constant_time_equal(presented, expected)) << presented;
  EXPECT_TRUE(constant_time_equal("abc", "abc") && constant_time_equal("", ""));
}

}  // namespace
