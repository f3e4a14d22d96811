#include "app/endpoint_routes.h"

#include <gtest/gtest.h>

#include "config/config_store.h"
#include "fakes.h"

namespace {

const NetIfaceList kInterfaces = {
    {"eth0", "192.168.1.20", "0.00 bps", "0.00 bps"},
    {"wlan0", "10.1.1.7", "0.00 bps", "0.00 bps"},
    {"All", "", "0.00 bps", "0.00 bps"},
};

EndpointSet route_for(const std::string& config_text) {
  TempDir dir;
  ConfigStore config(dir.file("config.ini"));
  config.apply(config_text, false);
  EndpointSet set;
  fill_endpoint_set(set, config, kInterfaces);
  return set;
}

using Texts = std::vector<std::string>;

}  // namespace

TEST(EndpointRoutes, IgnoreLeavesOutInterfacesByTitleOrAddress) {
  struct Case {
    std::string config;
    Texts networks;
  } cases[] = {
      {"x=1", {"192.168.1.20", "10.1.1.7", ""}},
      {"ignore=eth0", {"10.1.1.7"}},
      {"ignore=10.1.1.7", {"192.168.1.20"}},
      {"ignore=ETH0", {"192.168.1.20", "10.1.1.7"}},
      {"ignore= , eth0 ,wlan0", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(route_for(c.config).networks, c.networks) << c.config;
}

TEST(EndpointRoutes, DestinationsAndTalkbackComeFromTheConfiguration) {
  EndpointSet set = route_for("rist_endpoint= a , ,b\ntb_endpoint=srt://1.2.3.4:9000");
  EXPECT_EQ(set.rist_endpoints, (Texts{"a", "b"}));
  EXPECT_EQ(set.tb_endpoint, "srt://1.2.3.4:9000");
  EXPECT_EQ(route_for("x=1").rist_endpoints, Texts{});
}

TEST(EndpointRoutes, UplinkModeIsReadWithBalanceForAnythingElse) {
  struct Case {
    std::string config;
    UplinkMode mode;
    bool logged;
  } cases[] = {
      {"x=1", UplinkMode::balance, false},
      {"uplink_mode=balance", UplinkMode::balance, false},
      {"uplink_mode= Duplicate ", UplinkMode::duplicate, false},
      {"uplink_mode=duplicated", UplinkMode::balance, true},
      {"uplink_mode=0", UplinkMode::balance, true},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(route_for(c.config).uplink_mode, c.mode) << c.config;
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(log.find("-- BAD VALUE uplink_mode=") != std::string::npos, c.logged) << c.config << log;
  }
}

TEST(EndpointRoutes, RefillStartsFromEmptyLists) {
  TempDir dir;
  ConfigStore config(dir.file("config.ini"));
  config.apply("rist_endpoint=a,b", false);
  EndpointSet set;
  fill_endpoint_set(set, config, kInterfaces);
  fill_endpoint_set(set, config, kInterfaces);
  EXPECT_EQ(set.rist_endpoints.size(), 2u);
  EXPECT_EQ(set.networks.size(), 3u);
}
