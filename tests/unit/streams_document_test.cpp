#include "web/streams_document.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace {

TEST(StreamsDocument, NoStreamGivesAnEmptyList) { EXPECT_EQ(streams_document({}), R"({"streams":[]})"); }

TEST(StreamsDocument, OneObjectPerStreamWithBothLegs) {
  StreamSnapshot forward;
  forward.stream_id = "cam1";
  forward.mode = "forward";
  forward.caller = "10.1.2.3:4000";
  forward.seconds = 9;
  forward.srt = {1316000, 1000, 4, 3, 1, 2.5, 10.25, 120};
  forward.peers = {{"rist://10.0.0.5:5000?cname=cam1", 6000000, 2, 98.5, 12},
                   {"rist://10.0.0.6:5000?cname=cam1", 0, 0, 0, 0}};
  forward.units_written = 1000;
  forward.send_errors = 1;
  StreamSnapshot talkback;
  talkback.stream_id = "studio-talkback";
  talkback.mode = "talkback";

  auto document = nlohmann::json::parse(streams_document({forward, talkback}));
  ASSERT_EQ(document["streams"].size(), 2u);
  const auto& first = document["streams"][0];
  EXPECT_EQ(first["stream_id"], "cam1");
  EXPECT_EQ(first["mode"], "forward");
  EXPECT_EQ(first["caller"], "10.1.2.3:4000");
  EXPECT_EQ(first["seconds"], 9);
  EXPECT_EQ(first["srt"], nlohmann::json::parse(R"({"bytes_received":1316000,"packets_received":1000,
      "packets_lost":4,"packets_retransmitted":3,"packets_dropped":1,"rtt_ms":2.5,
      "receive_rate_mbps":10.25,"latency_ms":120})"));
  ASSERT_EQ(first["rist"].size(), 2u);
  EXPECT_EQ(first["rist"][0], nlohmann::json::parse(R"({"url":"rist://10.0.0.5:5000?cname=cam1",
      "bandwidth_bps":6000000,"retransmitted":2,"quality":98.5,"rtt_ms":12})"));
  EXPECT_EQ(first["units_written"], 1000);
  EXPECT_EQ(first["send_errors"], 1);
  EXPECT_EQ(document["streams"][1]["mode"], "talkback");
  EXPECT_TRUE(document["streams"][1]["rist"].empty());
}

// A stream id is whatever bytes the caller announced; the document must stay valid JSON.
TEST(StreamsDocument, StreamIdsWithAnyBytesStayValidJson) {
  StreamSnapshot stream;
  stream.stream_id = std::string("a\"b\\c\n\x01\xff\xc3", 9);
  std::string text = streams_document({stream});
  auto document = nlohmann::json::parse(text);
  EXPECT_EQ(document["streams"][0]["stream_id"], "a\"b\\c\n\x01\xef\xbf\xbd\xef\xbf\xbd");
}

}  // namespace
