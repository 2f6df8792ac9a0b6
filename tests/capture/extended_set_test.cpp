// The extended property set through the antenna pin as an application sends it: the filter's multi-stream
// and scan members, the satellite-era members, register access, MAC addresses, SPI flash on channel A only,
// and every request whose buffers are shorter than the record it carries. Only the public interface: the
// suite runs on the Windows image too.
#include "sim/spi_flash.h"
#include "tests/capture/extended_fixture.h"

using namespace extended_test;

namespace {

// ---- The filter's members --------------------------------------------------------------------------------

TEST_P(EitherLayout, GetsReplyTheirFixedSizesWithTheDataUntouched) {
  Graph& g = graph(2);
  const std::pair<ULONG, size_t> gets[] = {
      {kBlindScan, 4008}, {kSnrBer, 12}, {kMediaInfo, 72}, {kStreamType, 2}};
  for (auto [id, size] : gets) {
    SCOPED_TRACE("id " + std::to_string(id));
    std::vector<uint8_t> data(size + 16, 0x5C);
    auto r = ext(*g.antenna, id, false, kPad, sizeof kPad, data.data(), data.size());
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, size);
    EXPECT_EQ(data, std::vector<uint8_t>(size + 16, 0x5C));
  }
  host::trace::clear();
  uint8_t d[8] = {};
  for (ULONG id : {kBlindScan, kGoldCode, kModCodes, kStreamType})
    EXPECT_EQ(ext(*g.antenna, id, true, nullptr, 0, d, 8).status, STATUS_SUCCESS);
  // Each handler names itself at every verbosity, with the channel's class name.
  EXPECT_EQ(count(traces(), "CFilter_B::Static_SetMODCODES"), 1u);
}

TEST_P(EitherLayout, SatelliteMembersAreNotSupportedAndSomeMarkChangesPending) {
  Graph& g = graph(6);
  uint8_t data[64] = {};
  for (ULONG id = 1; id <= 10; ++id) {
    if (id == kSnrBer || id == kNoOp) continue;
    SCOPED_TRACE("id " + std::to_string(id));
    const bool set = id == 1 || id == 8 || id == 10;
    EXPECT_EQ(ext(*g.antenna, id, set, kPad, sizeof kPad, data, sizeof data).status, STATUS_NOT_SUPPORTED);
  }
  EXPECT_EQ(ext(*g.antenna, kNoOp, false, kPad, sizeof kPad, data, 16).status, STATUS_SUCCESS);
  EXPECT_EQ(ext(*g.antenna, kNoOp, true, kPad, sizeof kPad, data, 16).status, STATUS_SUCCESS);

  // Id 3 get marks changes pending, although it is a get.
  ASSERT_EQ(startChanges(*g.tuner), STATUS_SUCCESS);
  EXPECT_EQ(changeState(*g.tuner), ULONG(BDA_CHANGES_COMPLETE));
  EXPECT_EQ(ext(*g.antenna, kChannelChange, false, kPad, sizeof kPad, data, 48).status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(changeState(*g.tuner), ULONG(BDA_CHANGES_PENDING));
  // Id 4 does not.
  ASSERT_EQ(startChanges(*g.tuner), STATUS_SUCCESS);
  EXPECT_EQ(ext(*g.antenna, 4, false, kPad, sizeof kPad, data, 24).status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(changeState(*g.tuner), ULONG(BDA_CHANGES_COMPLETE));

  // Id 0 hands back the message that follows the header.
  std::vector<uint8_t> message(188);
  for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i * 3);
  std::vector<uint8_t> reply(188, 0);
  EXPECT_EQ(
      ext(*g.antenna, kDiSEqC, false, message.data(), message.size(), reply.data(), reply.size()).status,
      STATUS_NOT_SUPPORTED);
  EXPECT_EQ(reply, message);
}

// ---- Device access ---------------------------------------------------------------------------------------

TEST_P(EitherLayout, RegisterReadAndWriteOnTheFirstMaster) {
  Graph& g = graph(3);
  const uint8_t slave = 0xC8;
  // A write sends register 0x00 followed by the data bytes: bank 0, then 0x5A into register 0x01.
  std::vector<uint8_t> write(130, 0);
  write[0] = slave;
  write[1] = 0x00;
  write[2] = 0x5A;
  write[129] = 2;
  size_t mark = busLines();
  EXPECT_EQ(ext(*g.antenna, kRegs, true, nullptr, 0, write.data(), write.size()).status, STATUS_SUCCESS);
  auto lines = busSince(mark);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "0x4000 0xc8 w 00 00 5a");

  // Read it back: the reply is the request record with the data bytes filled.
  std::vector<uint8_t> record(259, 0);
  record[0] = slave;
  record[1] = 0x01;
  record[129] = 1;  // sub-address length
  record[258] = 1;  // data length
  std::vector<uint8_t> reply(259, 0);
  mark = busLines();
  auto r = ext(*g.antenna, kRegs, false, record.data(), record.size(), reply.data(), reply.size());
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 259u);
  lines = busSince(mark);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "0x4000 0xc8 w 01");
  EXPECT_EQ(lines[1], "0x4000 0xc8 r 5a");
  EXPECT_EQ(reply[130], 0x5A);
  reply[130] = 0;
  EXPECT_EQ(reply, record);
}

TEST_P(EitherLayout, MalformedRegisterRequestsAreRefusedWithoutBusTraffic) {
  Graph& g = graph(1);
  const size_t mark = busLines();
  std::vector<uint8_t> write(130, 0);
  write[0] = 0xC8;
  EXPECT_EQ(ext(*g.antenna, kRegs, true, nullptr, 0, write.data(), write.size()).status, STATUS_UNSUCCESSFUL);
  write[129] = 129;  // more than the record carries
  EXPECT_EQ(ext(*g.antenna, kRegs, true, nullptr, 0, write.data(), write.size()).status,
            STATUS_INVALID_PARAMETER);
  std::vector<uint8_t> record(259, 0), reply(259, 0);
  record[0] = 0xC8;
  for (auto [sub, len] : {std::pair{3, 1}, std::pair{1, 0}, std::pair{1, 5}, std::pair{255, 255}}) {
    record[129] = static_cast<uint8_t>(sub);
    record[258] = static_cast<uint8_t>(len);
    EXPECT_EQ(ext(*g.antenna, kRegs, false, record.data(), record.size(), reply.data(), reply.size()).status,
              STATUS_INVALID_PARAMETER);
  }
  EXPECT_EQ(busLines(), mark);
}

TEST_P(EitherLayout, RegisterAccessToASilentSlaveFailsWithTheRecordStillReturned) {
  Graph& g = graph(1);
  const uint8_t silent = 0x10;  // nothing answers there on the first master
  std::vector<uint8_t> record(259, 0), reply(259, 0);
  record[0] = silent;
  record[129] = 1;
  record[258] = 4;
  auto r = ext(*g.antenna, kRegs, false, record.data(), record.size(), reply.data(), reply.size());
  EXPECT_EQ(r.status, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(reply[0], silent);
  EXPECT_EQ(reply[258], 4);
  std::vector<uint8_t> write(130, 0);
  write[0] = silent;
  write[129] = 1;
  EXPECT_EQ(ext(*g.antenna, kRegs, true, nullptr, 0, write.data(), write.size()).status,
            STATUS_IO_DEVICE_ERROR);
}

TEST_P(EitherLayout, MacAddressesByIndex) {
  Graph& g = graph(2);
  // Write index 3, read it back, and see it in the EEPROM.
  uint8_t record[16] = {3, 0, 0, 0, 0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
  EXPECT_EQ(ext(*g.antenna, kMac, true, nullptr, 0, record, sizeof record).status, STATUS_SUCCESS);
  uint8_t request[16] = {3};
  uint8_t reply[16] = {};
  auto r = ext(*g.antenna, kMac, false, request, sizeof request, reply, sizeof reply);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 16u);
  EXPECT_EQ(std::memcmp(reply + 10, record + 4, 6), 0);
  EXPECT_EQ(machine->card(0).eeprom().contents()[48 + 0], 0x02);

  // Index 9: success, 16 bytes, the record as it was sent.
  uint8_t nine[16] = {9, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  std::memset(reply, 0, sizeof reply);
  r = ext(*g.antenna, kMac, false, nine, sizeof nine, reply, sizeof reply);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 16u);
  EXPECT_EQ(std::memcmp(reply, nine, 16), 0);
  // Writing index 9 fails.
  EXPECT_EQ(ext(*g.antenna, kMac, true, nullptr, 0, nine, sizeof nine).status, STATUS_UNSUCCESSFUL);
}

TEST_P(EitherLayout, FlashIdentificationOnChannelAOnly) {
  Graph& a = graph(1);
  uint8_t id[40] = {};
  ASSERT_EQ(ext(*a.antenna, kFlashId, false, kPad, sizeof kPad, id, sizeof id).status, STATUS_SUCCESS);
  EXPECT_EQ(id[36], 1);
  EXPECT_EQ(std::memcmp(id, sim::SpiFlash::kId, 3), 0);
  Graph& b = graph(2);
  for (ULONG fid : {kFlashId, kFlashErase, kFlashPage, kFlashRead})
    EXPECT_EQ(ext(*b.antenna, fid, false, nullptr, 0, id, sizeof id).status, STATUS_NOT_FOUND) << fid;
}

// The whole 4 MiB image through the properties: erase, 16384 page writes, every word read back.
TEST_F(Extended, WholeFlashImageErasedWrittenPageByPageAndReadBack) {
  machine->card(0).flash().setTimings(2 * host::clock::kMs, 0);
  Graph& a = graph(1);
  uint32_t words[3] = {};
  ASSERT_EQ(ext(*a.antenna, kFlashErase, true, nullptr, 0, words, sizeof words).status, STATUS_SUCCESS);
  ASSERT_EQ(words[2], 1u);
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(ext(*a.antenna, kFlashErase, false, nullptr, 0, words, sizeof words).status, STATUS_SUCCESS);
    if (words[2] == 1) break;
  }
  ASSERT_EQ(words[2], 1u) << "erase never finished";
  auto image = [](size_t i) { return static_cast<uint8_t>((i * 7) ^ (i >> 9)); };
  std::vector<uint8_t> page(261);
  for (size_t base = 0; base < sim::SpiFlash::kSize; base += 256) {
    page[0] = 0;
    page[1] = static_cast<uint8_t>(base >> 16);
    page[2] = static_cast<uint8_t>(base >> 8);
    page[3] = static_cast<uint8_t>(base);
    for (size_t i = 0; i < 256; ++i) page[5 + i] = image(base + i);
    auto r = ext(*a.antenna, kFlashPage, true, nullptr, 0, page.data(), page.size());
    ASSERT_EQ(r.status, STATUS_SUCCESS) << base;
    ASSERT_EQ(page[0], 1) << base;
  }
  size_t wrong = 0;
  for (size_t addr = 0; addr < sim::SpiFlash::kSize; addr += 4) {
    const uint8_t a3[3] = {static_cast<uint8_t>(addr >> 16), static_cast<uint8_t>(addr >> 8),
                           static_cast<uint8_t>(addr)};
    uint32_t w[3] = {};
    ASSERT_EQ(ext(*a.antenna, kFlashRead, false, a3, 3, w, sizeof w).status, STATUS_SUCCESS);
    ASSERT_EQ(w[2], 1u);
    uint8_t got[4];
    std::memcpy(got, &w[1], 4);
    for (size_t i = 0; i < 4; ++i) wrong += got[i] != image(addr + i);
  }
  EXPECT_EQ(wrong, 0u);
  EXPECT_EQ(machine->card(0).flash().read(0x123400, 4)[1], image(0x123401));
}

// ---- Short buffers ---------------------------------------------------------------------------------------

struct ShortCase {
  ULONG id;
  bool set;
  size_t payload;  // bytes after the header
  size_t data;
};

TEST_P(EitherLayout, EveryShortBufferIsRefusedAndNothingIsTouched) {
  Graph& a = graph(1);
  const ShortCase cases[] = {
      {kDiSEqC, false, 187, 188},  {kDiSEqC, false, 188, 187}, {kBlindScan, false, 0, 4007},
      {kSnrBer, false, 0, 11},     {kMediaInfo, false, 0, 71}, {kStreamType, false, 0, 1},
      {kPlp, false, 0, 259},       {kPlp, true, 0, 0},         {kInputStream, true, 0, 1},
      {kMac, false, 15, 16},       {kMac, false, 16, 15},      {kMac, true, 0, 9},
      {kRegs, false, 258, 259},    {kRegs, false, 259, 258},   {kRegs, true, 0, 129},
      {kDemodMode, false, 0, 7},   {kDemodMode, true, 0, 0},   {kFlashId, false, 0, 39},
      {kFlashErase, false, 0, 11}, {kFlashErase, true, 0, 11}, {kFlashPage, false, 0, 11},
      {kFlashPage, true, 0, 260},  {kFlashRead, false, 2, 12}, {kFlashRead, false, 3, 11},
      {kFlashRead, true, 0, 11},
  };
  const size_t mark = busLines();
  const uint64_t programs = machine->card(0).flash().programs(), erases = machine->card(0).flash().erases();
  for (const ShortCase& c : cases) {
    SCOPED_TRACE("id " + std::to_string(c.id) + (c.set ? " set" : " get") + " payload " +
                 std::to_string(c.payload) + " data " + std::to_string(c.data));
    std::vector<uint8_t> payload(c.payload, 0x01), data(c.data, 0x6B);
    auto r = ext(*a.antenna, c.id, c.set, payload.data(), payload.size(), data.data(), data.size());
    // The framework answers the declared minimum sizes first; the handlers the records they really use.
    EXPECT_TRUE(r.status == STATUS_BUFFER_TOO_SMALL || r.status == STATUS_BUFFER_OVERFLOW)
        << std::hex << r.status;
    EXPECT_EQ(data, std::vector<uint8_t>(c.data, 0x6B));
  }
  EXPECT_EQ(busLines(), mark);
  EXPECT_EQ(machine->card(0).flash().programs(), programs);
  EXPECT_EQ(machine->card(0).flash().erases(), erases);
}

INSTANTIATE_TEST_SUITE_P(Layouts, EitherLayout, ::testing::Values(Layout::Node, Layout::Pin),
                         [](const auto& info) { return info.param == Layout::Node ? "Node" : "Pin"; });

}  // namespace
