// What only the Windows image can answer for, through the public interface: every name it imports is one
// the host exports (read from the image, checked against the cross toolchain's own reading of it), stop and
// remove while channels stream, a tuner-type change taking effect on the next tune, and the register traps
// the stream costs.
#include <cstdio>
#include <regex>
#include <set>

#include "platform/host/loader/exports.h"
#include "platform/host/loader/trap.h"
#include "tests/lifetime/rig.h"

using namespace lifetime_test;
using host::loader::Image;

namespace {

constexpr ULONG kDvbtKHz = 474000, kOtherDvbtKHz = 506000;

// The names objdump lists in the image's import tables; empty when the cross objdump is absent.
std::set<std::string> objdumpImports(const std::string& image) {
  std::set<std::string> names;
  FILE* p = popen(("x86_64-w64-mingw32-objdump -p '" + image + "' 2>/dev/null").c_str(), "r");
  if (!p) return names;
  const std::regex entry(R"(^\s+[0-9a-f]+\s+([A-Za-z_][A-Za-z0-9_]*)\s*$)");
  bool inImports = false;
  char line[512];
  while (fgets(line, sizeof line, p)) {
    const std::string l(line);
    if (l.find("The Import Tables") != std::string::npos) inImports = true;
    if (l.find("The Export Tables") != std::string::npos ||
        l.find("PE File Base Relocations") != std::string::npos)
      inImports = false;
    std::smatch m;
    if (inImports && std::regex_match(l, m, entry)) names.insert(m[1]);
  }
  pclose(p);
  return names;
}

TEST(ImageImports, EveryNameTheImageImportsIsOneTheHostExports) {
  std::vector<host::loader::Import> imports;
  std::string error;
  ASSERT_TRUE(Image::readImports(ZADIVO_TEST_IMAGE, &imports, &error)) << error;
  std::set<std::string> names;
  for (const auto& i : imports) {
    names.insert(i.name);
    EXPECT_NE(host::loader::findExport(i.name.c_str()), nullptr)
        << ZADIVO_TEST_IMAGE << " imports " << i.module << "!" << i.name
        << ", which the host does not export";
  }
  // The calls the Windows headers make of the driver's, which the host once lacked.
  for (const char* inlined :
       {"KsGetParent", "KsFreeObjectCreateItemsByContext", "KeAcquireSpinLockRaiseToDpc"})
    EXPECT_TRUE(names.count(inlined)) << inlined;
  const std::set<std::string> independent = objdumpImports(ZADIVO_TEST_IMAGE);
  if (!independent.empty()) {
    EXPECT_EQ(names, independent);
  }
}

TEST_F(Rig, StopStartAndRemoveWhileChannelsStream) {
  startWithType(1);
  Graph& a = graph(1);
  Graph& b = graph(2);
  tuneAndRun(a, kDvbtKHz, 8);
  tuneAndRun(b, kOtherDvbtKHz, 8);
  capture_test::TsCheck before;
  readFrames(a, 1, before);
  readFrames(b, 1, before);
  EXPECT_EQ(before.syncLosses, 0u);

  ASSERT_EQ(machine->stop(0), STATUS_SUCCESS);
  for (int dma = 0; dma < 8; ++dma) EXPECT_FALSE(machine->card(0).dmaStats(dma).running) << dma;
  ULONG v = 0;
  EXPECT_FALSE(NT_SUCCESS(get(*a.transport, 1, kStats, KSPROPERTY_BDA_SIGNAL_LOCKED, v)));
  graphs.clear();

  ASSERT_EQ(machine->start(0), STATUS_SUCCESS);
  EXPECT_TRUE(everyChannelListedOnce());
  Graph& again = graph(1);
  tuneAndRun(again, kDvbtKHz, 8);
  capture_test::TsCheck after;
  readStreamOf(again, tsidAt(kDvbtKHz), 2, after);
  EXPECT_EQ(after.ccErrors, 0u);
  EXPECT_TRUE(after.pmtSeen);

  host::Leftovers left;
  EXPECT_EQ(machine->remove(0, &left), STATUS_SUCCESS);
  EXPECT_TRUE(left.clean());
  EXPECT_TRUE(nothingListed());
  EXPECT_TRUE(machine->card(0).errors().empty());
}

TEST_F(Rig, ATunerTypeChangeReplacesTheFiltersAndTheNewFamilyLocks) {
  startWithType(1);
  host::client::Filter* tuner = openTuner(1);
  std::unique_ptr<host::client::Pin> antenna;
  ASSERT_EQ(tuner->createPin(0, nullptr, 0, antenna), STATUS_SUCCESS);
  for (UCHAR type : {4, 8, 1}) {
    SCOPED_TRACE("tuner type " + std::to_string(type));
    ASSERT_EQ(setTunerType(*antenna, type), STATUS_SUCCESS);
    EXPECT_EQ(storedTunerType(), type);
    EXPECT_TRUE(everyChannelListedOnce());
    // The new registration of channel B tunes the new family's multiplex.
    tunesLocksAndStreams(graph(2), type, 2);
    graphs.clear();
  }
  antenna->close();
}

// Each DMA block costs the interrupt's register accesses; the traps stay a small multiple of the blocks.
TEST_F(Rig, StreamingTrapsOnlyTheRegisterAccessesOfItsInterruptsAndDpcs) {
  startWithType(1);
  Graph& g = graph(3);
  tuneAndRun(g, kDvbtKHz, 8);
  capture_test::TsCheck warmup;
  readFrames(g, 1, warmup);
  const auto before = host::loader::trap::counts();
  const uint64_t isrBefore = host::irq::isrCalls();
  capture_test::TsCheck check;
  readFrames(g, 4, check);
  const uint64_t interrupts = host::irq::isrCalls() - isrBefore;
  const auto after = host::loader::trap::counts();
  EXPECT_EQ(check.ccErrors, 0u);
  ASSERT_GT(interrupts, 0u);
  EXPECT_GT(after.registerReads, before.registerReads);
  EXPECT_LE(after.total() - before.total(), 16 * interrupts) << "traps per interrupt out of bounds";
}

}  // namespace
