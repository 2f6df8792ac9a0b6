// TS ring arithmetic: free and readable counts, wrap on write and read, whole-block drops when full.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "zadivo/device.h"

namespace {

struct Ring {
  std::vector<uint8_t> storage = std::vector<uint8_t>(kTsRingAllocBytes);
  TsRing* r = reinterpret_cast<TsRing*>(storage.data());
  Ring(ULONG read = 0, ULONG write = 0) {
    r->capacity = kTsRingCapacity;
    r->read = read;
    r->write = write;
    r->reserved = 0;
  }
};

TEST(TsRing, FreeAndReadableCounts) {
  Ring empty;
  EXPECT_EQ(ringFree(empty.r), kTsRingCapacity);
  EXPECT_EQ(ringReadable(empty.r), 0u);
  Ring ahead(100, 1100);  // R < W: 1000 bytes held
  EXPECT_EQ(ringReadable(ahead.r), 999u);
  EXPECT_EQ(ringFree(ahead.r), kTsRingCapacity - 1100 + 100 - 1);
  Ring wrapped(1100, 100);  // R > W
  EXPECT_EQ(ringReadable(wrapped.r), kTsRingCapacity - 1100 + 100 - 1);
  EXPECT_EQ(ringFree(wrapped.r), 1100u - 100 - 1);
}

TEST(TsRing, FrameHandOffNeedsMoreThanAFrameHeld) {
  Ring ring;
  std::vector<uint8_t> block(0xBC00);
  ASSERT_TRUE(ringWrite(ring.r, block.data(), 0xBC00));
  ASSERT_TRUE(ringWrite(ring.r, block.data(), 0xBC00));  // exactly 96256 held
  EXPECT_EQ(ringReadable(ring.r), kTsFrameBytes - 1);
  std::vector<uint8_t> frame(kTsFrameBytes);
  EXPECT_FALSE(ringRead(ring.r, frame.data(), kTsFrameBytes));
  ASSERT_TRUE(ringWrite(ring.r, block.data(), 0xBC00));
  EXPECT_EQ(ringReadable(ring.r), 144383u);
  EXPECT_TRUE(ringRead(ring.r, frame.data(), kTsFrameBytes));
}

TEST(TsRing, BlockSplitAcrossTheEndAndFrameReadJoinedBack) {
  const ULONG start = kTsRingCapacity - 1000;
  Ring ring(start, start);
  std::vector<uint8_t> block(0xBC00);
  std::iota(block.begin(), block.end(), 0);
  ASSERT_TRUE(ringWrite(ring.r, block.data(), 0xBC00));
  EXPECT_EQ(ring.r->write, 0xBC00u - 1000);
  EXPECT_EQ(ring.r->data[kTsRingCapacity - 1], block[999]);
  EXPECT_EQ(ring.r->data[0], block[1000]);
  ASSERT_TRUE(ringWrite(ring.r, block.data(), 0xBC00));
  std::vector<uint8_t> out(0xBC00);
  ASSERT_TRUE(ringRead(ring.r, out.data(), 0xBC00));
  EXPECT_EQ(out, block);
}

TEST(TsRing, FullRingDropsTheWholeBlock) {
  Ring ring;
  std::vector<uint8_t> block(0xBC00, 0x47);
  int written = 0;
  while (ringWrite(ring.r, block.data(), 0xBC00)) ++written;
  EXPECT_EQ(written, static_cast<int>(kTsRingCapacity / 0xBC00));
  const ULONG w = ring.r->write;
  EXPECT_FALSE(ringWrite(ring.r, block.data(), 0xBC00));
  EXPECT_EQ(ring.r->write, w) << "a refused block leaves the ring untouched";
  EXPECT_LT(ringFree(ring.r), 0xBC00u);
}

// Copies whose destination sits just above their source modulo 4 KiB run backwards in 64-byte steps; every
// distance and length, split across the ring's end or not, must still land byte for byte.
TEST(TsRing, CopiesOfEveryAlignmentLandIntact) {
  std::vector<uint8_t> pool(3 * 4096 + 2 * 0xBC00);
  for (ULONG distance : {1u, 16u, 63u, 64u, 100u})
    for (ULONG len : {37u, 64u, 0xBC00u, 0xBC00u + 5})
      for (ULONG start : {0u, kTsRingCapacity - 1000}) {
        SCOPED_TRACE(testing::Message()
                     << "distance " << distance << " length " << len << " start " << start);
        Ring ring(start, start);
        const uintptr_t dst = reinterpret_cast<uintptr_t>(ring.r->data + start);
        const uintptr_t base = reinterpret_cast<uintptr_t>(pool.data());
        uint8_t* src = pool.data() + ((dst - distance - base) & 4095);
        for (ULONG i = 0; i < len; ++i) src[i] = static_cast<uint8_t>(i * 7 + distance);
        ASSERT_TRUE(ringWrite(ring.r, src, len));
        ASSERT_TRUE(ringWrite(ring.r, src, 1));  // a read never takes the last byte held
        std::vector<uint8_t> out(len);
        ASSERT_TRUE(ringRead(ring.r, out.data(), len));
        EXPECT_TRUE(std::equal(out.begin(), out.end(), src));
      }
}

}  // namespace
