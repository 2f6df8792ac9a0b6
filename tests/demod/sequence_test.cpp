// The order of a sequence's writes across the demodulator's slaves (main, system, slave R) and the tuner,
// held whole against the order the chip's sequences prescribe: wake-up, each standard's sleep-to-active and
// active-to-sleep, and the integration tune around the tuner's window. Each slave's own writes are checked
// byte for byte elsewhere; this is about their interleaving.
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "demod/sony_demod_atsc.h"
#include "demod/sony_demod_dvbc.h"
#include "demod/sony_demod_dvbc2.h"
#include "demod/sony_demod_dvbt.h"
#include "demod/sony_demod_dvbt2.h"
#include "demod/sony_demod_isdbc.h"
#include "demod/sony_demod_isdbt.h"
#include "demod/sony_demod_j83b.h"
#include "one_path.h"

namespace {

using Order = std::vector<std::string>;

Order operator+(Order a, const Order& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// One write per entry, "<slave><bank>:<register>" with M main, S system, R slave R, T tuner and the register
// the write starts at; bank selections themselves are left out, as each write carries its bank.
Order writeOrder(const std::vector<fake::Transfer>& log, uint8_t main) {
  Order out;
  for (const fake::Transfer& t : log) {
    if (!t.write || !t.ok || t.data.empty()) continue;  // a register number alone addresses a read
    const char slave = t.slave == main                   ? 'M'
                       : t.slave == uint8_t(main + 4)    ? 'S'
                       : t.slave == uint8_t(main - 0x40) ? 'R'
                       : t.slave == 0xC0                 ? 'T'
                                                         : '?';
    if (slave != 'T' && t.reg == 0x00) continue;
    char entry[16];
    std::snprintf(entry, sizeof entry, "%c%02X:%02X", slave, slave == 'T' ? 0 : t.bank, t.reg);
    out.push_back(entry);
  }
  return out;
}

// The TS clock settings and the common wake-up and sleep steps every standard shares (serial output).
const Order kTsClock = {"M00:D3", "M00:DE", "M00:DA", "M00:C4", "M00:D1", "M00:D9",
                        "M00:32", "M00:33", "M00:32", "M10:66", "M40:66"};
const Order kWakeHead = kTsClock + Order{"S00:17", "M00:A9", "M00:2C", "M00:4B", "M00:49", "S00:18"};
const Order kWakeTail = {"M00:80", "M00:81"};
const Order kSleepHead = {"M00:C3", "M00:80", "M00:81"};
const Order kSleepTail = {"S00:18", "M00:49", "M00:4B", "M00:FE", "M00:2C", "M00:A9", "S00:17"};
// DVB-C2's settings that sleep undoes, and its preset release.
const Order kC2Common = {"M20:C2", "M25:6A", "M25:89", "M25:CB", "M25:DC", "M25:E2",
                         "M25:E5", "M27:20", "M27:35", "M27:D9", "M2A:38", "M2A:78",
                         "M2A:86", "M2A:88", "M2B:11", "M2B:2B", "M2D:24"};
const Order kC2Release = {"M27:F4", "M27:51", "M27:73", "M20:9F", "M27:C9",
                          "M20:C2", "M2A:20", "M50:6B", "M50:6F"};
// ISDB-T's settings that sleep undoes (the same registers, other values).
const Order kIsdbtCommon = {"M10:69", "M10:6B", "M10:9D", "M10:D3", "M10:ED", "M10:E2",
                            "M10:F2", "M10:DE", "M15:DE", "M17:38", "M1E:73", "M63:81"};

Order repeat(const std::string& entry, size_t n) { return Order(n, entry); }

// One line, so that a failure shows the whole of both orders.
std::string line(const Order& order) {
  std::string out;
  for (const std::string& e : order) out += e + ' ';
  return out;
}

struct Standard {
  const char* name;
  std::function<DemodResult(sony_demod_t*)> tune;  // from sleep, 8 MHz where there is a choice
  Order wake;                                      // the sleep-to-active sequence
  Order sleep;                                     // the active-to-sleep sequence
};
void PrintTo(const Standard& s, std::ostream* os) { *os << s.name; }

const Standard kStandards[] = {
    {"DvbT",
     [](sony_demod_t* d) {
       DvbtTuneParams p = {474000, 8, 0};
       return sony_demod_dvbt_Tune(d, &p);
     },
     kWakeHead +
         Order{"M11:6A", "M10:A5", "M18:31", "M00:CE", "M11:33", "M13:9C", "M10:9F", "M10:A6", "M10:B6",
               "M10:D7", "M10:D9", "M17:38"} +
         kWakeTail,
     kSleepHead + Order{"M17:38", "M18:31"} + kSleepTail},
    {"DvbT2",
     [](sony_demod_t* d) {
       DvbT2TuneParams p = {538000, 8, 0, 2};
       return sony_demod_dvbt2_Tune(d, &p);
     },
     kWakeHead +
         Order{"M11:6A", "M00:CE", "M13:83", "M13:86", "M13:9F", "M23:DB", "M11:33", "M20:9F", "M27:7A",
               "M10:A6", "M10:A5", "M10:B6", "M10:D7"} +
         kWakeTail,
     kSleepHead + Order{"M10:A5", "M13:83", "M13:86", "M13:9F"} + kSleepTail},
    {"DvbC",
     [](sony_demod_t* d) {
       DvbcTuneParams p = {346000, 8};
       return sony_demod_dvbc_Tune(d, &p);
     },
     kWakeHead +
         Order{"M11:6A", "M10:A5", "M11:33", "M48:2C", "M00:CE", "M10:A6", "M10:B6", "M11:A3", "M40:26"} +
         kWakeTail,
     kSleepHead + Order{"M11:A3", "M48:2C"} + kSleepTail},
    {"DvbC2",
     [](sony_demod_t* d) {
       DvbC2TuneParams p = {714000, 8, 0, 0, 0, 0};
       return sony_demod_dvbc2_Tune(d, &p);
     },
     kWakeHead + Order{"M11:6A", "M10:A5", "M00:CE"} + kC2Common + Order{"M11:33"} +
         Order{"M20:9F", "M27:7A", "M10:A6", "M10:B6", "M10:D7", "M50:EC", "M50:EF", "M50:F1"} + kWakeTail,
     kSleepHead + kC2Common + kC2Release + kSleepTail},
    {"J83b",
     [](sony_demod_t* d) {
       J83bTuneParams p = {555000, 50};
       return sony_demod_j83b_Tune(d, &p);
     },
     kWakeHead +
         Order{"M11:6A", "M10:A5", "M40:21", "M40:B3", "M40:1E", "M40:8E", "M41:CF", "M11:A3", "M11:33",
               "M00:CE", "M10:A6", "M10:B6", "M40:14", "M40:26"} +
         kWakeTail,
     kSleepHead +
         Order{"M11:A3", "M40:21", "M40:C3", "M40:B3", "M40:1E", "M40:8E", "M41:CF", "M40:14", "M40:26"} +
         kSleepTail},
    {"IsdbT",
     [](sony_demod_t* d) {
       IsdbtTuneParams p = {563143, 8};
       return sony_demod_isdbt_Tune(d, &p);
     },
     kWakeHead + Order{"M11:6A", "M10:A5", "M00:CE"} + kIsdbtCommon + Order{"M11:33", "M60:A8"} +
         Order{"M10:9F", "M10:A6", "M10:B6", "M10:D7", "M10:D9", "M12:71", "M15:BE"} + kWakeTail,
     kSleepHead + kIsdbtCommon + kSleepTail},
    {"IsdbC",
     [](sony_demod_t* d) {
       IsdbcTuneParams p = {375000, 0, ISDBC_STREAM_SELECT_BY_ID, 1, 0};
       return sony_demod_isdbc_Tune(d, &p);
     },
     Order{"M49:36", "M49:37", "M49:32"} + kWakeHead +
         Order{"M11:6A", "M10:A5", "M11:33", "M48:2C", "M00:CE", "M10:A6", "M10:B6", "M11:A3", "M40:14",
               "M40:1E", "M40:26"} +
         kWakeTail,
     kSleepHead + Order{"M11:A3", "M48:2C", "M40:14", "M40:1E"} + kSleepTail},
    {"Atsc",
     [](sony_demod_t* d) {
       AtscTuneParams p = {575000};
       return sony_demod_atsc_Tune(d, &p);
     },
     // The abort, then 33 mailbox commands, each one write of the command register.
     kWakeHead + Order{"R01:48"} + repeat("R01:0A", 33) + kWakeTail,
     kSleepHead + Order{"R01:48", "M00:D3", "S00:18", "M00:49", "M00:4B", "M00:2C", "M00:A9", "S00:17"}},
};

class Sequences : public OnePath, public ::testing::WithParamInterface<Standard> {
 protected:
  void SetUp() override {
    OnePath::SetUp();
    // Slave R answers every command at once, done, with its echo.
    const uint8_t r = static_cast<uint8_t>(m() - 0x40);
    rig.bus.afterWrite = [this, r](const fake::Transfer& t) {
      if (t.slave != r || t.reg != kAtscCmdRegister || t.data.size() != 6) return;
      fake::Chip* c = rig.bus.chip(t.master, r);
      c->regs[t.bank][0x0A] = 0x30;
      c->regs[t.bank][0x0F] = t.data[0];
    };
  }
  void TearDown() override { rig.bus.afterWrite = nullptr; }
};

TEST_P(Sequences, SleepToActiveAndBackInThePrescribedOrderAcrossSlaves) {
  const Standard& s = GetParam();
  ASSERT_EQ(s.tune(d()), DEMOD_OK);
  EXPECT_EQ(line(writeOrder(rig.bus.log(), m())), line(s.wake));
  clear();
  ASSERT_EQ(sony_demod_Sleep(d()), DEMOD_OK);
  EXPECT_EQ(line(writeOrder(rig.bus.log(), m())), line(s.sleep));
}

INSTANTIATE_TEST_SUITE_P(EveryStandard, Sequences, ::testing::ValuesIn(kStandards),
                         [](const auto& info) { return std::string(info.param.name); });

// Waking the chip into sleep: the system slave's steps, then (chip 0x197 only) the main slave's, then the
// tuner's bus through the system slave.
TEST(WakeUp, SystemSlaveThenMainSlaveThenTheTunerBus) {
  Rig rig;
  rig.add(1, 0x197);
  DemodPath& path = rig.path(1);
  DemodCreateParams params = {1, rig.main(1), 1, 2, 0xC0};
  ASSERT_EQ(sony_demod_Create(&path.integ.demod, &params), DEMOD_OK);
  ASSERT_EQ(sony_demod_Initialize(&path.integ.demod), DEMOD_OK);
  EXPECT_EQ(line(writeOrder(rig.bus.log(), rig.main(1))),
            "S00:02 S00:1D S00:14 S00:50 S00:10 M9C:10 S00:1A ");
}

// The integration tune around the tuner: the profile, the chip woken, the repeater opened on the system
// slave, the tuner tuned and its tune ended, the repeater closed, the tune ended on the main slave.
TEST_F(OnePath, IntegrationTuneOpensTheTunerWindowBetweenWakeUpAndTuneEnd) {
  rig.setLocked(1, true);
  clear();
  DvbtTuneParams p = {474000, 8, 0};
  ASSERT_EQ(sony_integ_dvbt_Tune(integ(), &p), DEMOD_OK);
  const Order want = Order{"M10:67"} + kStandards[0].wake +
                     Order{"S00:08", "T00:74", "T00:87", "T00:91", "T00:9C", "T00:5E", "T00:67",
                           "T00:68", "T00:88", "T00:87", "S00:08", "M00:FE", "M00:C3"};
  const Order got = writeOrder(rig.bus.log(), m());
  ASSERT_GE(got.size(), want.size());
  EXPECT_EQ(line(Order(got.begin(), got.begin() + static_cast<long>(want.size()))),
            line(want));  // then the lock wait
}

}  // namespace
