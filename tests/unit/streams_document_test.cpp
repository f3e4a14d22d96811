#include "web/streams_document.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

TEST(StreamsDocument, OneObjectPerStreamWithBothLegsInValidJson) {
  EXPECT_EQ(streams_document({}), R"({"streams":[]})");
  StreamSnapshot forward{"cam1", "forward", "10.1.2.3:4000", 9, {1316000, 1000, 4, 3, 1, 2.5, 10.25, 120}, {},
                         1000,   1};
  forward.peers = {{"rist://10.0.0.5:5000?cname=cam1", 6000000, 2, 98.5, 12},
                   {"rist://10.0.0.6:5000", 0, 0, 0, 0}};
  StreamSnapshot talkback{"studio-talkback", "talkback", "10.1.2.4:4001", 0, {}, {}, 0, 0};

  json document = json::parse(streams_document({forward, talkback}));
  ASSERT_EQ(document["streams"].size(), 2u);
  EXPECT_EQ(document["streams"][0],
            json::parse(R"({"stream_id":"cam1","mode":"forward","caller":"10.1.2.3:4000",
      "seconds":9,"srt":{"bytes_received":1316000,"packets_received":1000,"packets_lost":4,"packets_retransmitted":3,
      "packets_dropped":1,"rtt_ms":2.5,"receive_rate_mbps":10.25,"latency_ms":120},
      "rist":[{"url":"rist://10.0.0.5:5000?cname=cam1","bandwidth_bps":6000000,"retransmitted":2,"quality":98.5,
      "rtt_ms":12},{"url":"rist://10.0.0.6:5000","bandwidth_bps":0,"retransmitted":0,"quality":0,"rtt_ms":0}],
      "units_written":1000,"send_errors":1})"));
  EXPECT_EQ(document["streams"][1]["mode"], "talkback");
  EXPECT_TRUE(document["streams"][1]["rist"].empty());
  // A stream id is whatever bytes the caller announced; the document stays valid JSON.
  talkback.stream_id = std::string("a\"b\\c\n\x01\xff\xc3", 9);
  document = json::parse(streams_document({talkback}));
  EXPECT_EQ(document["streams"][0]["stream_id"], "a\"b\\c\n\x01\xef\xbf\xbd\xef\xbf\xbd");
}

}  // namespace
