#include "srt/access_policy.h"

#include <gtest/gtest.h>

#include "config/settings.h"

namespace {

IpAddress ip(const char* text) { return parse_ip_address(text).value(); }

const IpAddress kLocal = ip("127.0.0.1");
const IpAddress kSecond = ip("127.0.0.2");
const std::string kPass = "listener-pass";
const std::string kCam1Pass = "cam1-own-pass";

struct Case {
  const char* name;
  std::string config;
  CallerRequest caller;
  std::optional<Refusal> refusal;
  std::string stream_passphrase;
  int key_length;
};

AccessSettings access(const std::string& text) { return parse_settings(text).settings.access; }
std::string with_streams(const std::string& allowed) { return "allowed_streams=" + allowed; }
std::string with_from(const std::string& allow_from) { return "allow_from=" + allow_from; }
std::string with_listener(int key_length, const std::string& more = "") {
  return "srt_passphrase=" + kPass + "\nsrt_pbkeylen=" + std::to_string(key_length) + "\n" + more;
}

TEST(AccessPolicy, DecidesEveryCallerByTheSettings) {
  const std::string list = "cam1:" + kCam1Pass + ", cam2 ,#!::r=x";
  // clang-format off
  const Case cases[] = {
      {"no key length without encryption", "srt_pbkeylen=32", {"cam9", kLocal}, std::nullopt, "", 0},
      {"a prefix is no match", with_streams(list), {"cam", kLocal}, Refusal::not_found, "", 0},
      {"letter case counts", with_streams(list), {"CAM2", kLocal}, Refusal::not_found, "", 0},
      {"talkback ids are checked too", with_streams(list), {"talkback", kLocal}, Refusal::not_found, "", 0},
      {"own passphrase with a listener one", with_listener(16, with_streams(list)), {"cam1", kLocal}, std::nullopt,
       kCam1Pass, 16},
      {"CIDR block ends", with_from("10.0.0.0/8, 127.0.0.0/31"), {"a", kSecond}, Refusal::forbidden, "", 0},
      {"CIDR block with host bits", with_from("127.0.0.9/24"), {"a", kSecond}, std::nullopt, "", 0},
      {"no IP address", with_from("0.0.0.0/0, ::/0"), {"a", std::nullopt}, Refusal::forbidden, "", 0},
      {"IPv6 block ends", with_from("2001:db8::/32"), {"a", ip("2001:db9::1")}, Refusal::forbidden, "", 0},
      {"IPv6 caller, IPv4 blocks", with_from("0.0.0.0/0"), {"a", ip("::1")}, Refusal::forbidden, "", 0},
      {"IPv4 caller, IPv6 blocks", with_from("::/0"), {"a", kLocal}, Refusal::forbidden, "", 0},
      {"mapped IPv4 caller", with_from("::1, 127.0.0.2"), {"a", ip("::ffff:127.0.0.2")}, std::nullopt, "", 0},
      {"mapped IPv4 caller outside", with_from("127.0.0.1"), {"a", ip("::ffff:127.0.0.2")}, Refusal::forbidden,
       "", 0},
      {"address checked before the id", "allowed_streams=cam1\nallow_from=127.0.0.1", {"cam9", kSecond},
       Refusal::forbidden, "", 0},
      {"a list that names nothing admits none", with_streams(" , "), {"cam1", kLocal}, Refusal::not_found, "", 0},
      {"no address in allow_from", with_from(","), {"a", kLocal}, Refusal::forbidden, "", 0},
      {"unlisted before overload", "allowed_streams=cam1\nmax_streams=1", {"cam9", kLocal, 5}, Refusal::not_found, "",
       0},
  };
  // clang-format on
  for (const Case& c : cases) {
    AccessDecision decision = decide_access(access(c.config), c.caller);
    EXPECT_EQ(decision.refusal, c.refusal) << c.name << ": " << decision.reason;
    EXPECT_EQ(decision.stream_passphrase, c.stream_passphrase) << c.name;
    EXPECT_EQ(decision.key_length, c.key_length) << c.name;
  }
}

// A setting loaded from a file that cannot be applied refuses every caller with its
// reason, wherever the caller comes from; an allowed_streams passphrase that libsrt
// refuses only that stream's callers. A reason never quotes a passphrase.
TEST(AccessPolicy, SettingsThatCannotBeAppliedFailClosed) {
  const struct {
    std::string config;
    CallerRequest caller;
    std::optional<Refusal> refusal;
    const char* reason;
  } cases[] = {
      {"allow_from=127.0.0.1\nmax_streams=-1",
       {"cam1", kSecond},
       Refusal::misconfigured,
       "max_streams, line 2: "},
      {"srt_passphrase=orphan", {"cam1", kLocal}, Refusal::misconfigured, "srt_passphrase, line 1: "},
      {"allowed_streams=cam1:orphan,cam2",
       {"#!::r=cam1", kLocal},
       Refusal::misconfigured,
       "allowed_streams, line 1: the passphrase of \"cam1\" has 6 characters"},
  };
  for (const auto& c : cases) {
    AccessDecision decision = decide_access(access(c.config), c.caller);
    EXPECT_EQ(decision.refusal, c.refusal) << c.config;
    EXPECT_EQ(decision.reason.rfind(c.reason, 0), 0u) << decision.reason;
    EXPECT_EQ(decision.reason.find("orphan"), std::string::npos) << decision.reason;
  }
}

TEST(AccessPolicy, ResourceOfTheAccessControlForm) {
  EXPECT_EQ(access_control_resource("#!::r=cam1"), "cam1");
  EXPECT_EQ(access_control_resource("#!::u=me,r=cam1,m=publish"), "cam1");
  for (const char* none : {"#!::u=me", "#!::r=", "#!::r=a,r=b", "#!:r=cam1", "r=cam1"}) {
    EXPECT_EQ(access_control_resource(none), std::nullopt) << none;
  }
}

// Talkback and the route are decided by the name allowed_streams matches: no other field
// of an access-control id can turn an admitted sender into a talkback receiver or send
// it elsewhere. Routes match that name without regard to letter case.
TEST(AccessPolicy, TalkbackAndRouteAreDecidedByTheNameTheCheckMatches) {
  const RouteTable routes = parse_settings("route.Cam1 = a:1\nroute.studio-talkback = b:2").settings.routes;
  const struct {
    const char* stream_id;
    const char* name;
    bool talkback;
    const char* route;  // empty: rist_endpoint
  } cases[] = {
      {"feedbackplay", "feedbackplay", true, ""},
      {"cam1", "cam1", false, "cam1"},
      {"CAM1", "CAM1", false, "cam1"},
      {"#!::r=cam1,u=talkback", "cam1", false, "cam1"},
      {"#!::m=request,r=studio-talkback", "studio-talkback", true, "studio-talkback"},
      {"#!::u=talkback", "#!::u=talkback", true, ""},  // no resource: the whole id is the name
  };
  for (const auto& c : cases) {
    EXPECT_EQ(access_name(c.stream_id), c.name) << c.stream_id;
    EXPECT_EQ(is_talkback_stream(c.stream_id), c.talkback) << c.stream_id;
    const Route* route = find_stream_route(routes, c.stream_id);
    EXPECT_EQ(route ? route->name : "", c.route) << c.stream_id;
  }
}

}  // namespace
