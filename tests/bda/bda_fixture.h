// A machine with the driver loaded and cards started, seen from the application side: registered tuner and
// capture filters by channel, graphs, node properties through the pins, change-protocol methods.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/bda.h"
#include "platform/host/client/client.h"
#include "platform/host/host.h"
#include "tools/machine.h"
#include "trace/trace.h"
#include "zadivo/device.h"
#include "zadivo/filter_descriptors.h"
#include "zadivo/instance_table.h"

namespace bda_test {

using host::client::FilterInfo;
using host::client::Graph;

// Channel (1..8) of a registration by its reference GUID; 0 when it is none of ours.
inline ULONG channelOf(const FilterInfo& info, const GUID (&references)[kInstanceCount]) {
  for (ULONG i = 0; i < kInstanceCount; ++i)
    if (IsEqualGUID(info.reference, references[i])) return i + 1;
  return 0;
}

// A machine running the driver linked into the test, or in a test binary built with ZADIVO_TEST_IMAGE that
// image of it (such a binary links no driver code and uses only the public interface).
inline zadivo::MachineConfig machineConfig() {
  zadivo::MachineConfig cfg;
#ifdef ZADIVO_TEST_IMAGE
  cfg.driverImage = ZADIVO_TEST_IMAGE;
#endif
  return cfg;
}

class BdaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::setAssertHandler([](const char* report) { ADD_FAILURE() << report; });
    host::trace::capture();
    host::trace::clear();
  }
  void TearDown() override {
    graphs.clear();
    filters.clear();
    for (int i = 0; machine && i < machine->cardCount(); ++i) {
      host::Leftovers left;
      EXPECT_EQ(machine->remove(i, &left), STATUS_SUCCESS);
      EXPECT_TRUE(left.clean());
    }
    machine.reset();
    EXPECT_EQ(host::pool::outstandingBlocks(), 0u) << host::pool::report();
    host::setAssertHandler({});
  }

  // Cards with the EEPROM's tuner-type byte set before start (negative: leave the EEPROM as it is).
  void start(int cards = 1, int tunerTypeByte = 1) {
    host::setAssertHandler([](const char* report) { ADD_FAILURE() << report; });
    zadivo::MachineConfig cfg = machineConfig();
    cfg.cards = cards;
    machine = std::make_unique<zadivo::Machine>(cfg);
    ASSERT_EQ(machine->driverError(), "");
    if (tunerTypeByte >= 0) {
      uint8_t b = static_cast<uint8_t>(tunerTypeByte);
      for (int i = 0; i < cards; ++i) machine->card(i).eeprom().setContents(0x94, &b, 1);
    }
    ASSERT_EQ(machine->startAll(), STATUS_SUCCESS);
  }
  Device* device(int card = 0) {
    return static_cast<Device*>(machine->pnp().ksDevice(machine->card(card))->Context);
  }
  PDRIVER_OBJECT machineId() { return machine->pnp().driverObject(); }
  std::vector<FilterInfo> tuners() {
    return host::client::enumerate(KSCATEGORY_BDA_NETWORK_TUNER, machineId());
  }
  std::vector<FilterInfo> captures() {
    return host::client::enumerate(KSCATEGORY_BDA_RECEIVER_COMPONENT, machineId());
  }
  // The openable tuner registration of a channel on a card (the newest one after a type change).
  FilterInfo tunerInfo(ULONG channel, int card = 0) {
    FilterInfo found;
    for (auto& t : tuners())
      if (t.openable && t.device == machine->pnp().ksDevice(machine->card(card)) &&
          channelOf(t, kTunerReference) == channel)
        found = t;
    EXPECT_NE(found.id, 0u) << "no tuner filter for channel " << channel;
    return found;
  }
  host::client::Filter* openTuner(ULONG channel, int card = 0) {
    std::unique_ptr<host::client::Filter> f;
    EXPECT_EQ(host::client::Filter::open(tunerInfo(channel, card), f), STATUS_SUCCESS);
    filters.push_back(std::move(f));
    return filters.back().get();
  }
  Graph& graph(ULONG channel, int card = 0) {
    graphs.push_back(std::make_unique<Graph>());
    EXPECT_EQ(host::client::buildGraph(tunerInfo(channel, card), *graphs.back()), STATUS_SUCCESS);
    return *graphs.back();
  }

  static NTSTATUS method(host::client::Handle& h, const GUID& set, ULONG id) {
    return h.callMethod(set, id, nullptr, 0).status;
  }
  static NTSTATUS startChanges(host::client::Handle& f) {
    return method(f, KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_START_CHANGES);
  }
  static NTSTATUS commitChanges(host::client::Handle& f) {
    return method(f, KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_COMMIT_CHANGES);
  }
  static ULONG changeState(host::client::Handle& f) {
    ULONG state = 7;
    EXPECT_EQ(f.callMethod(KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_GET_CHANGE_STATE, &state, 4).status,
              STATUS_SUCCESS);
    return state;
  }
  static NTSTATUS put(host::client::Handle& pin, ULONG node, const GUID& set, ULONG id, ULONG value) {
    return pin.setNodeProperty(node, set, id, &value, sizeof(value)).status;
  }
  static NTSTATUS get(host::client::Handle& pin, ULONG node, const GUID& set, ULONG id, ULONG& value) {
    return pin.getNodeProperty(node, set, id, &value, sizeof(value)).status;
  }
  static ULONG getValue(host::client::Handle& pin, ULONG node, const GUID& set, ULONG id) {
    ULONG v = 0xDEADBEEF;
    EXPECT_EQ(get(pin, node, set, id, v), STATUS_SUCCESS);
    return v;
  }
  static size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size())) ++n;
    return n;
  }

  std::unique_ptr<zadivo::Machine> machine;
  std::vector<std::unique_ptr<host::client::Filter>> filters;
  std::vector<std::unique_ptr<Graph>> graphs;
};

}  // namespace bda_test
