// config.ini as the gateway reads, stores and saves it, and the route a caller gets
// from it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "app/endpoint_routes.h"
#include "config/config_store.h"
#include "fakes.h"

namespace {

struct StoreInTempDir {
  TempDir dir;
  ConfigStore store{dir.file("config.ini")};
};

const NetIfaceList kInterfaces = {
    {"eth0", "192.168.1.20", "0.00 bps", "0.00 bps"},
    {"wlan0", "10.1.1.7", "0.00 bps", "0.00 bps"},
    {"All", "", "0.00 bps", "0.00 bps"},
};

EndpointSet route_for(const std::string& config_text) {
  StoreInTempDir fixture;
  fixture.store.apply(config_text, false);
  EndpointSet set;
  fill_endpoint_set(set, fixture.store, kInterfaces);
  fill_endpoint_set(set, fixture.store, kInterfaces);  // a refill starts from empty lists
  return set;
}

using Texts = std::vector<std::string>;

}  // namespace

TEST(ConfigStore, ParsesEntriesCommentsLineEndsAndByteOrderMarks) {
  struct Case {
    std::string text, key, expected;
  } cases[] = {
      {"SRT_Port = 7000 \n", "SRT_PORT", "7000"},
      {"  // srt_port=1\nother=1", "srt_port", "fallback"},
      {"k=first\nK=second", "k", "first"},
      {"url = rist://a:1?x=y // not a comment", "url", "rist://a:1?x=y // not a comment"},
      {"\xEF\xBB\xBFsrt_port=5\nx=1", "srt_port", "5"},
      {"a=1\r\nb=2\r\n", "b", "2"},
      {"a=1\r\rb=2\n\r", "b", "2"},
  };
  for (const Case& c : cases) {
    StoreInTempDir fixture;
    ASSERT_EQ(fixture.store.apply(c.text, false), ApplyResult::applied) << c.text;
    EXPECT_EQ(fixture.store.get(c.key, "fallback"), c.expected) << c.text;
  }
}

TEST(ConfigStore, ReplacesTheWholeStoreAndSavesTheTextByteForByte) {
  StoreInTempDir fixture;
  fixture.store.apply("srt_port=7000\nweb_port=8000", false);
  std::string text = "// sluice\r\nignore = eth1\r\n[map]\nurl=a=b\n";
  EXPECT_EQ(fixture.store.apply(text, true), ApplyResult::applied);
  EXPECT_EQ(fixture.store.get_each({"IGNORE", "srt_port"}), (Texts{"eth1", ""}));
  EXPECT_EQ(read_file(fixture.dir.file("config.ini")), text);
  EXPECT_EQ(fixture.store.read_text(), text);
  EXPECT_FALSE(std::filesystem::exists(fixture.dir.file("config.ini.tmp")));
}

TEST(ConfigStore, RejectedOrUnsavedTextKeepsTheOldFileAndStore) {
  for (const char* text : {"", "[map]\n// comment\n", "   \r\n", "novalue\n=onlyvalue\nkey="}) {
    StoreInTempDir fixture;
    ASSERT_EQ(fixture.store.apply("srt_port=7000", false), ApplyResult::applied);
    EXPECT_EQ(fixture.store.apply(text, true), ApplyResult::bad_format) << text;
    EXPECT_EQ(fixture.store.get("srt_port", ""), "7000");
    EXPECT_FALSE(std::filesystem::exists(fixture.dir.file("config.ini")));
  }
  TempDir dir;  // a missing folder fails the save for every user, root included
  ConfigStore store(dir.file("missing/config.ini"));
  ASSERT_EQ(store.apply("srt_port=7000", false), ApplyResult::applied);
  EXPECT_EQ(store.apply("srt_port=8000", true), ApplyResult::save_failed);
  EXPECT_EQ(store.get("srt_port", ""), "7000");
}

// Only a config.ini that is not there at all leaves every key at its default: one that
// exists but cannot be read fails the load with its path and the system's reason.
TEST(ConfigStore, LoadKeepsDefaultsWithoutAFileAndFailsOnOneItCannotRead) {
  namespace fs = std::filesystem;
  using Make = std::function<void(const TempDir&, const std::string&)>;
  struct Case {
    const char* name;
    Make make;
    std::string srt_port, logged;  // logged: the reason after the path, empty when loaded
  } cases[] = {
      {"missing", [](const TempDir&, const std::string&) {}, "default", ""},
      {"a link to a file",
       [](const TempDir& dir, const std::string& path) {
         std::ofstream(dir.file("kept.ini")) << "srt_port=7000\n";
         fs::create_symlink(dir.file("kept.ini"), path);
       },
       "7000", ""},
      {"a link to a volume not mounted",
       [](const TempDir& dir, const std::string& path) {
         fs::create_symlink(dir.file("mnt/kept.ini"), path);
       },
       "default", ": No such file or directory (a symbolic link to "},
      {"a directory", [](const TempDir&, const std::string& path) { fs::create_directory(path); }, "default",
       ": Is a directory"},
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
    EXPECT_EQ(fixture.store.get("srt_port", "default"), c.srt_port) << c.name;
  }
}

TEST(ConfigStore, NumbersReadTheLeadingNumberOrFallBackToTheDefault) {
  struct Case {
    std::string value;
    int expected;
    std::string logged;  // empty: nothing logged
  } cases[] = {
      {"+7", 7, ""},
      {"7000 // main", 7000, R"(-- IGNORED TEXT IN srt_port=7000 // main: " // main", using 7000)"},
      {"7000\x1b[2J", 7000, R"(-- IGNORED TEXT IN srt_port=7000\x1b[2J: "\x1b[2J", using 7000)"},
      {"0", 9001,
       "-- BAD VALUE srt_port=0 (expected a whole number from 1 to 65535), using the default 9001"},
      {"65536", 9001, "-- BAD VALUE srt_port=65536 "},
      {"70000 // main", 9001, "-- BAD VALUE srt_port=70000 // main "},
      {"main 7000", 9001, "-- BAD VALUE srt_port=main 7000 "},
  };
  for (const Case& c : cases) {
    StoreInTempDir fixture;
    fixture.store.apply("srt_port=" + c.value, false);
    testing::internal::CaptureStdout();
    EXPECT_EQ(fixture.store.get_int("srt_port", 9001, 1, 65535), c.expected) << c.value;
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(c.logged.empty() ? log.empty() : log.find(c.logged) != std::string::npos, true) << log;
  }
}

TEST(EndpointRoutes, IgnoreLeavesOutInterfacesByTitleOrAddress) {
  EXPECT_EQ(route_for("x=1").networks, (Texts{"192.168.1.20", "10.1.1.7", ""}));
  EXPECT_EQ(route_for("ignore=eth0").networks, (Texts{"10.1.1.7"}));
  EXPECT_EQ(route_for("ignore=10.1.1.7").networks, (Texts{"192.168.1.20"}));
  EXPECT_EQ(route_for("ignore=ETH0").networks, (Texts{"192.168.1.20", "10.1.1.7"}));
  EXPECT_EQ(route_for("ignore= , eth0 ,wlan0").networks, Texts{});
}

TEST(EndpointRoutes, DestinationsTalkbackAndUplinkModeComeFromTheConfiguration) {
  EndpointSet set =
      route_for("rist_endpoint= a , ,b\ntb_endpoint=srt://1.2.3.4:9000\nuplink_mode= Duplicate ");
  EXPECT_EQ(set.rist_endpoints, (Texts{"a", "b"}));
  EXPECT_EQ(set.tb_endpoint, "srt://1.2.3.4:9000");
  EXPECT_EQ(set.uplink_mode, UplinkMode::duplicate);
  for (const char* bad : {"uplink_mode=duplicated", "uplink_mode=0"}) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(route_for(bad).uplink_mode, UplinkMode::balance) << bad;
    EXPECT_NE(testing::internal::GetCapturedStdout().find("-- BAD VALUE uplink_mode="), std::string::npos);
  }
}
