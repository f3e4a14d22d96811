#include "srt/access_policy.h"

#include <gtest/gtest.h>

namespace {

const uint32_t kLocal = 0x7f000001;   // 127.0.0.1
const uint32_t kSecond = 0x7f000002;  // 127.0.0.2
const std::string kPass = "listener-pass";
const std::string kCam1Pass = "cam1-own-pass";

struct Case {
  const char* name;
  AccessConfig config;
  CallerRequest caller;
  std::optional<Refusal> refusal;
  std::string stream_passphrase;
  int key_length;
};

AccessConfig with_streams(std::string allowed) { return AccessConfig{"", "", std::move(allowed), "", ""}; }
AccessConfig with_from(std::string allow_from) { return AccessConfig{"", "", "", std::move(allow_from), ""}; }

TEST(AccessPolicy, DecidesEveryCallerByTheSettings) {
  const std::string list = "cam1:" + kCam1Pass + ", cam2 ,#!::r=x";
  // clang-format off
  const Case cases[] = {
      {"nothing set admits anyone", {}, {"anything", std::nullopt, 500}, std::nullopt, "", 0},
      {"key length asked of encrypted callers", {kPass, "32", "", "", ""}, {"cam9", kLocal}, std::nullopt, "", 32},
      {"listed id with its passphrase", with_streams(list), {"cam1", kLocal}, std::nullopt, kCam1Pass, 0},
      {"unlisted id", with_streams(list), {"cam3", kLocal}, Refusal::not_found, "", 0},
      {"a prefix is no match", with_streams(list), {"cam", kLocal}, Refusal::not_found, "", 0},
      {"letter case counts", with_streams(list), {"CAM2", kLocal}, Refusal::not_found, "", 0},
      {"access-control form", with_streams(list), {"#!::m=publish,r=cam1,u=me", kLocal}, std::nullopt, kCam1Pass, 0},
      {"talkback ids are checked too", with_streams(list), {"talkback", kLocal}, Refusal::not_found, "", 0},
      {"own passphrase with a listener one", {kPass, "16", list, "", ""}, {"cam1", kLocal}, std::nullopt, kCam1Pass,
       16},
      {"address allowed", with_from("127.0.0.1"), {"a", kLocal}, std::nullopt, "", 0},
      {"address not allowed", with_from("127.0.0.1"), {"a", kSecond}, Refusal::forbidden, "", 0},
      {"CIDR block ends", with_from("10.0.0.0/8, 127.0.0.0/31"), {"a", kSecond}, Refusal::forbidden, "", 0},
      {"CIDR block with host bits", with_from("127.0.0.9/24"), {"a", kSecond}, std::nullopt, "", 0},
      {"not IPv4", with_from("0.0.0.0/0"), {"a", std::nullopt}, Refusal::forbidden, "", 0},
      {"address checked before the id", {"", "", "cam1", "127.0.0.1", ""}, {"cam9", kSecond}, Refusal::forbidden, "",
       0},
      {"at the limit", {"", "", "", "", "2"}, {"a", kLocal, 2}, Refusal::overload, "", 0},
      {"unlisted before overload", {"", "", "cam1", "", "1"}, {"cam9", kLocal, 5}, Refusal::not_found, "", 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    AccessDecision decision = decide_access(c.config, c.caller);
    EXPECT_EQ(decision.refusal, c.refusal) << c.name << ": " << decision.reason;
    EXPECT_EQ(decision.stream_passphrase, c.stream_passphrase) << c.name;
    EXPECT_EQ(decision.key_length, c.key_length) << c.name;
  }
}

// A setting that cannot be read refuses every caller and says why, never quoting a
// passphrase.
TEST(AccessPolicy, FaultySettingsRefuseEveryCaller) {
  const struct {
    AccessConfig config;
    const char* reason;
  } cases[] = {
      {with_from("127.0.0.256"), "allow_from: \"127.0.0.256\""},
      {with_from("127.0.0.01"), "allow_from: \"127.0.0.01\""},
      {with_from("127.0.0.1/33"), "allow_from: \"127.0.0.1/33\""},
      {with_from("localhost"), "allow_from: \"localhost\""},
      {{"", "17", "", "", ""}, "srt_pbkeylen: \"17\""},
      {{"", "", "", "", "-1"}, "max_streams: \"-1\""},
      {with_streams("cam1,:orphan-passphrase"), "allowed_streams: entry 2 has no stream id"},
      {with_streams("cam1: "), "allowed_streams: the passphrase of \"cam1\" is empty"},
  };
  for (const auto& c : cases) {
    AccessDecision decision = decide_access(c.config, CallerRequest{"cam1", kLocal});
    EXPECT_EQ(decision.refusal, Refusal::misconfigured) << c.reason;
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

// Talkback is decided by the name allowed_streams matches: no other field of an
// access-control id can turn an admitted sender into a talkback receiver.
TEST(AccessPolicy, TalkbackIsDecidedByTheNameTheCheckMatches) {
  const struct {
    const char* stream_id;
    const char* name;
    bool talkback;
  } cases[] = {
      {"studio-talkback", "studio-talkback", true},
      {"feedbackplay", "feedbackplay", true},
      {"cam1", "cam1", false},
      {"#!::r=cam1,u=talkback", "cam1", false},
      {"#!::r=cam2,feedbackplay", "cam2", false},
      {"#!::r=cam2,x=feedbackplay", "cam2", false},
      {"#!::m=request,r=studio-talkback", "studio-talkback", true},
      {"#!::u=talkback", "#!::u=talkback", true},  // no resource: the whole id is the name
  };
  for (const auto& c : cases) {
    EXPECT_EQ(access_name(c.stream_id), c.name) << c.stream_id;
    EXPECT_EQ(is_talkback_stream(c.stream_id), c.talkback) << c.stream_id;
  }
}

}  // namespace
