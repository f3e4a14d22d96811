#include "web/metrics_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

StreamSnapshot fake_stream() {
  StreamSnapshot stream;
  stream.stream_id = "cam1";
  stream.mode = "forward";
  stream.caller = "10.1.2.3:4000";
  stream.seconds = 42;
  stream.srt.bytes_received = 123456789012;
  stream.srt.rtt_ms = 1.5;
  stream.units_written = 7;
  stream.peers = {{"rist://10.0.0.5:5000?cname=cam1", 6000000, 3, 99.5, 12}};
  return stream;
}

TEST(MetricsText, LabelValuesAreValidUtf8WithBackslashQuoteAndLineFeedEscaped) {
  struct Case {
    const char* raw;
    const char* escaped;
  } cases[] = {
      {"cam1", "cam1"},
      {R"(a"b)", R"(a\"b)"},
      {R"(a\b)", R"(a\\b)"},
      {"a\nb", R"(a\nb)"},
      {R"(\")", R"(\\\")"},
      {"tab\tand cr\r stay", "tab\tand cr\r stay"},
      {"", ""},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xA5", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xA5"},
      {"a\xFF\xFE"
       "b",
       "a\xEF\xBF\xBD\xEF\xBF\xBD"
       "b"},
      {"cut \xE2\x82", "cut \xEF\xBF\xBD\xEF\xBF\xBD"},
      {"overlong \xC0\xAF", "overlong \xEF\xBF\xBD\xEF\xBF\xBD"},
      {"surrogate \xED\xA0\x80", "surrogate \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"beyond \xF4\x90\x80\x80", "beyond \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) EXPECT_EQ(prometheus_label_value(c.raw), c.escaped) << c.raw;
}

TEST(MetricsText, NumbersInTheTextFormat) {
  struct Case {
    double value;
    const char* text;
  } cases[] = {
      {0, "0"},
      {1000000, "1000000"},
      {123456789012, "123456789012"},
      {1.5, "1.5"},
      {-2, "-2"},
      {std::numeric_limits<double>::infinity(), "+Inf"},
      {-std::numeric_limits<double>::infinity(), "-Inf"},
      {std::nan(""), "NaN"},
  };
  for (const Case& c : cases) EXPECT_EQ(prometheus_number(c.value), c.text) << c.value;
}

TEST(MetricsText, EveryFamilyIsDeclaredOnceAndStreamsCarryTheirLabels) {
  StreamSnapshot odd = fake_stream();
  odd.stream_id = "say \"hi\"\n\\";
  NetIfaceList interfaces = {{"eth0", "10.1.2.9", "1.00 Mbps", "2.00 Kbps", 1e6, 2000},
                             {"All", "", "1.00 Mbps", "2.00 Kbps", 1e6, 2000}};
  std::string text = metrics_text({fake_stream(), odd}, {5, interfaces, {0, 3, 0, 1}});

  const std::string labels = R"({stream_id="cam1",mode="forward",caller="10.1.2.3:4000")";
  for (const std::string& line : std::vector<std::string>{
           "sluice_workers_running 2\n",
           "sluice_connections_accepted_total 5\n",
           "sluice_callers_refused_total{reason=\"forbidden\"} 0\n",
           "sluice_callers_refused_total{reason=\"not_found\"} 3\n",
           "sluice_callers_refused_total{reason=\"overload\"} 0\n",
           "sluice_callers_refused_total{reason=\"misconfigured\"} 1\n",
           "sluice_interface_transmit_bits_per_second{interface=\"eth0\",ip=\"10.1.2.9\"} 1000000\n",
           "sluice_interface_receive_bits_per_second{interface=\"eth0\",ip=\"10.1.2.9\"} 2000\n",
           "sluice_srt_received_bytes_total" + labels + "} 123456789012\n",
           "sluice_srt_rtt_milliseconds" + labels + "} 1.5\n",
           "sluice_stream_uptime_seconds" + labels + "} 42\n",
           "sluice_stream_units_written_total" + labels + "} 7\n",
           "sluice_rist_peer_quality_percent" + labels + R"(,peer="rist://10.0.0.5:5000?cname=cam1"} 99.5)" +
               "\n",
           "sluice_rist_peer_bandwidth_bits_per_second" + labels +
               R"(,peer="rist://10.0.0.5:5000?cname=cam1"} 6000000)" + "\n",
           R"(sluice_srt_received_bytes_total{stream_id="say \"hi\"\n\\",mode="forward")",
       }) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
  EXPECT_EQ(text.find("interface=\"All\""), std::string::npos)
      << "the total would count every interface twice";
  EXPECT_EQ(text.find("# TYPE sluice_srt_received_bytes_total counter\n"),
            text.rfind("# TYPE sluice_srt_received_bytes_total"));
  EXPECT_NE(text.find("# TYPE sluice_srt_rtt_milliseconds gauge\n"), std::string::npos);
  // The raw line feed of the stream id must not break a sample line.
  EXPECT_EQ(text.find("say \"hi\"\n"), std::string::npos);
}

TEST(MetricsText, WithoutStreamsTheFamiliesAreStillDeclared) {
  std::string text = metrics_text({}, {});
  EXPECT_NE(text.find("sluice_workers_running 0\n"), std::string::npos);
  EXPECT_NE(text.find("# TYPE sluice_rist_peer_rtt_milliseconds gauge\n"), std::string::npos);
  EXPECT_EQ(text.find("{stream_id="), std::string::npos);
}

}  // namespace
