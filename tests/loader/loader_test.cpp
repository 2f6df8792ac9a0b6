// The image loader on a small image built for it (probe.cpp): relocation at a base other than the preferred
// one, imports bound to the host with stack arguments crossing the kernel stack, the import address table
// read-only wherever it sits, every register-window form and CR8 in both directions emulated, and what it
// refuses stopping the process with the bug check's words.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/kstack.h"
#include "platform/host/loader/image.h"
#include "platform/host/loader/pe.h"
#include "platform/host/loader/trap.h"
#include "tests/host/machine.h"

namespace {

using host::loader::Image;
constexpr uint64_t kBar = 0xF6000000;

class Loader : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    image = Image::load(ZADIVO_PROBE_IMAGE, &error);
    ASSERT_TRUE(image) << error;
    host::trace::clear();
  }
  template <class F>
  F fn(const char* name) {
    void* p = image->symbol(name);
    EXPECT_NE(p, nullptr) << name;
    return reinterpret_cast<F>(p);
  }
  std::unique_ptr<Image> image;
};

// A card's register window, mapped as a driver maps it (inaccessible: every access traps).
class Window : public Loader {
 protected:
  void SetUp() override {
    Loader::SetUp();
    ASSERT_EQ(machine.pnp.addCard(card), STATUS_SUCCESS);
    PHYSICAL_ADDRESS at;
    at.QuadPart = kBar;
    regs = static_cast<volatile ULONG*>(MmMapIoSpace(at, 0x1000, MmNonCached));
    ASSERT_NE(regs, nullptr);
  }
  void TearDown() override {
    MmUnmapIoSpace(const_cast<ULONG*>(regs), 0x1000);
    EXPECT_EQ(machine.pnp.remove(card), STATUS_SUCCESS);
  }
  hosttest::BareMachine machine;
  hosttest::FakeCard card{7, 0, 40, kBar};
  volatile ULONG* regs = nullptr;
};

using Access = ULONG(NTAPI*)(volatile ULONG* window, ULONG64 index, ULONG value);

TEST_F(Loader, MapsAtAnotherBaseThanThePreferredOneWithItsRelocationsApplied) {
  EXPECT_NE(image->base(), image->preferredBase());
  EXPECT_GT(image->relocations(), 0u);
  auto* global = static_cast<unsigned*>(image->symbol("probeGlobal"));
  auto* address = static_cast<unsigned**>(image->symbol("probeGlobalAddress"));
  ASSERT_NE(global, nullptr);
  ASSERT_NE(address, nullptr);
  EXPECT_EQ(*address, global);
  EXPECT_EQ(**address, 7u);
  EXPECT_EQ(image->delta(), static_cast<int64_t>(image->base() - image->preferredBase()));
}

TEST_F(Loader, ImportsReachTheHostWithTheirStackArgumentsFromTheKernelStack) {
  ASSERT_EQ(image->imports().size(), 1u);
  EXPECT_EQ(image->imports()[0].name, "DbgPrint");
  auto print = fn<ULONG(NTAPI*)()>("probePrint");
  EXPECT_EQ(host::kstack::call(print), 0u);
  EXPECT_NE(host::trace::text().find("probe 1 2 3 4 5 6 7 8 9 ten\n"), std::string::npos)
      << host::trace::text();
}

// A copy of the probe whose import directory lies in a section of its own, appended: its import address table
// stays in .idata, where only the IAT's own directory finds it. Returns the copy's path, "" when it failed.
std::string probeWithImportDirectoryApart() {
  namespace pe = host::loader::pe;
  std::ifstream in(ZADIVO_PROBE_IMAGE, std::ios::binary);
  std::vector<uint8_t> f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto at = [&](size_t offset, auto* v) { memcpy(v, f.data() + offset, sizeof *v); };
  auto put = [&](size_t offset, const auto& v) { memcpy(f.data() + offset, &v, sizeof v); };
  pe::DosHeader dos;
  at(0, &dos);
  const size_t fileAt = dos.peOffset + 4, optionalAt = fileAt + sizeof(pe::FileHeader);
  pe::FileHeader file;
  pe::OptionalHeader64 opt;
  at(fileAt, &file);
  at(optionalAt, &opt);
  const size_t sectionsAt = optionalAt + file.optionalSize;
  if (sectionsAt + (file.sectionCount + 1) * sizeof(pe::SectionHeader) > opt.headerSize) return "";
  auto align = [](uint32_t n, uint32_t to) { return (n + to - 1) / to * to; };
  const pe::DataDirectory imports = opt.directories[pe::kDirImport];
  pe::SectionHeader apart{};
  memcpy(apart.name, ".idir", 5);
  for (int i = 0; i < file.sectionCount; ++i) {
    pe::SectionHeader s;
    at(sectionsAt + i * sizeof s, &s);
    if (imports.rva >= s.rva && imports.rva < s.rva + s.virtualSize)
      apart.rawOffset = s.rawOffset + imports.rva - s.rva;
    apart.rva = std::max(apart.rva, align(s.rva + s.virtualSize, opt.sectionAlignment));
  }
  const std::vector<uint8_t> directory(f.begin() + apart.rawOffset,
                                       f.begin() + apart.rawOffset + imports.size);
  apart.virtualSize = imports.size;
  apart.rawSize = align(imports.size, opt.fileAlignment);
  apart.rawOffset = align(static_cast<uint32_t>(f.size()), opt.fileAlignment);
  apart.flags = 0x40 | pe::kScnRead;  // initialised data, read-only
  f.resize(apart.rawOffset + apart.rawSize, 0);
  memcpy(f.data() + apart.rawOffset, directory.data(), directory.size());
  put(sectionsAt + file.sectionCount * sizeof apart, apart);
  ++file.sectionCount;
  opt.directories[pe::kDirImport].rva = apart.rva;
  opt.imageSize = align(apart.rva + apart.virtualSize, opt.sectionAlignment);
  put(fileAt, file);
  put(optionalAt, opt);
  const std::string path = ::testing::TempDir() + "/probe-apart-" + std::to_string(getpid()) + ".sys";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(f.data()), f.size());
  return path;
}

// The slots of the import address table, bound and read-only as on Windows, whichever section holds them.
class ImportAddressTable : public ::testing::TestWithParam<bool> {};

TEST_P(ImportAddressTable, IsBoundAndReadOnlyWhereverItSits) {
  const bool apart = GetParam();
  const std::string path = apart ? probeWithImportDirectoryApart() : ZADIVO_PROBE_IMAGE;
  ASSERT_FALSE(path.empty()) << "no room for another section header";
  std::string error;
  std::unique_ptr<Image> image = Image::load(path, &error);
  if (apart) unlink(path.c_str());
  ASSERT_TRUE(image) << error;
  const auto* opt = reinterpret_cast<const host::loader::pe::OptionalHeader64*>(
      image->base() + reinterpret_cast<const host::loader::pe::DosHeader*>(image->base())->peOffset + 4 +
      sizeof(host::loader::pe::FileHeader));
  const auto iat = opt->directories[host::loader::pe::kDirIat];
  const auto imports = opt->directories[host::loader::pe::kDirImport];
  // Apart, the two directories are more than a page from each other: not in one section.
  EXPECT_EQ(imports.rva > iat.rva + 4096, apart);
  host::trace::clear();
  EXPECT_EQ(host::kstack::call(reinterpret_cast<ULONG(NTAPI*)()>(image->symbol("probePrint"))), 0u);
  EXPECT_NE(host::trace::text().find("probe 1 2 3"), std::string::npos) << host::trace::text();
  auto* slot = reinterpret_cast<volatile uint64_t*>(image->base() + iat.rva);
  EXPECT_DEATH(*slot = 0, "");
}

INSTANTIATE_TEST_SUITE_P(Placement, ImportAddressTable, ::testing::Bool(), [](const auto& info) {
  return info.param ? "ApartFromTheImportDirectory" : "AsLinked";
});

TEST_F(Loader, AFileThatIsNoImageIsRefusedWithTheReason) {
  std::string error;
  EXPECT_EQ(Image::load("/nonexistent/zadivo.sys", &error), nullptr);
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
  error.clear();
  EXPECT_EQ(Image::load(ZADIVO_LOADER_TEST_SOURCE, &error), nullptr);
  EXPECT_NE(error.find("no MZ header"), std::string::npos) << error;
}

TEST_F(Loader, Cr8ReadsAndWritesTheThreadsIrql) {
  auto read = fn<ULONG64(NTAPI*)()>("probeCr8Read");
  auto write = fn<void(NTAPI*)(ULONG64)>("probeCr8Write");
  const auto before = host::loader::trap::counts();
  EXPECT_EQ(host::kstack::call(read), ULONG64(PASSIVE_LEVEL));
  host::kstack::call(write, ULONG64(DISPATCH_LEVEL));
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_EQ(host::kstack::call(read), ULONG64(DISPATCH_LEVEL));
  host::kstack::call(write, ULONG64(PASSIVE_LEVEL));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  const auto after = host::loader::trap::counts();
  EXPECT_EQ(after.cr8Reads - before.cr8Reads, 2u);
  EXPECT_EQ(after.cr8Writes - before.cr8Writes, 2u);
}

struct Form {
  const char* symbol;
  bool load;
  ULONG64 index;
  ULONG offset;  // of the register the form reaches, from the window pointer passed (register 4)
  ULONG value;   // written (stores) or preset and returned (loads)
};

class Forms : public Window, public ::testing::WithParamInterface<Form> {};

TEST_P(Forms, AreEmulatedOnTheRegisterTheyAddress) {
  const Form& f = GetParam();
  auto access = fn<Access>(f.symbol);
  volatile ULONG* window = regs + 1;  // register 0 is the card's write-1-to-clear status
  const auto before = host::loader::trap::counts();
  if (f.load) {
    WRITE_REGISTER_ULONG(window + f.offset / 4, f.value);
    // A 32-bit destination clears the register's upper half, whatever it held.
    EXPECT_EQ(host::kstack::call(access, window, f.index, 0u), f.value);
    EXPECT_EQ(host::loader::trap::counts().registerReads - before.registerReads, 1u);
  } else {
    host::kstack::call(access, window, f.index, f.value);
    EXPECT_EQ(card.reg(4 + f.offset), f.value);
    EXPECT_EQ(host::loader::trap::counts().registerWrites - before.registerWrites, 1u);
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Image, Forms, ::testing::Values(
    Form{"probeLoad",          true,  0, 0x000, 0xA5A5A5A5},
    Form{"probeLoadDisp8",     true,  0, 0x010, 0x01020304},
    Form{"probeLoadDisp32",    true,  0, 0x100, 0xFFFFFFFF},
    Form{"probeLoadIndexed",   true,  5, 0x014, 0x00C0FFEE},
    Form{"probeLoadRex",       true,  0, 0x008, 0x80000001},
    Form{"probeLoadKeepsFlags",true, 0, 0x000, 0x13572468},  // returns 0 if the flags did not survive
    Form{"probeStore",         false, 0, 0x000, 0x5A5A5A5A},
    Form{"probeStoreIndexed",  false, 3, 0x04C, 0x00000042},
    Form{"probeStoreImm",      false, 0, 0x000, 0x12345678},
    Form{"probeStoreImmRex",   false, 0, 0x020, 0x0BADF00D}),
    [](const auto& info) { return std::string(info.param.symbol); });
// clang-format on

using Stops = Window;

TEST_F(Stops, AFormNotEmulatedNamesItsAddressSymbolAndBytes) {
  auto store16 = fn<Access>("probeStore16");
  EXPECT_DEATH(
      host::kstack::call(store16, regs, 0, 1),
      "STOP 0x0000001e \\(KMODE_EXCEPTION_NOT_HANDLED\\): instruction not emulated \\(0xc0000005\\)\n"
      "\\*\\*\\*   at probe.sys\\+0x[0-9a-f]+ \\(probeStore16\\+0x0\\), bytes 66 44 89 01");
}

TEST_F(Stops, Ud2IsAnIllegalInstructionAtItsSymbol) {
  auto ud2 = fn<void(NTAPI*)()>("probeUd2");
  EXPECT_DEATH(host::kstack::call(ud2),
               "STOP 0x0000001e \\(KMODE_EXCEPTION_NOT_HANDLED\\): illegal instruction \\(0xc000001d\\)\n"
               "\\*\\*\\*   at probe.sys\\+0x[0-9a-f]+ \\(probeUd2\\+0x0\\), bytes 0f 0b");
}

TEST_F(Stops, AnAccessOutsideEveryWindowIsAPageFault) {
  auto load = fn<Access>("probeLoad");
  EXPECT_DEATH(host::kstack::call(load, reinterpret_cast<volatile ULONG*>(0x10), 0, 0),
               "STOP 0x00000050 \\(PAGE_FAULT_IN_NONPAGED_AREA\\): read of 0x10, in no register window\n"
               "\\*\\*\\*   at probe.sys\\+0x[0-9a-f]+ \\(probeLoad\\+0x0\\), bytes 8b 01");
}

TEST_F(Stops, OnlyWhatOverrunsTheKernelStackHitsItsGuardPage) {
  auto recurse = fn<int(NTAPI*)(int)>("probeRecurse");
  EXPECT_EQ(host::kstack::call(recurse, 8), 8 * 9 / 2);  // about 9 KiB
  EXPECT_DEATH(
      host::kstack::call(recurse, 40),
      "STOP 0x0000007f \\(UNEXPECTED_KERNEL_MODE_TRAP\\): kernel stack overflow \\(double fault, 0x8\\): "
      "guard page hit at 0x[0-9a-f]+, the stack is 0x6000 bytes\n"
      "\\*\\*\\*   at probe.sys\\+0x[0-9a-f]+ \\(probeRecurse\\+0x[0-9a-f]+\\)");
}

}  // namespace
