// config.ini as the gateway parses, publishes and saves it, and the route a caller gets
// from it.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "app/endpoint_routes.h"
#include "config/config_store.h"
#include "fakes.h"

namespace {

struct StoreInTempDir {
  TempDir dir;
  ConfigStore store{dir.file("config.ini")};
};

using Texts = std::vector<std::string>;

std::string joined(const Texts& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ",") + item;
  return text;
}

std::string shown(const TalkbackEndpoint& t) {
  return t.host + ":" + std::to_string(t.port) + " id=" + t.stream_id.value_or("(caller's)") +
         " latency=" + std::to_string(t.latency) + " pbkeylen=" + std::to_string(t.pbkeylen) +
         " pass=" + t.passphrase;
}

// The field a key fills, as text; an access setting that fails closed shows "closed".
std::string shown(const Settings& s, const std::string& key) {
  const AccessSettings& a = s.access;
  if (!a.misconfigured.empty()) return "closed";
  Texts items;
  if (key == "srt_port") return std::to_string(s.srt_port);
  if (key == "web_port") return std::to_string(s.web_port);
  if (key == "srt_latency") return std::to_string(s.srt_latency);
  if (key == "srt_max_latency") return std::to_string(s.srt_max_latency);
  if (key == "ignore") return joined(s.ignore);
  if (key == "tb_endpoint") return s.tb_endpoint ? shown(*s.tb_endpoint) : "none";
  if (key == "uplink_mode") return s.uplink_mode == UplinkMode::duplicate ? "duplicate" : "balance";
  if (key == "web_token") return s.web_token;
  if (key == "srt_passphrase") return a.passphrase;
  if (key == "srt_pbkeylen") return std::to_string(a.key_length);
  if (key == "max_streams") return std::to_string(a.max_streams);
  if (const Route* route = is_route_key(key) ? find_route(s.routes, key.substr(6)) : nullptr) {
    for (const RistDestination& d : route->destinations) items.push_back(shown_destination(d));
    return route->name + "=" + joined(items);
  }
  for (const RistDestination& d : s.rist_endpoint) items.push_back(shown_destination(d));
  for (const AllowedStream& st : a.allowed_streams.value_or(std::vector<AllowedStream>{}))
    items.push_back(st.misconfigured.empty() ? st.id + ":" + st.passphrase : st.id + " refused");
  for (const AddressBlock& b : a.allow_from.value_or(std::vector<AddressBlock>{})) {
    std::string block;
    char hex[3];
    for (size_t i = 0; i < (b.network.family == IpFamily::ipv4 ? 4u : 16u); ++i) {
      std::snprintf(hex, sizeof hex, "%02x", b.network.bytes[i]);
      block += hex;
    }
    items.push_back(block + "/" + std::to_string(b.prefix));
  }
  return joined(items);
}

}  // namespace

// Every key, good and bad values: the value it gets, and for a bad one the only problem
// ("key, line N: reason"), which a file's load logs and an HTTP post is refused for.
TEST(Settings, EveryKeyIsParsedOrRefusedWithItsLineAndReason) {
  const std::string kPort = "\" is not a whole number from 1 to 65535";
  const std::string kBadPort = "the port must be a number from 1 to 65535";
  const std::string kShort = "has 5 characters; libsrt takes a passphrase of 10 to 79";
  const std::string kTb = "srt://10.0.0.9:7000";
  struct Case {
    std::string text, key, value, problem;  // problem: empty when none
  } cases[] = {
      {"SRT_Port = 7000 ", "srt_port", "7000", ""},
      {"srt_port=7000 // main", "srt_port", "7000", ""},
      {"srt_port=0", "srt_port", "9001", "srt_port, line 1: \"0" + kPort},
      {"srt_port=main 7000", "srt_port", "9001", "srt_port, line 1: \"main 7000" + kPort},
      {"srt_port=x\nsrt_port=7000", "srt_port", "9001", "srt_port, line 1: \"x" + kPort},
      {"  // srt_port=1\nsrt_port=7000", "srt_port", "7000", ""},
      {"\xEF\xBB\xBF// c\r\n\r\nweb_port=65536", "web_port", "8081", "web_port, line 3: \"65536" + kPort},
      {"a=1\rb=2\r\n\nweb_port = 8000", "web_port", "8000", ""},
      {"srt_latency=200ms", "srt_latency", "200", ""},
      {"srt_max_latency=60000", "srt_max_latency", "60000", ""},
      {"srt_max_latency=19", "srt_max_latency", "5000",
       "srt_max_latency, line 1: \"19\" is not a whole number from 20 to 60000"},
      {"rist_endpoint= rist://10.0.0.5 : 5000 , ,mixer:5001", "rist_endpoint", "10.0.0.5:5000,mixer:5001",
       ""},
      {"rist_endpoint=10.0.0.5:87036", "rist_endpoint", "",
       "rist_endpoint, line 1: \"10.0.0.5:87036\": " + kBadPort},
      {"rist_endpoint=:5000", "rist_endpoint", "", "rist_endpoint, line 1: \":5000\": no host"},
      {"rist_endpoint=10.0.0.5:5000:7", "rist_endpoint", "",
       "rist_endpoint, line 1: \"10.0.0.5:5000:7\": host:port expected"},
      {"rist_endpoint=fe80::1:5000", "rist_endpoint", "",
       "rist_endpoint, line 1: \"fe80::1:5000\": an IPv6 address is written in brackets: [ADDRESS]:PORT"},
      {"rist_endpoint=rist://[::1]:5000, [2001:DB8::7] : 5001", "rist_endpoint",
       "[::1]:5000,[2001:DB8::7]:5001", ""},
      {"rist_endpoint=[::1]", "rist_endpoint", "", "rist_endpoint, line 1: \"[::1]\": no port"},
      {"rist_endpoint=[::1:5000", "rist_endpoint", "",
       "rist_endpoint, line 1: \"[::1:5000\": no \"]\" after the IPv6 address"},
      {"rist_endpoint=[::1]5000", "rist_endpoint", "",
       "rist_endpoint, line 1: \"[::1]5000\": [ADDRESS]:PORT expected"},
      {"rist_endpoint=[1::2::3]:5000", "rist_endpoint", "",
       "rist_endpoint, line 1: \"[1::2::3]:5000\": \"1::2::3\" is not an IPv6 address"},
      {"rist_endpoint=10.0.0.5?buffer=0:5000", "rist_endpoint", "",
       "rist_endpoint, line 1: \"10.0.0.5?buffer=0:5000\": no port"},
      {"rist_endpoint=rist://10.0.0.5:5000 ? secret = k&buffer=50&aes-type=256&, "
       "10.0.0.6:5002?profile=simple&"
       "bandwidth=4294967, 10.0.0.7:9?username=op&password=p=w?d&buffer=30000&bandwidth=1",
       "rist_endpoint",
       "10.0.0.5:5000?buffer=50&aes-type=256&secret=***,10.0.0.6:5002?profile=simple&bandwidth=4294967,"
       "10.0.0.7:9?buffer=30000&bandwidth=1&username=op&password=***",
       ""},
      {"rist_endpoint=10.0.0.5:5000?secret=" + std::string(127, 'k'), "rist_endpoint",
       "10.0.0.5:5000?aes-type=128&secret=***", ""},
      {"ignore= , eth0 ,wlan0", "ignore", "eth0,wlan0", ""},
      {"tb_endpoint=" + kTb + "?streamid=studio&latency=200&pbkeylen=16&passphrase=secret-phrase",
       "tb_endpoint", "10.0.0.9:7000 id=studio latency=200 pbkeylen=16 pass=secret-phrase", ""},
      {"tb_endpoint=" + kTb + "&streamid=", "tb_endpoint",
       "10.0.0.9:7000 id= latency=0 pbkeylen=0 pass=", ""},
      {"tb_endpoint=" + kTb + "/x?flag&=v&latency=1&latency=2&", "tb_endpoint",
       "10.0.0.9:7000 id=(caller's) latency=2 pbkeylen=0 pass=", ""},
      {"tb_endpoint=10.0.0.9:7000?streamid=x", "tb_endpoint", "none",
       "tb_endpoint, line 1: srt://host:port expected"},
      {"tb_endpoint=srt://10.0.0.9?latency=1", "tb_endpoint", "none",
       "tb_endpoint, line 1: \"10.0.0.9\": " + kBadPort},
      {"tb_endpoint=srt://::1:9000", "tb_endpoint", "none",
       "tb_endpoint, line 1: \"::1:9000\": an IPv6 address is written in brackets: [ADDRESS]:PORT"},
      {"tb_endpoint=srt://studio:9000", "tb_endpoint", "none",
       "tb_endpoint, line 1: \"studio\" is not an IPv4 address"},
      {"tb_endpoint=" + kTb + "?latency=-5", "tb_endpoint", "none",
       "tb_endpoint, line 1: latency \"-5\" is not a whole number from 0 up"},
      {"uplink_mode= Duplicate ", "uplink_mode", "duplicate", ""},
      {"web_token = s3cret = token", "web_token", "s3cret = token", ""},
      {"srt_passphrase=ten-chars!", "srt_passphrase", "ten-chars!", ""},
      {"srt_passphrase=short", "srt_passphrase", "closed", "srt_passphrase, line 1: " + kShort},
      {"srt_passphrase=" + std::string(80, 'x'), "srt_passphrase", "closed",
       "srt_passphrase, line 1: has 80 characters; libsrt takes a passphrase of 10 to 79"},
      {"srt_pbkeylen=32", "srt_pbkeylen", "32", ""},
      {"srt_pbkeylen=17", "srt_pbkeylen", "closed", "srt_pbkeylen, line 1: \"17\" is not 0, 16, 24 or 32"},
      {"allowed_streams=cam1:cam1-own-pass, cam2", "allowed_streams", "cam1:cam1-own-pass,cam2:", ""},
      {"allowed_streams=cam1,:orphan-passphrase", "allowed_streams", "closed",
       "allowed_streams, line 1: entry 2 has no stream id"},
      {"allowed_streams=cam1:", "allowed_streams", "closed",
       "allowed_streams, line 1: the passphrase of \"cam1\" is empty"},
      {"allow_from=10.0.0.0/8, 127.0.0.9/24,0.0.0.0/0", "allow_from", "0a000000/8,7f000000/24,00000000/0",
       ""},
      {"allow_from=2001:DB8:ff::1/33, ::1, ::ffff:10.0.0.1, 1:2:3:4:5:6:7:8/0", "allow_from",
       "20010db8000000000000000000000000/33,00000000000000000000000000000001/128,"
       "00000000000000000000ffff0a000001/128,00000000000000000000000000000000/0",
       ""},
      {"\n\n\n\n\n\nallow_from=garbage", "allow_from", "closed",
       "allow_from, line 7: \"garbage\" is not an IP address or CIDR block"},
      {"allow_from=127.0.0.256", "allow_from", "closed",
       "allow_from, line 1: \"127.0.0.256\" is not an IP address or CIDR block"},
      {"allow_from=127.0.0.01", "allow_from", "closed",
       "allow_from, line 1: \"127.0.0.01\" is not an IP address or CIDR block"},
      {"allow_from=127.0.0.1/33", "allow_from", "closed",
       "allow_from, line 1: \"127.0.0.1/33\" is not an IP address or CIDR block"},
      {"allow_from=::1, ::1/129", "allow_from", "closed",
       "allow_from, line 1: \"::1/129\" is not an IP address or CIDR block"},
      {"max_streams=8", "max_streams", "8", ""},
      {"max_streams=-1", "max_streams", "closed",
       "max_streams, line 1: \"-1\" is not a whole number from 0 up"},
      {"colour=blue\nsrt_port=7000", "srt_port", "7000", ""},
      {"srt_passphrase=", "srt_passphrase", "", ""},
      {"Route.Cam1 = rist://10.0.0.5:5000, mixer:5001\nroute.cam1=b:2", "route.cam1",
       "cam1=10.0.0.5:5000,mixer:5001", ""},
      {"route.cam1=10.0.0.5, 10.0.0.6:5000", "route.cam1", "cam1=10.0.0.6:5000",
       "route.cam1, line 1: \"10.0.0.5\": no port"},
      {"route.cam1=", "route.cam1", "cam1=", "route.cam1, line 1: no destination"},
      {"route.=10.0.0.5:5000", "route.", "", "route., line 1: no stream name after \"route.\""},
  };
  for (const Case& c : cases) {
    ParsedSettings parsed = parse_settings(c.text);
    EXPECT_EQ(shown(parsed.settings, c.key), c.value) << c.text;
    Texts problems;
    for (const SettingsProblem& problem : parsed.problems) problems.push_back(describe(problem));
    EXPECT_EQ(problems, c.problem.empty() ? Texts{} : Texts{c.problem}) << c.text;
    bool closed = c.value == "closed";
    EXPECT_EQ(parsed.settings.access.misconfigured, closed ? c.problem : "") << c.text;
  }
  for (const char* bad : {"1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7", "::1:2:3:4:5:6:7:8", "1.2.3.4::", ":1::",
                          "::12345", "fe80::1%eth0", "[::1]", "::1.2.3", "::g", "::1/01"}) {
    std::string fault;
    EXPECT_FALSE(parse_allow_from(bad, fault)) << bad;
  }
  EXPECT_EQ(parse_settings("srt_port=7000 // main").warnings,
            Texts{R"(-- IGNORED TEXT IN srt_port=7000 // main: " // main", using 7000)"});
}

// A destination option librist cannot apply leaves the entry out; the reason quotes
// the entry with its secret and password masked.
TEST(Settings, DestinationOptionsLibristCannotApplyAreRefused) {
  const std::string kLong = std::string(128, 's');
  struct Case {
    std::string options, shown, reason;  // shown: empty when the entry is shown as written
  } cases[] = {
      {"bandwidth=0", "", "bandwidth \"0\" is not a whole number from 1 to 4294967"},
      {"bandwidth=4294968", "", "bandwidth \"4294968\" is not a whole number from 1 to 4294967"},
      {"aes-type=100&secret=k", "aes-type=100&secret=***", "aes-type \"100\" is not 128 or 256"},
      {"aes-type=128", "", "aes-type needs a secret"},
      {"cname=x", "", "unknown option \"cname\""},
      {"buffer=100&buffer=200", "", "option \"buffer\" is given twice"},
      {"buffer", "", "option \"buffer\" has no value"},
      {"username=op", "", "a username needs a password"},
      {"secret=" + kLong, "secret=***", "the secret has 128 bytes; librist takes 1 to 127"},
      {"username=u&password=" + std::string(256, 'p'), "username=u&password=***",
       "the password has 256 bytes; librist takes 1 to 255"},
      {std::string("password=a\0b&username=u", 23), "password=***&username=u",
       "the password holds a NUL byte"},
  };
  for (const Case& c : cases) {
    ParsedSettings parsed = parse_settings("rist_endpoint=h:4?" + c.options + ", h:6");
    EXPECT_EQ(shown(parsed.settings, "rist_endpoint"), "h:6") << c.options;
    ASSERT_EQ(parsed.problems.size(), 1u) << c.options;
    EXPECT_EQ(describe(parsed.problems[0]),
              "rist_endpoint, line 1: \"h:4?" + (c.shown.empty() ? c.options : c.shown) + "\": " + c.reason);
  }
  EXPECT_EQ(
      describe(parse_settings("rist_endpoint=h:5?profile=simple").problems.at(0)),
      "rist_endpoint, line 1: \"h:5?profile=simple\": the simple profile needs an even port (it sends RTCP "
      "to the next one)");
}

TEST(ConfigStore, RefusedOrUnsavedTextKeepsTheOldFileAndSettings) {
  const std::pair<std::string, ApplyResult> cases[] = {
      {"", ApplyResult::bad_format},
      {"novalue\n=onlyvalue\nkey=", ApplyResult::bad_format},
      {"srt_port=8000\nallow_from=garbage", ApplyResult::bad_values},
  };
  for (const auto& [text, result] : cases) {
    StoreInTempDir fixture;
    ASSERT_EQ(fixture.store.apply("srt_port=7000", false).result, ApplyResult::applied);
    EXPECT_EQ(fixture.store.apply(text, true).result, result) << text;
    EXPECT_EQ(fixture.store.snapshot()->srt_port, 7000);
    EXPECT_FALSE(std::filesystem::exists(fixture.dir.file("config.ini")));
  }
  TempDir dir;  // a missing folder fails the save for every user, root included
  ConfigStore store(dir.file("missing/config.ini"));
  ASSERT_EQ(store.apply("srt_port=7000", false).result, ApplyResult::applied);
  EXPECT_EQ(store.apply("srt_port=8000", true).result, ApplyResult::save_failed);
  EXPECT_EQ(store.snapshot()->srt_port, 7000);
}

// Only a config.ini that is not there at all leaves every key at its default: one that
// exists but cannot be read fails the load with its path and the system's reason.
TEST(ConfigStore, LoadKeepsDefaultsWithoutAFileAndFailsOnOneItCannotRead) {
  namespace fs = std::filesystem;
  using Make = std::function<void(const TempDir&, const std::string&)>;
  struct Case {
    const char* name;
    Make make;
    int srt_port;
    std::string logged;  // logged: the reason after the path, empty when loaded
  } cases[] = {
      {"missing", [](const TempDir&, const std::string&) {}, 9001, ""},
      {"a link to a volume not mounted",
       [](const TempDir& dir, const std::string& path) {
         fs::create_symlink(dir.file("mnt/kept.ini"), path);
       },
       9001, ": No such file or directory (a symbolic link to "},
  };
  for (const Case& c : cases) {
    StoreInTempDir fixture;
    const std::string path = fixture.dir.file("config.ini");
    c.make(fixture.dir, path);
    testing::internal::CaptureStdout();
    EXPECT_EQ(fixture.store.load(), c.logged.empty()) << c.name;
    std::string log = testing::internal::GetCapturedStdout();
    std::string expected = c.logged.empty() ? "" : "*** CONFIG FILE CANNOT BE READ: " + path + c.logged;
    EXPECT_NE(log.find(expected), std::string::npos) << c.name << ": " << log;
    EXPECT_EQ(fixture.store.snapshot()->srt_port, c.srt_port) << c.name;
  }
}

TEST(EndpointRoutes, IgnoreLeavesOutInterfacesByTitleOrAddress) {
  const NetIfaceList interfaces = {
      {"eth0", "192.168.1.20", "0.00 bps", "0.00 bps", 0, 0, {"2001:db8::20"}},
      {"wlan0", "10.1.1.7", "0.00 bps", "0.00 bps", 0, 0, {}},
      {"wwan0", "", "0.00 bps", "0.00 bps", 0, 0, {"2001:db8::7"}},
      {"All", "", "0.00 bps", "0.00 bps", 0, 0, {}},
  };
  auto networks = [&](const std::string& text) {
    EndpointSet set;
    fill_endpoint_set(set, parse_settings(text).settings, interfaces, nullptr);
    // A refill starts from empty lists.
    fill_endpoint_set(set, parse_settings(text).settings, interfaces, nullptr);
    return set.networks;
  };
  EXPECT_EQ(networks("x=1"), (Texts{"192.168.1.20", "2001:db8::20", "10.1.1.7", "2001:db8::7", ""}));
  EXPECT_EQ(networks("ignore=eth0"), (Texts{"10.1.1.7", "2001:db8::7"}));
  EXPECT_EQ(networks("ignore=10.1.1.7"), (Texts{"192.168.1.20", "2001:db8::20", "2001:db8::7"}));
  EXPECT_EQ(networks("ignore=2001:db8::20"), (Texts{"192.168.1.20", "10.1.1.7", "2001:db8::7"}));
  EXPECT_EQ(networks("ignore=ETH0"), (Texts{"192.168.1.20", "2001:db8::20", "10.1.1.7", "2001:db8::7"}));
  EXPECT_EQ(networks("ignore= , eth0 ,wlan0, wwan0"), Texts{});
}
