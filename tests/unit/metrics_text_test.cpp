#include "web/metrics_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(MetricsText, LabelValuesAreValidUtf8WithBackslashQuoteAndLineFeedEscaped) {
  struct Case {
    std::string raw, escaped;
  } cases[] = {{R"(a"b\c)", R"(a\"b\\c)"},
               {"a\nb", R"(a\nb)"},
               {"tab\tand cr\r stay", "tab\tand cr\r stay"},
               {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xA5", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xA5"},
               {"a\xFF\xFE", "a" + kFffd + kFffd},
               {"cut \xE2\x82", "cut " + kFffd + kFffd},
               {"overlong \xC0\xAF", "overlong " + kFffd + kFffd},
               {"surrogate \xED\xA0\x80", "surrogate " + kFffd + kFffd + kFffd},
               {"beyond \xF4\x90\x80\x80", "beyond " + kFffd + kFffd + kFffd + kFffd}};
  for (const Case& c : cases) EXPECT_EQ(prometheus_label_value(c.raw), c.escaped) << c.raw;
}

TEST(MetricsText, NumbersInTheTextFormat) {
  const double infinity = std::numeric_limits<double>::infinity();
  struct Case {
    double value;
    const char* text;
  } cases[] = {{0, "0"},
               {123456789012, "123456789012"},
               {1.5, "1.5"},
               {-2, "-2"},
               {infinity, "+Inf"},
               {-infinity, "-Inf"},
               {std::nan(""), "NaN"}};
  for (const Case& c : cases) EXPECT_EQ(prometheus_number(c.value), c.text) << c.value;
}

TEST(MetricsText, EveryFamilyIsDeclaredOnceAndStreamsCarryTheirLabels) {
  StreamSnapshot stream{"cam1", "forward", "10.1.2.3:4000", 42, {}, {}, 7, 0};
  stream.srt.bytes_received = 123456789012;
  stream.peers = {{"rist://10.0.0.5:5000?cname=cam1", 6000000, 3, 99.5, 12}};
  StreamSnapshot odd = stream;
  odd.stream_id = "say \"hi\"\n\\";
  NetIfaceList interfaces = {{"eth0", "10.1.2.9", "", "", 1e6, 2000}, {"All", "", "", "", 1e6, 2000}};
  std::string text = metrics_text({stream, odd}, {5, interfaces, {0, 3, 0, 1}});

  const std::string labels = R"({stream_id="cam1",mode="forward",caller="10.1.2.3:4000")";
  for (const std::string& line : std::vector<std::string>{
           "sluice_workers_running 2\n", "sluice_connections_accepted_total 5\n",
           "sluice_callers_refused_total{reason=\"not_found\"} 3\n",
           "sluice_callers_refused_total{reason=\"misconfigured\"} 1\n",
           "sluice_interface_transmit_bits_per_second{interface=\"eth0\",ip=\"10.1.2.9\"} 1000000\n",
           "# TYPE sluice_srt_rtt_milliseconds gauge\n",
           "sluice_srt_received_bytes_total" + labels + "} 123456789012\n",
           "sluice_stream_uptime_seconds" + labels + "} 42\n",
           "sluice_stream_units_written_total" + labels + "} 7\n",
           "sluice_rist_peer_quality_percent" + labels + R"(,peer="rist://10.0.0.5:5000?cname=cam1"} 99.5)",
           R"(sluice_srt_received_bytes_total{stream_id="say \"hi\"\n\\",mode="forward")"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
  EXPECT_EQ(text.find("interface=\"All\""), std::string::npos)
      << "the total would count every interface twice";
  EXPECT_EQ(text.find("# TYPE sluice_srt_received_bytes_total counter\n"),
            text.rfind("# TYPE sluice_srt_received_bytes_total"));
  EXPECT_EQ(text.find("say \"hi\"\n"), std::string::npos) << "a raw line feed breaks the sample line";

  text = metrics_text({}, {});  // without streams the families are declared all the same
  EXPECT_NE(text.find("sluice_workers_running 0\n"), std::string::npos);
  EXPECT_NE(text.find("# TYPE sluice_rist_peer_rtt_milliseconds gauge\n"), std::string::npos);
}

}  // namespace
