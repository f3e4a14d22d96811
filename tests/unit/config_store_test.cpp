#include "config/config_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fakes.h"

namespace {

struct StoreInTempDir {
  TempDir dir;
  ConfigStore store{dir.file("config.ini")};
};

}  // namespace

TEST(ConfigStore, ParsesEntriesCommentsAndIgnoredLines) {
  struct Case {
    std::string text, key, expected;
  } cases[] = {
      {"SRT_Port = 7000 \n", "SRT_PORT", "7000"},
      {"a==b\n", "a", "=b"},
      {"=x\nkey=\nother=1", "key", "fallback"},
      {"  // srt_port=1\nother=1", "srt_port", "fallback"},
      {"#srt_port=1", "#srt_port", "1"},
      {"[map]\nhost=Host:1", "host", "Host:1"},
      {"k=first\nK=second", "k", "first"},
      {"url = rist://a:1?x=y // not a comment", "url", "rist://a:1?x=y // not a comment"},
      {"\xEF\xBB\xBFsrt_port=5\nx=1", "srt_port", "5"},
      {"x=1\n\xEF\xBB\xBFsrt_port=5", "\xEF\xBB\xBFsrt_port", "5"},
      {"a=1\r\nb=2\r\n", "b", "2"},
      {"a=1\rb=2\r", "a", "1"},
      {"a=1\rb=2\r", "b", "2"},
      {"a=1\r\rb=2\n\r", "b", "2"},
  };
  for (const Case& c : cases) {
    StoreInTempDir fixture;
    ASSERT_EQ(fixture.store.apply(c.text, false), ApplyResult::applied) << c.text;
    EXPECT_EQ(fixture.store.get(c.key, "fallback"), c.expected) << c.text;
  }
}

TEST(ConfigStore, TextWithoutEntryIsRejectedWhole) {
  for (const char* text : {"", "[map]\n// comment\n", "   \r\n", "novalue\n=onlyvalue\nkey="}) {
    StoreInTempDir fixture;
    ASSERT_EQ(fixture.store.apply("srt_port=7000", false), ApplyResult::applied);
    EXPECT_EQ(fixture.store.apply(text, true), ApplyResult::bad_format) << text;
    EXPECT_EQ(fixture.store.get("srt_port", ""), "7000");
    EXPECT_FALSE(std::filesystem::exists(fixture.dir.file("config.ini")));
  }
}

TEST(ConfigStore, ApplyReplacesTheWholeStore) {
  StoreInTempDir fixture;
  fixture.store.apply("srt_port=7000\nweb_port=8000", false);
  fixture.store.apply("ignore=eth1", false);
  EXPECT_EQ(fixture.store.get("srt_port", "9001"), "9001");
  EXPECT_EQ(fixture.store.get("ignore", ""), "eth1");
  EXPECT_EQ(fixture.store.get_each({"IGNORE", "srt_port"}), (std::vector<std::string>{"eth1", ""}));
}

TEST(ConfigStore, SaveWritesTheTextByteForByte) {
  StoreInTempDir fixture;
  std::string text = "// sluice\r\nsrt_port = 7000\r\n[map]\nurl=a=b\nsrt_port=1\n";
  EXPECT_EQ(fixture.store.apply(text, true), ApplyResult::applied);
  EXPECT_EQ(read_file(fixture.dir.file("config.ini")), text);
  EXPECT_EQ(fixture.store.read_text(), text);
  EXPECT_FALSE(std::filesystem::exists(fixture.dir.file("config.ini.tmp")));
}

TEST(ConfigStore, FailedSaveKeepsOldFileAndStore) {
  if (geteuid() == 0) {
    // root writes into read-only folders; a missing folder fails for everyone
    TempDir dir;
    ConfigStore store(dir.file("missing/config.ini"));
    ASSERT_EQ(store.apply("srt_port=7000", false), ApplyResult::applied);
    EXPECT_EQ(store.apply("srt_port=8000", true), ApplyResult::save_failed);
    EXPECT_EQ(store.get("srt_port", ""), "7000");
    return;
  }
  StoreInTempDir fixture;
  ASSERT_EQ(fixture.store.apply("srt_port=7000", true), ApplyResult::applied);
  chmod(fixture.dir.path.c_str(), 0500);
  EXPECT_EQ(fixture.store.apply("srt_port=8000", true), ApplyResult::save_failed);
  chmod(fixture.dir.path.c_str(), 0700);
  EXPECT_EQ(fixture.store.get("srt_port", ""), "7000");
  EXPECT_EQ(read_file(fixture.dir.file("config.ini")), "srt_port=7000");
}

TEST(ConfigStore, MissingFileLeavesStoreEmpty) {
  StoreInTempDir fixture;
  fixture.store.load();
  EXPECT_EQ(fixture.store.read_text(), "");
  EXPECT_EQ(fixture.store.get("srt_port", "9001"), "9001");
}

TEST(ConfigStore, NumericSettingsReadTheLeadingNumberOrFallBackToTheDefault) {
  struct Case {
    std::string value;
    int expected;
    std::string logged;  // empty: nothing logged
  } cases[] = {
      {"7000", 7000, ""},
      {"+7", 7, ""},
      {"65535", 65535, ""},
      {"7000 // main", 7000, R"(-- IGNORED TEXT IN srt_port=7000 // main: " // main", using 7000)"},
      {"200ms", 200, R"(-- IGNORED TEXT IN srt_port=200ms: "ms", using 200)"},
      {"70x", 70, R"(-- IGNORED TEXT IN srt_port=70x: "x", using 70)"},
      {"7000[2J", 7000, R"(-- IGNORED TEXT IN srt_port=7000\x1b[2J: "\x1b[2J", using 7000)"},
      {"0", 9001,
       "-- BAD VALUE srt_port=0 (expected a whole number from 1 to 65535), using the default 9001"},
      {"65536", 9001, "-- BAD VALUE srt_port=65536 "},
      {"-5", 9001, "-- BAD VALUE srt_port=-5 "},
      {"70000 // main", 9001, "-- BAD VALUE srt_port=70000 // main "},
      {"99999999999", 9001, "-- BAD VALUE srt_port=99999999999 "},
      {"main 7000", 9001, "-- BAD VALUE srt_port=main 7000 "},
      {"+ 7", 9001, "-- BAD VALUE srt_port=+ 7 "},
  };
  for (const Case& c : cases) {
    StoreInTempDir fixture;
    testing::internal::CaptureStdout();
    fixture.store.apply("srt_port=" + c.value, false);
    std::string before = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    EXPECT_EQ(fixture.store.get_int("srt_port", 9001, 1, 65535), c.expected) << c.value;
    std::string log = testing::internal::GetCapturedStdout();
    if (c.logged.empty()) {
      EXPECT_EQ(log, "") << c.value;
    } else {
      EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    }
  }
}
