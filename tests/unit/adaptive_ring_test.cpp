#include "rist/adaptive_ring.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

const size_t kUnit = 1316;

// Appends a running byte sequence and checks that units come out as the same sequence.
class RingDriver {
 public:
  explicit RingDriver(AdaptiveRing& driven) : ring(driven) {}

  void append(size_t length) {
    std::vector<uint8_t> bytes(length);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(written++ % 251);
    ring.append(bytes.data(), bytes.size());
  }

  // Takes one unit; false when none was handed out. Checks its bytes against the sequence.
  bool take() {
    const uint8_t* unit = ring.take_unit();
    if (unit == nullptr) return false;
    for (size_t i = 0; i < kUnit; ++i) {
      EXPECT_EQ(unit[i], static_cast<uint8_t>(taken++ % 251)) << "byte " << taken - 1;
    }
    return true;
  }

  // After an overflow the sequence starts again with what comes next.
  void skip_to_written() { taken = written; }

 private:
  AdaptiveRing& ring;
  size_t written = 0;
  size_t taken = 0;
};

TEST(AdaptiveRing, GathersSmallAppendsIntoWholeUnitsAndWraps) {
  AdaptiveRing ring(kUnit, 10 * kUnit);
  RingDriver driver(ring);
  for (int i = 0; i < 6; ++i) {
    driver.append(188);
    EXPECT_FALSE(driver.take()) << "append " << i + 1;
  }
  driver.append(188);
  EXPECT_TRUE(driver.take());

  // Write position at 12000 of 13160: 1160 bytes go to the tail and 156 to the start.
  driver.append(12000 - 7 * 188);
  for (int i = 0; i < 8; ++i) EXPECT_TRUE(driver.take());
  driver.append(kUnit);
  EXPECT_TRUE(driver.take());
  EXPECT_FALSE(driver.take());
  EXPECT_EQ(ring.buffered(), 156u);

  // An append that ends exactly at the end of the storage; the next starts at 0.
  driver.append(13160 - 156 - kUnit);
  driver.append(kUnit);
  EXPECT_EQ(ring.buffered(), 10 * kUnit);
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(driver.take());
  EXPECT_EQ(ring.capacity(), 10 * kUnit);
}

TEST(AdaptiveRing, OverflowDiscardsEverythingAndResetEmpties) {
  AdaptiveRing ring(kUnit, 10 * kUnit);
  RingDriver driver(ring);
  driver.append(9 * kUnit);
  driver.append(kUnit);  // exactly full: no overflow
  EXPECT_EQ(ring.buffered(), 10 * kUnit);
  driver.append(1);  // one byte too many
  EXPECT_EQ(ring.buffered(), 0u);
  EXPECT_FALSE(driver.take());

  driver.skip_to_written();
  driver.append(2 * kUnit);
  EXPECT_TRUE(driver.take());
  ring.reset();
  EXPECT_FALSE(driver.take());
}

TEST(AdaptiveRing, GrowthKeepsWholeUnitsAndTheUnreadBytes) {
  AdaptiveRing empty(kUnit, 10 * kUnit);
  RingDriver fresh(empty);
  fresh.append(30000);
  EXPECT_EQ(empty.capacity(), 46 * kUnit) << "the next whole multiple of the unit above 60000";
  for (int i = 0; i < 22; ++i) EXPECT_TRUE(fresh.take());

  // Unread bytes that wrap around the end are kept in order when the ring grows.
  AdaptiveRing wrapped(kUnit, 10 * kUnit);
  RingDriver driver(wrapped);
  driver.append(8 * kUnit);
  for (int i = 0; i < 8; ++i) EXPECT_TRUE(driver.take());
  driver.append(4 * kUnit);
  driver.append(30 * kUnit);
  EXPECT_EQ(wrapped.capacity() % kUnit, 0u);
  for (int i = 0; i < 34; ++i) EXPECT_TRUE(driver.take());
  EXPECT_FALSE(driver.take());
}

}  // namespace
