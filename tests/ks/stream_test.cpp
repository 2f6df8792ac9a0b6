// The capture pin's data path: 64 frames of the framed size, the leading edge filled from a DPC-level thread,
// clones holding frames back, in-order delivery to the client, and what STOP does to frames in flight.
#include <atomic>
#include <cstring>
#include <thread>

#include "platform/host/ks/ks_host.h"
#include "tests/ks/fixture.h"

using host::client::Pin;

namespace {

// Fills the leading frame with its sequence number, as a DPC does.
bool fillOne(PKSPIN pin, ULONG seq, ULONG bytes = ksdrv::kFrameSize, BOOLEAN eject = FALSE) {
  PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (!sp) return false;
  EXPECT_EQ(sp->OffsetOut.Remaining, ksdrv::kFrameSize);
  std::memset(sp->OffsetOut.Data, 0, bytes);
  std::memcpy(sp->OffsetOut.Data, &seq, sizeof(seq));
  KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, bytes, eject);
  return true;
}

ULONG seqOf(const std::vector<UCHAR>& frame) {
  ULONG s = 0;
  if (frame.size() >= sizeof(s)) std::memcpy(&s, frame.data(), sizeof(s));
  return s;
}

class StreamTest : public KsTest {
 protected:
  void SetUp() override {
    KsTest::SetUp();
    capture = openCapture();
    ASSERT_EQ(capture->createPin(1, nullptr, 0, out), STATUS_SUCCESS);
    pin = out->ksPin();
  }
  void TearDown() override {
    out.reset();
    capture.reset();
    KsTest::TearDown();
  }
  std::unique_ptr<host::client::Filter> capture;
  std::unique_ptr<Pin> out;
  PKSPIN pin = nullptr;
};

}  // namespace

TEST_F(StreamTest, FramesFilledAtDispatchLevelArriveInOrder) {
  EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED),
            nullptr);  // stopped: no frames
  ASSERT_EQ(out->setState(KSSTATE_RUN), STATUS_SUCCESS);
  std::thread dpc([&] {
    host::setThreadIrql(DISPATCH_LEVEL);
    for (ULONG i = 0; i < 200; ++i)
      while (!fillOne(pin, i)) std::this_thread::yield();  // the client recycles frames as it reads
    host::setThreadIrql(PASSIVE_LEVEL);
  });
  std::vector<UCHAR> frame;
  for (ULONG i = 0; i < 200; ++i) {
    ASSERT_EQ(out->readFrame(frame, std::chrono::seconds(10)), STATUS_SUCCESS);
    ASSERT_EQ(frame.size(), ksdrv::kFrameSize);
    ASSERT_EQ(seqOf(frame), i);
  }
  dpc.join();
  EXPECT_EQ(out->readFrame(frame, std::chrono::milliseconds(1)), STATUS_TIMEOUT);
  EXPECT_TRUE(asserts.empty());
}

TEST_F(StreamTest, AllocatorHoldsSixtyFourFramesUntilTheClientReads) {
  ASSERT_EQ(out->setState(KSSTATE_RUN), STATUS_SUCCESS);
  ULONG filled = 0;
  while (fillOne(pin, filled)) ++filled;
  EXPECT_EQ(filled, ksdrv::kFrames);
  std::vector<UCHAR> frame;
  ASSERT_EQ(out->readFrame(frame, std::chrono::seconds(1)), STATUS_SUCCESS);
  EXPECT_EQ(seqOf(frame), 0u);
  EXPECT_TRUE(fillOne(pin, 64));  // the read frame went back to the pin
  EXPECT_FALSE(fillOne(pin, 65));
  // A partial advance keeps the frame at the leading edge; an eject completes it short.
  ASSERT_EQ(out->readFrame(frame, std::chrono::seconds(1)), STATUS_SUCCESS);
  PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  ASSERT_NE(sp, nullptr);
  ULONG seq = 99;
  std::memcpy(sp->OffsetOut.Data, &seq, 4);
  KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, 100, FALSE);
  sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  ASSERT_NE(sp, nullptr);
  EXPECT_EQ(sp->OffsetOut.Remaining, ksdrv::kFrameSize - 100);
  KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, 20, TRUE);
  for (ULONG i = 2; i <= 64; ++i) ASSERT_EQ(out->readFrame(frame, std::chrono::seconds(1)), STATUS_SUCCESS);
  ASSERT_EQ(out->readFrame(frame, std::chrono::seconds(1)), STATUS_SUCCESS);
  EXPECT_EQ(frame.size(), 120u);
  EXPECT_EQ(seqOf(frame), 99u);
  // Advancing beyond the frame is the driver's fault, and it moves nothing.
  EXPECT_TRUE(asserts.empty());
  sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  ASSERT_NE(sp, nullptr);
  KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, ksdrv::kFrameSize + 1, FALSE);
  EXPECT_EQ(asserts.size(), 1u);
  EXPECT_EQ(sp->OffsetOut.Remaining, ksdrv::kFrameSize);
}

TEST_F(StreamTest, ClonesHoldFramesBackWithoutReorderingThem) {
  ASSERT_EQ(out->setState(KSSTATE_RUN), STATUS_SUCCESS);
  PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  ASSERT_NE(sp, nullptr);
  PKSSTREAM_POINTER clone = nullptr;
  ASSERT_EQ(KsStreamPointerClone(sp, nullptr, 8, &clone), STATUS_SUCCESS);
  EXPECT_NE(clone->Context, nullptr);
  ULONG seq = 0;
  std::memcpy(sp->OffsetOut.Data, &seq, 4);
  KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, ksdrv::kFrameSize, FALSE);
  ASSERT_TRUE(fillOne(pin, 1));
  ASSERT_TRUE(fillOne(pin, 2));
  std::vector<UCHAR> frame;
  // Frame 0 is held by the clone, and the later ones wait behind it.
  EXPECT_EQ(out->readFrame(frame, std::chrono::milliseconds(20)), STATUS_TIMEOUT);
  EXPECT_EQ(KsPinGetFirstCloneStreamPointer(pin), clone);
  EXPECT_EQ(KsStreamPointerGetNextClone(clone), nullptr);
  KsStreamPointerDelete(clone);
  EXPECT_EQ(KsPinGetFirstCloneStreamPointer(pin), nullptr);
  for (ULONG i = 0; i < 3; ++i) {
    ASSERT_EQ(out->readFrame(frame, std::chrono::seconds(1)), STATUS_SUCCESS);
    EXPECT_EQ(seqOf(frame), i);
  }
}

TEST_F(StreamTest, StopCancelsFramesInFlightAndKeepsCompletedOnes) {
  ASSERT_EQ(out->setState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_TRUE(fillOne(pin, 7));
  PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  PKSSTREAM_POINTER clone = nullptr;
  ASSERT_EQ(KsStreamPointerClone(sp, nullptr, 0, &clone), STATUS_SUCCESS);
  KsStreamPointerUnlock(sp, FALSE);
  // The driver deletes its clones on the way to STOP (emptied first, so nothing reaches the client).
  ASSERT_EQ(out->setState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED), nullptr);
  // A leading edge kept from before the stop is stale: advancing it delivers nothing.
  KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, 10, TRUE);
  std::vector<UCHAR> frame;
  ASSERT_EQ(out->readFrame(frame, std::chrono::seconds(1)), STATUS_SUCCESS);
  EXPECT_EQ(seqOf(frame), 7u);
  EXPECT_EQ(out->readFrame(frame, std::chrono::milliseconds(5)), STATUS_TIMEOUT);
  // Running again offers frames from the start; a reader blocked on a closed pin is released.
  ASSERT_EQ(out->setState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_TRUE(fillOne(pin, 8));
  ASSERT_EQ(out->readFrame(frame, std::chrono::seconds(1)), STATUS_SUCCESS);
  EXPECT_EQ(seqOf(frame), 8u);
  std::atomic<NTSTATUS> readStatus{STATUS_SUCCESS};
  std::shared_ptr<Pin> shared(out.release());
  std::thread reader([&] {
    std::vector<UCHAR> f;
    readStatus = shared->readFrame(f, std::chrono::seconds(30));
  });
  while (host::ks::livePins() == 0) std::this_thread::yield();
  capture->close();
  reader.join();
  EXPECT_EQ(readStatus.load(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED), nullptr);
  EXPECT_TRUE(asserts.empty());
}

TEST_F(StreamTest, StreamPointerCallsAboveDispatchAreCaught) {
  ASSERT_EQ(out->setState(KSSTATE_RUN), STATUS_SUCCESS);
  host::setThreadIrql(HIGH_LEVEL);
  KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  host::setThreadIrql(PASSIVE_LEVEL);
  EXPECT_EQ(asserts.size(), 1u);
  // Control requests belong to PASSIVE_LEVEL.
  host::setThreadIrql(DISPATCH_LEVEL);
  ULONG v;
  capture->getProperty(ksdrv::kTestPropSet, 0, &v, 4);
  host::setThreadIrql(PASSIVE_LEVEL);
  EXPECT_EQ(asserts.size(), 2u);
}
