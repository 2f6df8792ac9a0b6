// The I2C masters as the bus sees them: control words, chunking, attempts on NAK, argument refusals, the
// locked staging buffer, and the demodulator reset lines under the same mutex.
#include <array>
#include <thread>

#include "demod/sony_demod_bus.h"
#include "hw/i2c_regs.h"
#include "platform/host/clock.h"
#include "tests/device/rig.h"
#include "zadivo/sony_cxd6802/demod_path.h"

namespace zadivo_test {
namespace {

// A register-file slave: writes set the pointer then data; reads return from the pointer.
class RegisterSlave : public sim::I2cSlave {
 public:
  explicit RegisterSlave(uint8_t addr) : addr_(addr) {
    for (size_t i = 0; i < regs.size(); ++i) regs[i] = static_cast<uint8_t>(i * 7 + 1);
  }
  bool start(uint8_t addr8, bool) override {
    first_ = true;
    return addr8 == addr_;
  }
  bool writeByte(uint8_t b) override {
    if (first_) {
      ptr_ = b;
      first_ = false;
    } else {
      regs[ptr_++] = b;
    }
    return true;
  }
  uint8_t readByte() override { return regs[ptr_++]; }
  void stop() override {}
  std::array<uint8_t, 256> regs{};

 private:
  uint8_t addr_;
  uint8_t ptr_ = 0;
  bool first_ = true;
};

class I2cTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    c = &plug();
    c->card.i2cBus(0).addSlave(&slave);
    ASSERT_EQ(pnp.start(c->card), STATUS_SUCCESS);
    d = device(*c);
    c->clearTraces();
  }
  void TearDown() override {
    c->card.i2cBus(0).removeSlave(&slave);
    DriverTest::TearDown();
  }
  // Control words written to master 0.
  std::vector<uint32_t> controlWords() {
    std::vector<uint32_t> out;
    for (auto& a : c->writes())
      if (a.offset == 0x4000) out.push_back(a.value);
    return out;
  }
  std::vector<uint8_t> byte0s() {
    std::vector<uint8_t> out;
    for (uint32_t w : controlWords()) out.push_back(static_cast<uint8_t>(w));
    return out;
  }

  // Building blocks run under the I2C mutex, as their callers hold it.
  template <class F>
  void lockAndRun(F f) {
    KeWaitForSingleObject(d->i2cMutex(), Executive, KernelMode, FALSE, nullptr);
    f();
    KeReleaseMutex(d->i2cMutex(), FALSE);
  }

  RegisterSlave slave{0x38};
  TracedCard* c = nullptr;
  Device* d = nullptr;
};

TEST_F(I2cTest, ChunkedReadsUseTheDocumentedControlBytes) {
  UCHAR out[12] = {};
  const UCHAR sub = 0x10;
  lockAndRun([&] { ASSERT_TRUE(d->i2cRead(0x4000, 0x38, &sub, 1, out, 5)); });
  EXPECT_EQ(byte0s(), (std::vector<uint8_t>{0x91, 0x44}));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(out[i], slave.regs[0x10 + i]);
  // The bus saw the sub-address written, then one read of five bytes.
  const auto lines = c->i2cLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "0x4000 0x38 w 10");
  EXPECT_EQ(lines[1].substr(0, 13), "0x4000 0x38 r");

  c->clearTraces();
  lockAndRun([&] { ASSERT_TRUE(d->i2cRead(0x4000, 0x38, nullptr, 0, out, 4)); });
  EXPECT_EQ(byte0s(), (std::vector<uint8_t>{0xC4}));
  c->clearTraces();
  lockAndRun([&] { ASSERT_TRUE(d->i2cRead(0x4000, 0x38, nullptr, 0, out, 8)); });
  EXPECT_EQ(byte0s(), (std::vector<uint8_t>{0x84, 0x44}));
  c->clearTraces();
  lockAndRun([&] { ASSERT_TRUE(d->i2cRead(0x4000, 0x38, nullptr, 0, out, 12)); });
  EXPECT_EQ(byte0s(), (std::vector<uint8_t>{0x84, 0x04, 0x44}));
  c->clearTraces();
  const UCHAR sub2[2] = {0x20, 0x00};
  lockAndRun([&] { ASSERT_TRUE(d->i2cReadShort(0x4000, 0x38, sub2, 2, out, 4)); });
  EXPECT_EQ(byte0s(), (std::vector<uint8_t>{0xE4}));
}

TEST_F(I2cTest, ChunkedWritesAndSlaveDirectionBit) {
  UCHAR data[12];
  for (int i = 0; i < 12; ++i) data[i] = static_cast<UCHAR>(0xA0 + i);
  data[0] = 0x40;  // register pointer
  lockAndRun([&] { ASSERT_TRUE(d->i2cWrite(0x4000, 0x39 /* read bit set by caller */, 7, data)); });
  EXPECT_EQ(byte0s(), (std::vector<uint8_t>{0x81, 0x46}));
  for (uint32_t w : controlWords())
    EXPECT_EQ((w >> 8) & 0xFF, 0x38u) << "write form whatever the caller passes";
  for (int i = 1; i < 7; ++i) EXPECT_EQ(slave.regs[0x40 + i - 1], data[i]);
  EXPECT_EQ(c->i2cLines().back(), "0x4000 0x38 w 40 a1 a2 a3 a4 a5 a6");

  c->clearTraces();
  lockAndRun([&] { ASSERT_TRUE(d->i2cWrite(0x4000, 0x38, 6, data)); });
  EXPECT_EQ(byte0s(), (std::vector<uint8_t>{0xC6}));
  c->clearTraces();
  lockAndRun([&] { ASSERT_TRUE(d->i2cWrite(0x4000, 0x38, 12, data)); });
  EXPECT_EQ(byte0s(), (std::vector<uint8_t>{0x86, 0x46}));

  c->clearTraces();
  UCHAR b;
  lockAndRun([&] { ASSERT_TRUE(d->i2cReadShort(0x4000, 0x38, data, 1, &b, 1)); });
  EXPECT_EQ((controlWords()[0] >> 8) & 0xFF, 0x39u) << "read form has bit 0 set";
}

TEST_F(I2cTest, NakingSlaveGetsThreeAttemptsThenFailure) {
  UCHAR out[4];
  EXPECT_FALSE(d->i2cReadRegister(0x4000, 0x50, 0x00, out, 2));  // nobody at 0x50
  EXPECT_EQ(controlWords().size(), 3u);
  c->clearTraces();
  EXPECT_EQ(d->i2cReadInterface(0x4000, 0x50, out, 1, out, 1), STATUS_TIMEOUT);
  EXPECT_NE(host::trace::text().find(" readinterface error !"), std::string::npos);
  c->clearTraces();
  c->card.i2cBus(0).nakAfter(0x38, 2);  // answers two address phases, then NAKs
  const UCHAR v = 1;
  EXPECT_TRUE(d->i2cWriteRegister(0x4000, 0x38, 0x10, &v, 1));
  EXPECT_TRUE(d->i2cWriteRegister(0x4000, 0x38, 0x10, &v, 1));
  EXPECT_FALSE(d->i2cWriteRegister(0x4000, 0x38, 0x10, &v, 1));
  EXPECT_EQ(controlWords().size(), 2u + 3u);
  c->card.i2cBus(0).clearFaults();
}

// A register block longer than four bytes: the register number as a transfer of its own, then a burst read.
// An attempt that fails in either part starts over from the register number, so that the retried burst does
// not go on from where the failed one left the slave's pointer; a register number never delivered is a
// failed read, not the bytes at a stale pointer.
TEST_F(I2cTest, RegisterBlockReadRetriesFromTheRegisterNumber) {
  DemodPath path(1);
  path.device = d;
  UCHAR block[8] = {};
  c->card.i2cBus(0).nakDataByte(0x38, true, 5);
  ASSERT_EQ(ReadRegister(&path, 0x38, 0x40, block, sizeof block), DEMOD_OK);
  EXPECT_EQ(std::vector<UCHAR>(block, block + 8), std::vector<UCHAR>(&slave.regs[0x40], &slave.regs[0x48]));
  c->card.i2cBus(0).nakDataByte(0x38, false, 0, 3);
  EXPECT_EQ(ReadRegister(&path, 0x38, 0x40, block, sizeof block), DEMOD_ERR_BUS);
  c->card.i2cBus(0).clearFaults();
}

// A completion whose DPC is held back past the time-out is still a completed transfer: the master says so.
TEST_F(I2cTest, LateCompletionIsJudgedByTheMastersStatus) {
  UCHAR out[2] = {};
  host::dpc::pause();
  const bool ok = d->i2cReadRegister(0x4000, 0x38, 0x10, out, 2);
  const bool absent = d->i2cReadRegister(0x4000, 0x50, 0x10, out, 2);
  host::dpc::resume();
  EXPECT_TRUE(ok);
  EXPECT_EQ(out[0], slave.regs[0x10]);
  EXPECT_FALSE(absent) << "a NAK stays a failure";
  EXPECT_EQ(controlWords().size(), 1u + 3u);
}

TEST_F(I2cTest, ArgumentErrorsAreRefusedBeforeAnyRegisterAccess) {
  UCHAR out[8];
  const UCHAR sub[3] = {1, 2, 3};
  lockAndRun([&] {
    EXPECT_FALSE(d->i2cReadShort(0x4000, 0x38, sub, 1, out, 0));
    EXPECT_FALSE(d->i2cReadShort(0x4000, 0x38, sub, 1, out, 5));
    EXPECT_FALSE(d->i2cRead(0x4000, 0x38, sub, 1, out, 0));
    EXPECT_FALSE(d->i2cRead(0x4000, 0x38, sub, 3, out, 4));
  });
  EXPECT_TRUE(c->accessesBesidesIsr().empty());
  const std::string t = host::trace::text();
  EXPECT_NE(t.find(" error! read register length is zero !"), std::string::npos);
  EXPECT_NE(t.find(" more than 4 byte read, hardware not support 5 !"), std::string::npos);
  EXPECT_NE(t.find(" read sub address more than 16bit or less 8 bit !"), std::string::npos);
}

TEST_F(I2cTest, RegisterWriteTakesFiftyFiveBytesAndRefusesFiftySix) {
  UCHAR data[64];
  for (int i = 0; i < 64; ++i) data[i] = static_cast<UCHAR>(i + 1);
  EXPECT_TRUE(d->i2cWriteRegister(0x4000, 0x38, 0x80, data, 55));
  for (int i = 0; i < 55; ++i) ASSERT_EQ(slave.regs[0x80 + i], data[i]);
  c->clearTraces();
  EXPECT_FALSE(d->i2cWriteRegister(0x4000, 0x38, 0x80, data, 56));
  EXPECT_TRUE(c->accessesBesidesIsr().empty());
}

TEST_F(I2cTest, UnknownMasterIsOnlyTraced) {
  lockAndRun([&] {
    d->i2cBeginOp(0x4100);
    EXPECT_TRUE(d->i2cWaitOp(0x4100));
  });
  EXPECT_NE(host::trace::text().find("----------i2c0 address error : 4100"), std::string::npos);
}

TEST_F(I2cTest, ResetPulseKeepsUpperBitsTakesAHundredMsAndExcludesTransfers) {
  d->writeRegister(0x2C, 0xABCD0001);
  c->clearTraces();
  std::atomic<bool> go{false};
  std::thread other([&] {
    while (!go) std::this_thread::yield();
    UCHAR b;
    for (int i = 0; i < 20; ++i) d->i2cReadRegister(0x4000, 0x38, 0, &b, 1);
  });
  const int64_t t0 = host::clock::nowNs();
  go = true;
  d->DVB_SET_DemodReset(0x2C);
  const int64_t elapsed = host::clock::nowNs() - t0;
  other.join();
  EXPECT_GE(elapsed, 100 * host::clock::kMs);
  // The two reset writes keep bits 31..1, and no I2C operation starts between them.
  const auto w = c->writes();
  int low = -1, high = -1;
  for (size_t i = 0; i < w.size(); ++i) {
    if (w[i].offset == 0x2C && w[i].value == 0xABCD0000u) low = static_cast<int>(i);
    if (w[i].offset == 0x2C && w[i].value == 0xABCD0001u) high = static_cast<int>(i);
  }
  ASSERT_GE(low, 0);
  ASSERT_GT(high, low);
  for (int i = low; i < high; ++i) EXPECT_NE(w[i].offset, 0x4000u) << "transfer inside the reset pulse";
}

}  // namespace
}  // namespace zadivo_test
