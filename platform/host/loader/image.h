// A Windows x64 driver image (PE32+) loaded into this process: mapped at whatever base mmap gives, its
// relocations applied, its imports bound to the host emulation's exports (exports.h) through small stubs
// that leave the kernel stack, its sections protected as their flags say, its code registered with the trap
// layer (trap.h). The loader knows nothing of any particular driver: it reaches the image's globals by the
// names in its COFF symbol table.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/kstack.h"
#include "platform/kernel.h"

namespace host::loader {
namespace pe {
struct Headers;
}

struct Import {
  std::string module;  // "ntoskrnl.exe", "ks.sys", ...
  std::string name;
};

struct Symbol {
  uint32_t rva;
  std::string name;      // as the symbol table has it
  std::string readable;  // demangled
};

class Image {
 public:
  // Loads the file; on failure returns nullptr and says why in *error.
  static std::unique_ptr<Image> load(const std::string& path, std::string* error);
  // The names a file imports, read from its import directory without loading it.
  static bool readImports(const std::string& path, std::vector<Import>* imports, std::string* error);
  ~Image();
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  const std::string& path() const { return path_; }
  uintptr_t base() const { return reinterpret_cast<uintptr_t>(base_); }
  uint64_t preferredBase() const { return preferredBase_; }
  size_t size() const { return size_; }
  size_t relocations() const { return relocations_; }
  const std::vector<Import>& imports() const { return imports_; }
  PDRIVER_INITIALIZE entry() const;

  // The address of a symbol of the image (a global by its C name), nullptr when it has none.
  void* symbol(const std::string& name) const;
  // The symbol at or below an address and its offset; nullptr when none. Safe in a signal handler.
  const Symbol* symbolAt(uintptr_t address, uintptr_t* offset) const;
  // The load delta for gdb's add-symbol-file -o.
  int64_t delta() const { return static_cast<int64_t>(base() - preferredBase_); }

 private:
  Image() = default;
  // The steps of load(), in this order.
  bool mapSections(const std::vector<uint8_t>& file, const pe::Headers& h, std::string* error);
  bool relocate(const pe::Headers& h, std::string* error);
  bool bindImports(const pe::Headers& h, std::string* error);
  bool readSymbols(const std::vector<uint8_t>& file, const pe::Headers& h, std::string* error);
  bool protect(const pe::Headers& h, std::string* error);
  bool registerCode(const pe::Headers& h, std::string* error);

  std::string path_;
  uint8_t* base_ = nullptr;
  size_t size_ = 0;
  uint64_t preferredBase_ = 0;
  uint32_t entryRva_ = 0;
  size_t relocations_ = 0;
  std::vector<Import> imports_;
  std::vector<Symbol> symbols_;  // sorted by rva
  void* stubs_ = nullptr;        // one import stub per import, executable
  size_t stubBytes_ = 0;
  int trapSlot_ = -1;
  std::unique_ptr<kstack::Token> kernelStacks_;  // from the moment the image can be entered
};

}  // namespace host::loader
