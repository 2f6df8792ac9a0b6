// Extended-set members whose effect is checked inside the driver's objects (the selected PLP, each tuner's
// type): on the linked driver only.
#include "tests/capture/extended_fixture.h"
#include "zadivo/bdatuner.h"
#include "zadivo/tuner_demod_objects.h"

using namespace extended_test;

namespace {

TEST_P(EitherLayout, SetPlpSelectsItForTheNextCommit) {
  Graph& g = graph(1);
  uint8_t plp[4] = {3};
  EXPECT_EQ(ext(*g.antenna, kPlp, true, nullptr, 0, plp, sizeof plp).status, STATUS_SUCCESS);
  auto* object = static_cast<CTunerDemodChannel*>(device()->tuner(0)->tunerDemod());
  EXPECT_EQ(object->plpId(), 3u);
  EXPECT_TRUE(object->plpPending());
  // The PLP list of an unlocked channel: a whole 260-byte reply.
  std::vector<uint8_t> reply(260, 0xAA);
  auto r = ext(*g.antenna, kPlp, false, nullptr, 0, reply.data(), reply.size());
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 260u);
}

TEST_P(EitherLayout, DemodModeStoresTheByteAsWrittenAndRunsBytesOfNoFamilyAsTypeOne) {
  Graph& g = graph(1);
  uint8_t data[8] = {0xFF, 0xFF};
  auto r = ext(*g.antenna, kDemodMode, false, nullptr, 0, data, sizeof data);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 8u);
  EXPECT_EQ(data[0], 1);
  Device* device = static_cast<Device*>(machine->pnp().ksDevice(machine->card(0))->Context);
  for (uint8_t written : {4, 2, 0xFF}) {
    uint8_t v[8] = {written};
    EXPECT_EQ(ext(*g.antenna, kDemodMode, true, nullptr, 0, v, sizeof v).status, STATUS_SUCCESS);
    EXPECT_EQ(machine->card(0).eeprom().contents()[0x94], written);
    uint8_t back[8] = {};
    EXPECT_EQ(ext(*g.antenna, kDemodMode, false, nullptr, 0, back, sizeof back).status, STATUS_SUCCESS);
    EXPECT_EQ(back[0], written);
    const ULONG runs = written == 4 ? 4 : 1;
    for (ULONG i = 0; i < 8; ++i) EXPECT_EQ(device->tuner(i)->tunerType(), runs) << int(written);
  }
  EXPECT_EQ(ext(*g.antenna, kAccess, true, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
}

// Instantiated in both layouts with the rest of the suite, by extended_set_test.cpp.

}  // namespace
