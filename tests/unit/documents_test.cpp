#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "web/metrics_text.h"

namespace {

using namespace std::string_literals;

std::string replaced(int bytes) {  // U+FFFD once for each of that many bytes
  std::string text;
  for (int i = 0; i < bytes; ++i) text += "\xEF\xBF\xBD";
  return text;
}

StreamSnapshot forward_stream() {
  StreamSnapshot stream{
      "cam1", "forward", "10.1.2.3:4000", 9, {123456789012, 1000, 4, 3, 1, 2.5, 10.25, 120}, {},
      1000,   1,         "cam1"};
  stream.peers = {{"rist://10.0.0.5:5000?cname=cam1", 6000000, 2, 98.5, 12}};
  return stream;
}

// Labels: valid UTF-8 with backslash, quote and line feed escaped. Numbers: whole ones
// without exponent, and the format's own words for infinities and NaN.
TEST(MetricsText, LabelsAndNumbersInTheTextFormat) {
  const std::string valid = " caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xA5";
  EXPECT_EQ(prometheus_label_value("a\"b\\c\nd\te\r" + valid), "a\\\"b\\\\c\\nd\te\r" + valid);
  // Every byte of a broken sequence is replaced: a stray byte, an overlong form, a
  // surrogate, a code point beyond U+10FFFF, a sequence cut short by the end.
  EXPECT_EQ(prometheus_label_value("\xFF|\xC0\xAF|\xED\xA0\x80|\xF4\x90\x80\x80|\xE2\x82"),
            replaced(1) + "|" + replaced(2) + "|" + replaced(3) + "|" + replaced(4) + "|" + replaced(2));
  const double infinity = std::numeric_limits<double>::infinity();
  std::string texts;
  for (double value : {0.0, -2.0, 1.5, 123456789012.0, infinity, -infinity, std::nan("")})
    texts += prometheus_number(value) + " ";
  EXPECT_EQ(texts, "0 -2 1.5 123456789012 +Inf -Inf NaN ");
}

TEST(MetricsText, EveryFamilyIsDeclaredOnceAndStreamsCarryTheirLabels) {
  NetIfaceList interfaces = {{"eth0", "10.1.2.9", "", "", 1e6, 2000, {}}, {"All", "", "", "", 1e6, 2000, {}}};
  std::string text = metrics_text({forward_stream(), forward_stream()}, {5, interfaces, {0, 3, 0, 1}});
  const std::string labels = R"({stream_id="cam1",mode="forward",caller="10.1.2.3:4000")";
  for (const std::string& line :
       {"sluice_interface_transmit_bits_per_second{interface=\"eth0\",ip=\"10.1.2.9\"} 1000000\n"s,
        "sluice_srt_received_bytes_total" + labels + "} 123456789012\n",
        "sluice_rist_peer_quality_percent" + labels + R"(,peer="rist://10.0.0.5:5000?cname=cam1"} 98.5)"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  EXPECT_EQ(text.find("interface=\"All\""), std::string::npos)
      << "the total would count every interface twice";
  EXPECT_EQ(text.find("# TYPE sluice_srt_received_bytes_total counter\n"),
            text.rfind("# TYPE sluice_srt_received_bytes_total"));
}

}  // namespace
