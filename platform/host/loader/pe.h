// The parts of the PE32+ format the loader reads, as the file lays them out (little-endian, no padding): the
// loader copies each out of the file or the mapped image whole, so the sizes and offsets are checked here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace host::loader::pe {

inline constexpr uint16_t kDosMagic = 0x5A4D;       // "MZ"
inline constexpr uint32_t kSignature = 0x00004550;  // "PE\0\0"
inline constexpr uint16_t kMachineAmd64 = 0x8664;
inline constexpr uint16_t kOptionalMagic64 = 0x20B;  // PE32+

struct DosHeader {
  uint16_t magic;
  uint8_t unused[58];
  uint32_t peOffset;  // of the signature, which the file header follows
};

struct FileHeader {
  uint16_t machine;
  uint16_t sectionCount;
  uint32_t timeDateStamp;
  uint32_t symbolTable;  // file offset of the COFF symbol table, 0 without one
  uint32_t symbolCount;
  uint16_t optionalSize;  // the section table follows the optional header
  uint16_t characteristics;
};

struct DataDirectory {
  uint32_t rva;
  uint32_t size;
};

enum Directory { kDirImport = 1, kDirBaseReloc = 5, kDirIat = 12, kDirCount = 16 };

struct OptionalHeader64 {
  uint16_t magic;
  uint8_t linkerMajor, linkerMinor;
  uint32_t codeSize, initializedDataSize, uninitializedDataSize;
  uint32_t entryRva;
  uint32_t codeBase;
  uint64_t imageBase;
  uint32_t sectionAlignment, fileAlignment;
  uint16_t osMajor, osMinor, imageMajor, imageMinor, subsystemMajor, subsystemMinor;
  uint32_t win32Version;
  uint32_t imageSize;
  uint32_t headerSize;
  uint32_t checkSum;
  uint16_t subsystem, dllCharacteristics;
  uint64_t stackReserve, stackCommit, heapReserve, heapCommit;
  uint32_t loaderFlags;
  uint32_t directoryCount;  // the entries of directories[] the file has
  DataDirectory directories[kDirCount];
};

inline constexpr uint32_t kScnExecute = 0x20000000, kScnRead = 0x40000000, kScnWrite = 0x80000000;

struct SectionHeader {
  char name[8];  // NUL-padded, not terminated when 8 long
  uint32_t virtualSize;
  uint32_t rva;
  uint32_t rawSize;
  uint32_t rawOffset;
  uint32_t relocationsOffset, lineNumbersOffset;
  uint16_t relocationCount, lineNumberCount;
  uint32_t flags;
};

struct ImportDescriptor {
  uint32_t lookupRva;  // the import lookup table; 0: the names are read from the IAT before binding
  uint32_t timeDateStamp;
  uint32_t forwarderChain;
  uint32_t nameRva;  // of the module's name
  uint32_t iatRva;   // of its slots in the import address table
};
inline constexpr uint64_t kImportByOrdinal = uint64_t(1) << 63;
inline constexpr uint32_t kHintBytes = 2;  // before each imported name

struct RelocationBlock {
  uint32_t pageRva;
  uint32_t blockSize;  // this header included; 16-bit entries follow: type << 12 | offset in the page
};
enum RelocationType { kRelAbsolute = 0, kRelDir64 = 10 };

#pragma pack(push, 2)
struct Symbol {
  union {
    char shortName[8];
    struct {
      uint32_t zeroes;        // 0 when the name is in the string table
      uint32_t stringOffset;  // from the start of the string table, which follows the symbols
    } longName;
  };
  uint32_t value;   // section-relative
  int16_t section;  // 1-based; 0 and below: undefined, absolute, debugging
  uint16_t type;
  uint8_t storageClass;
  uint8_t auxCount;  // auxiliary records that follow, each the size of a symbol
};
#pragma pack(pop)

// A file's headers as the loader reads them, checked: what each step of a load works from.
struct Headers {
  FileHeader file;
  OptionalHeader64 optional;
  std::vector<SectionHeader> sections;
  // An absent directory is {0, 0}.
  DataDirectory directory(Directory d) const {
    return d < optional.directoryCount ? optional.directories[d] : DataDirectory{};
  }
};

static_assert(sizeof(DosHeader) == 0x40 && offsetof(DosHeader, peOffset) == 0x3C);
static_assert(sizeof(FileHeader) == 20 && offsetof(FileHeader, symbolTable) == 8 &&
              offsetof(FileHeader, symbolCount) == 12 && offsetof(FileHeader, optionalSize) == 16);
static_assert(sizeof(OptionalHeader64) == 240 && offsetof(OptionalHeader64, entryRva) == 16 &&
              offsetof(OptionalHeader64, imageBase) == 24 &&
              offsetof(OptionalHeader64, sectionAlignment) == 32 &&
              offsetof(OptionalHeader64, imageSize) == 56 && offsetof(OptionalHeader64, headerSize) == 60 &&
              offsetof(OptionalHeader64, directoryCount) == 108 &&
              offsetof(OptionalHeader64, directories) == 112);
static_assert(sizeof(SectionHeader) == 40 && offsetof(SectionHeader, virtualSize) == 8 &&
              offsetof(SectionHeader, rva) == 12 && offsetof(SectionHeader, rawSize) == 16 &&
              offsetof(SectionHeader, rawOffset) == 20 && offsetof(SectionHeader, flags) == 36);
static_assert(sizeof(ImportDescriptor) == 20 && offsetof(ImportDescriptor, nameRva) == 12 &&
              offsetof(ImportDescriptor, iatRva) == 16);
static_assert(sizeof(RelocationBlock) == 8);
static_assert(sizeof(Symbol) == 18 && offsetof(Symbol, value) == 8 && offsetof(Symbol, section) == 12 &&
              offsetof(Symbol, auxCount) == 17);

}  // namespace host::loader::pe
