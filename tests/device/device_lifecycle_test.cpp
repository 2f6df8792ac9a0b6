// Card bring-up through PnP: the start-up register sequence, teardown, allocation failures, odd resource
// lists, power and interface requests, several cards.
#include <algorithm>

#include "hw/dma_regs.h"
#include "hw/i2c_regs.h"
#include "hw/irq_regs.h"
#include "tests/device/rig.h"

namespace zadivo_test {
namespace {

using hw::dma::kBlockBase;

// Index of the first write matching (offset, value) at or after `from`, or -1.
int findWrite(const std::vector<MmioAccess>& w, uint32_t offset, uint32_t value, size_t from = 0) {
  for (size_t i = from; i < w.size(); ++i)
    if (w[i].offset == offset && w[i].value == value) return static_cast<int>(i);
  return -1;
}

TEST_F(DriverTest, StartWritesQuiesceProgramEnableAndModeInOrder) {
  host::dma::setBusBase(0x1FFF00000ull);  // low half wraps from channel 3 on
  TracedCard& c = plug();
  ASSERT_EQ(pnp.start(c.card), STATUS_SUCCESS);
  const auto w = c.writes();
  ASSERT_GE(w.size(), 1u + 8 + 32 + 5 + 4);

  // Quiesce: master enable off, then the eight control registers in block order.
  EXPECT_EQ(w[0].offset, hw::irq::kMasterEnable);
  EXPECT_EQ(w[0].value, 0u);
  for (int n = 0; n < 8; ++n) {
    EXPECT_EQ(w[1 + n].offset, kBlockBase[n] + hw::dma::kControl) << n;
    EXPECT_EQ(w[1 + n].value, 0u);
  }
  // Channel programming onto the common buffer, high half shared, low half + n x slice with 32-bit wrap.
  Device* d = device(c);
  const uint64_t phys = static_cast<uint64_t>(d->_dma_buffer_phys.QuadPart);
  EXPECT_EQ(phys >> 32, 1u);
  for (uint32_t n = 0; n < 8; ++n) {
    const MmioAccess* p = &w[9 + 4 * n];
    const uint32_t base = kBlockBase[n];
    EXPECT_EQ(p[0].offset, base + hw::dma::kAddrHigh);
    EXPECT_EQ(p[0].value, 1u);
    EXPECT_EQ(p[1].offset, base + hw::dma::kAddrLow);
    EXPECT_EQ(p[1].value, static_cast<uint32_t>(phys + n * 0x5E000ull));
    EXPECT_EQ(p[2].offset, base + hw::dma::kBufLength);
    EXPECT_EQ(p[2].value, 0x5E000u);
    EXPECT_EQ(p[3].offset, base + hw::dma::kBlockLength);
    EXPECT_EQ(p[3].value, 0xBC00u);
  }
  EXPECT_LT(static_cast<uint32_t>(phys + 7 * 0x5E000ull), static_cast<uint32_t>(phys)) << "no wrap exercised";
  // Interrupt enables, then the I2C modes.
  const uint32_t enables[5] = {0xC004, 0xC008, 0xC00C, 0xC010, 0xC014};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(w[41 + i].offset, enables[i]);
    EXPECT_EQ(w[41 + i].value, 1u);
  }
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(w[46 + k].offset, hw::i2c::kMasterBase[k] + hw::i2c::kMode);
    EXPECT_EQ(w[46 + k].value, 0x12u);
  }
  // No channel runs after start.
  for (int n = 0; n < 8; ++n) EXPECT_EQ(findWrite(w, kBlockBase[n], 1), -1);
  EXPECT_TRUE(c.card.errors().empty());
  host::dma::setBusBase(0x80000000ull);
}

TEST_F(DriverTest, StopAndRemoveReleaseEverythingAndUnInitTwiceIsHarmless) {
  TracedCard& c = plug();
  ASSERT_EQ(pnp.start(c.card), STATUS_SUCCESS);
  EXPECT_GT(host::pool::outstandingBlocks(), 0u);
  ASSERT_EQ(pnp.stop(c.card), STATUS_SUCCESS);
  Device* d = device(c);
  d->unInit();  // a second teardown finds nothing to release
  EXPECT_EQ(host::mmio::liveMappings(), 0u);
  EXPECT_EQ(host::irq::connectedCount(), 0u);
  EXPECT_EQ(host::dma::liveAdapters(), 0u);
  EXPECT_EQ(host::dma::liveCommonBuffers(), 0u);
  host::Leftovers left;
  ASSERT_EQ(pnp.remove(c.card, &left), STATUS_SUCCESS);
  EXPECT_TRUE(left.clean());
  EXPECT_EQ(host::pool::outstandingBlocks(), 0u) << host::pool::report();
  cards.clear();
}

TEST_F(DriverTest, RestartReinitialisesFromScratch) {
  TracedCard& c = plug();
  ASSERT_EQ(pnp.start(c.card), STATUS_SUCCESS);
  ASSERT_EQ(pnp.stop(c.card), STATUS_SUCCESS);
  ASSERT_EQ(pnp.start(c.card), STATUS_SUCCESS);
  EXPECT_EQ(host::dma::liveCommonBuffers(), 1u);
  EXPECT_EQ(host::irq::connectedCount(), 1u);
  EXPECT_EQ(host::pool::outstanding()[kTagRing].blocks, 8u);
}

// Every allocation the start makes fails in turn: the start reports the documented status and a stop and
// remove leave nothing behind.
TEST_F(DriverTest, AllocationFailureSweepLeavesNothingBehind) {
  bool completed = false;
  for (uint64_t nth = 1; nth < 400 && !completed; ++nth) {
    TracedCard& c = plug();
    const uint64_t before = host::pool::injectedFailures();
    host::pool::failNth(nth);
    const NTSTATUS status = pnp.start(c.card);
    host::pool::clearFaults();
    const bool injected = host::pool::injectedFailures() > before;
    if (!injected) {
      EXPECT_EQ(status, STATUS_SUCCESS);
      completed = true;
    } else if (status != STATUS_SUCCESS) {
      EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_NO_MEMORY ||
                  status == STATUS_MEMORY_NOT_ALLOCATED || status == STATUS_ADAPTER_HARDWARE_ERROR)
          << std::hex << status << " at allocation " << nth;
      EXPECT_EQ(host::mmio::liveMappings(), 0u) << nth;
      EXPECT_EQ(host::irq::connectedCount(), 0u) << nth;
      EXPECT_EQ(host::dma::liveAdapters(), 0u) << nth;
    }
    host::Leftovers left;
    ASSERT_EQ(pnp.remove(c.card, &left), STATUS_SUCCESS);
    EXPECT_TRUE(left.clean()) << nth;
    EXPECT_EQ(host::pool::outstandingBlocks(), 0u) << nth << "\n" << host::pool::report();
    cards.clear();
  }
  EXPECT_TRUE(completed);
}

TEST_F(DriverTest, DeviceAllocationFailureAtAdd) {
  auto c = std::make_unique<TracedCard>();
  host::pool::failTag(kTagDevice);
  EXPECT_EQ(pnp.addCard(c->card), STATUS_INSUFFICIENT_RESOURCES);
  host::pool::clearFaults();
}

TEST_F(DriverTest, PortFirstPutsMemoryInEntryOneAndRegistersStayOnEntryZero) {
  TracedCard& c = plug();
  host::ResourceList list = host::ResourceList().port(0x3000, 0x100).memory(c.card.barAddress(0), 0x10000);
  list.interrupt(c.card.interruptVector(), host::kDeviceIrql);
  EXPECT_EQ(pnp.start(c.card, list), STATUS_SUCCESS);
  Device* d = device(c);
  EXPECT_TRUE(d->_bar[0].is_port);
  EXPECT_FALSE(d->_bar[1].is_port);
  EXPECT_NE(d->_bar[1].p_mapped, nullptr);
  // Register 0 of the window is the port: nothing reaches the card's memory window.
  EXPECT_TRUE(c.writes().empty());
  EXPECT_NE(host::trace::text().find("BAR1  Memory"), std::string::npos);
}

TEST_F(DriverTest, UnsupportedResourceTypesAreTracedAndIgnored) {
  TracedCard& c = plug();
  host::ResourceList list = host::ResourceList()
                                .memory(c.card.barAddress(0), 0x10000)
                                .dma(3)
                                .busNumber(1)
                                .interrupt(c.card.interruptVector(), host::kDeviceIrql);
  EXPECT_EQ(pnp.start(c.card, list), STATUS_SUCCESS);
  const std::string t = host::trace::text();
  EXPECT_NE(t.find("Unsupported resource type 4"), std::string::npos);
  EXPECT_NE(t.find("Unsupported resource type 6"), std::string::npos);
}

TEST_F(DriverTest, MoreThanSevenWindowsAreCutAtSeven) {
  TracedCard& c = plug();
  host::ResourceList list;
  for (int i = 0; i < 10; ++i) list.memory(c.card.barAddress(0), 0x10000);
  list.interrupt(c.card.interruptVector(), host::kDeviceIrql);
  EXPECT_EQ(pnp.start(c.card, list), STATUS_SUCCESS);
  EXPECT_EQ(device(c)->_resource_count, 7u);
  EXPECT_EQ(host::mmio::liveMappings(), 7u);
  ASSERT_EQ(pnp.stop(c.card), STATUS_SUCCESS);
  EXPECT_EQ(host::mmio::liveMappings(), 0u);
}

TEST_F(DriverTest, NoInterruptStillStartsWithEventsAndLocksReady) {
  TracedCard& c = plug();
  host::ResourceList list = host::ResourceList().memory(c.card.barAddress(0), 0x10000);
  EXPECT_EQ(pnp.start(c.card, list), STATUS_SUCCESS);
  EXPECT_NE(host::trace::text().find("No interrupt requested."), std::string::npos);
  EXPECT_EQ(host::irq::connectedCount(), 0u);
  // Without completion interrupts a transfer waits out its time-out on an armed event, then takes the
  // master's status: the EEPROM is read, only slowly, and an absent slave still fails.
  UCHAR b = 0;
  c.card.eeprom().setContents(0, std::vector<uint8_t>{0x5A}.data(), 1);
  EXPECT_TRUE(device(c)->i2cReadRegister(0x7000, 0xA0, 0, &b, 1));
  EXPECT_EQ(b, 0x5A);
  EXPECT_FALSE(device(c)->i2cReadRegister(0x7000, 0xB0, 0, &b, 1));
}

TEST_F(DriverTest, NoResourcesOrAnUnmappableWindowFailTheStart) {
  TracedCard& c = plug();
  host::ResourceList none = host::ResourceList::none();
  EXPECT_EQ(pnp.start(c.card, none), STATUS_INSUFFICIENT_RESOURCES);
  std::string t = host::trace::text();
  EXPECT_NE(t.find("ERROR! No allocated translated resources"), std::string::npos);
  EXPECT_NE(t.find("ERROR! No memory (BARs) allocated to hardware!"), std::string::npos);
  host::ResourceList empty = host::ResourceList::empty();
  EXPECT_EQ(pnp.start(c.card, empty), STATUS_INSUFFICIENT_RESOURCES);

  host::trace::clear();
  host::mmio::failNextMap();
  EXPECT_EQ(pnp.start(c.card), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_NE(host::trace::text().find("ERROR! MmMapIoSpace failed!"), std::string::npos);
  EXPECT_EQ(host::mmio::liveMappings(), 0u);
  EXPECT_EQ(host::irq::connectedCount(), 0u);
  EXPECT_EQ(host::dma::liveAdapters(), 0u);
}

TEST_F(DriverTest, AdapterAndCommonBufferFailures) {
  TracedCard& c = plug();
  host::dma::failNextAdapter();
  EXPECT_EQ(pnp.start(c.card), STATUS_ADAPTER_HARDWARE_ERROR);
  EXPECT_EQ(host::dma::liveAdapters(), 0u);
  EXPECT_EQ(host::irq::connectedCount(), 0u);
  host::dma::failNextCommonBuffer();
  EXPECT_EQ(pnp.start(c.card), STATUS_MEMORY_NOT_ALLOCATED);
  EXPECT_EQ(host::dma::liveAdapters(), 0u);
  EXPECT_EQ(host::dma::liveCommonBuffers(), 0u);
  EXPECT_EQ(host::mmio::liveMappings(), 0u);
}

TEST_F(DriverTest, PowerRequests) {
  TracedCard& c = plug();
  ASSERT_EQ(pnp.start(c.card), STATUS_SUCCESS);
  EXPECT_EQ(pnp.queryPower(c.card, PowerDeviceD1), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(pnp.queryPower(c.card, PowerDeviceD2), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(pnp.queryPower(c.card, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(pnp.queryPower(c.card, PowerDeviceD3), STATUS_SUCCESS);

  Device* d = device(c);
  c.clearTraces();
  pnp.setPower(c.card, PowerDeviceD3);
  EXPECT_TRUE(c.accessesBesidesIsr().empty()) << "D3 touches no register";
  EXPECT_EQ(d->_power_state, static_cast<ULONG>(PowerDeviceD3));

  memset(d->_p_dma_buffer, 0xAB, d->_dma_buffer_size);
  pnp.setPower(c.card, PowerDeviceD0);
  EXPECT_EQ(d->_power_state, static_cast<ULONG>(PowerDeviceD0));
  const UCHAR* buf = static_cast<const UCHAR*>(d->_p_dma_buffer);
  EXPECT_TRUE(std::all_of(buf, buf + d->_dma_buffer_size, [](UCHAR b) { return b == 0; }));
  const auto w = c.writes();
  for (uint32_t n = 0; n < 8; ++n) {
    EXPECT_NE(findWrite(w, kBlockBase[n] + hw::dma::kAddrLow, d->_dma_buffer_phys.LowPart + n * 0x5E000), -1);
    EXPECT_NE(findWrite(w, kBlockBase[n] + hw::dma::kBlockLength, 0xBC00), -1);
  }
  for (uint32_t off : {0xC004u, 0xC008u, 0xC00Cu, 0xC010u, 0xC014u}) EXPECT_NE(findWrite(w, off, 1), -1);

  host::trace::clear();
  pnp.setPower(c.card, PowerDeviceD2);
  EXPECT_NE(host::trace::text().find("Device::dispatchSetPower unsupported device state requested"),
            std::string::npos);
}

// The break flag breaks after an error only into an attached kernel debugger: without one a breakpoint is a
// bugcheck (the fixture fails on the emulation's report of it).
TEST_F(DriverTest, BreakOnErrorBreaksOnlyWithAKernelDebugger) {
  TracedCard& c = plug();
  ASSERT_EQ(pnp.start(c.card), STATUS_SUCCESS);
  ZadivoBreakOnError = 1;
  const uint64_t breaks = host::trace::breakCount();
  pnp.setPower(c.card, PowerDeviceD2);  // an error message
  EXPECT_EQ(host::trace::breakCount(), breaks);
  host::trace::attachDebugger(true);
  pnp.setPower(c.card, PowerDeviceD1);
  host::trace::attachDebugger(false);
  ZadivoBreakOnError = 0;
  EXPECT_EQ(host::trace::breakCount(), breaks + 1);
}

// No interface is exported: once started the query goes down the stack instead of succeeding empty-handed.
TEST_F(DriverTest, QueryInterfaceBeforeAndAfterStart) {
  TracedCard& c = plug();
  EXPECT_EQ(pnp.queryInterface(c.card), STATUS_DEVICE_NOT_READY);
  ASSERT_EQ(pnp.start(c.card), STATUS_SUCCESS);
  EXPECT_EQ(pnp.queryInterface(c.card), STATUS_NOT_SUPPORTED);
  ASSERT_EQ(pnp.stop(c.card), STATUS_SUCCESS);
  EXPECT_EQ(pnp.queryInterface(c.card), STATUS_NOT_SUPPORTED);
}

TEST_F(DriverTest, TwoCardsGetDistinctBoardIds) {
  sim::CardConfig a, b;
  a.busNumber = 3;
  a.slot = 1;
  a.uiNumber = 7;
  b.busNumber = 4;
  b.slot = 2;
  b.uiNumber = 9;
  b.bar0Address = 0xF6000000;
  b.interruptVector = 17;
  TracedCard& ca = plug(a);
  TracedCard& cb = plug(b);
  ASSERT_EQ(pnp.start(ca.card), STATUS_SUCCESS);
  ASSERT_EQ(pnp.start(cb.card), STATUS_SUCCESS);
  EXPECT_EQ(device(ca)->_board_id, (3u << 16) | 7u);
  EXPECT_EQ(device(cb)->_board_id, (4u << 16) | 9u);
}

TEST_F(DriverTest, BoardIdFallsBackToDeviceNumberThenToBusOnly) {
  sim::CardConfig cfg;
  cfg.busNumber = 2;
  cfg.slot = 5;
  TracedCard& c = plug(cfg);
  pnp.failProperty(c.card, DevicePropertyUINumber, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Device::getBoardId(pnp.pdo(c.card)), (2u << 16) | 5u);
  pnp.failProperty(c.card, DevicePropertyAddress, STATUS_UNSUCCESSFUL);
  host::trace::clear();
  EXPECT_EQ(Device::getBoardId(pnp.pdo(c.card)), 2u << 16);
  EXPECT_NE(host::trace::text().find("getBoardId: Error! Failed to get slot number"), std::string::npos);
}

TEST_F(DriverTest, TraceLevelZeroHidesStartTracesButNotBoardIdErrors) {
  TracedCard& c = plug();
  pnp.failProperty(c.card, DevicePropertyBusNumber, STATUS_UNSUCCESSFUL);
  ZadivoTraceLevel = 0;
  host::trace::clear();
  ASSERT_EQ(pnp.start(c.card), STATUS_SUCCESS);
  const std::string t = host::trace::text();
  EXPECT_EQ(t.find("enter InitializeHW"), std::string::npos);
  EXPECT_EQ(t.find("calling IoGetDmaAdapter()"), std::string::npos);
  EXPECT_NE(t.find("getBoardId: Error! Failed to get the bus number!"), std::string::npos);
  EXPECT_NE(t.find("Entering Device::init"), std::string::npos) << "entry/exit print at level 0";
  ZadivoTraceLevel = 1;
}

TEST_F(DriverTest, StartTraceShowsPciConfigurationAndPosition) {
  sim::CardConfig cfg;
  cfg.busNumber = 6;
  cfg.slot = 3;
  TracedCard& c = plug(cfg);
  ASSERT_EQ(pnp.start(c.card), STATUS_SUCCESS);
  const std::string t = host::trace::text();
  char row0[64];
  snprintf(row0, sizeof row0, "PCICfgRegs 00: %x", (unsigned)sim::kVendorId | (unsigned)sim::kDeviceId << 16);
  EXPECT_NE(t.find(row0), std::string::npos) << t;
  EXPECT_NE(t.find("BusNum=6"), std::string::npos);
  EXPECT_NE(t.find("Dev=3  Func=0"), std::string::npos);
  EXPECT_NE(t.find("durivoza: exit InitializeHW (0)"), std::string::npos);
}

TEST_F(DriverTest, PendingConfigReadIsAwaited) {
  TracedCard& c = plug();
  pnp.setConfigPending(c.card, true);
  ASSERT_EQ(pnp.start(c.card), STATUS_SUCCESS);
  EXPECT_EQ(device(c)->_pci_config[0], static_cast<UCHAR>(sim::kVendorId & 0xFF));
  EXPECT_EQ(host::liveIrps(), 0u);
}

}  // namespace
}  // namespace zadivo_test
