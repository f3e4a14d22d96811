#include "rist/rist_sender.h"

#include <gtest/gtest.h>

TEST(RistSender, PeerCnameIsTheStreamIdUpToANulByteAndLibristsLimit) {
  using namespace std::string_literals;
  const std::string long_id(512, 'a');
  const std::string accented = std::string(124, 'a') + "\xC3\xA9" + "b";  // "é" across the limit
  struct Case {
    std::string stream_id, cname;
  } cases[] = {
      {"cam1", "cam1"},
      {"x&buffer=0", "x&buffer=0"},
      {"a\0b"s, "a"},
      {"\0abc"s, ""},
      {long_id, long_id.substr(0, kMaxCnameLength)},
      {accented, accented.substr(0, 124)},
      {std::string(kMaxCnameLength, 'z'), std::string(kMaxCnameLength, 'z')},
  };
  for (const Case& c : cases) EXPECT_EQ(peer_cname(c.stream_id), c.cname) << c.stream_id.size();
}
