#include "platform/host/loader/image.h"

#include <cxxabi.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/host/loader/exports.h"
#include "platform/host/loader/pe.h"
#include "platform/host/loader/trap.h"

namespace host::loader {
namespace {

constexpr size_t kPage = 4096;
constexpr size_t kStubBytes = 32;  // one import stub's slot

size_t pagesOf(size_t n) { return (n + kPage - 1) & ~(kPage - 1); }

// Bounds-checked reads of the file or of the mapped image (both little-endian, as is this machine).
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  template <class T>
  T at(size_t offset) {
    T v{};
    if (offset > size_ || size_ - offset < sizeof(T)) {
      ok_ = false;
      return v;
    }
    memcpy(&v, data_ + offset, sizeof v);
    return v;
  }
  // A NUL-terminated string inside the data, "" (and not ok) when it runs off the end.
  std::string string(size_t offset) {
    if (offset >= size_) return ok_ = false, std::string();
    const void* end = memchr(data_ + offset, 0, size_ - offset);
    if (!end) return ok_ = false, std::string();
    return std::string(reinterpret_cast<const char*>(data_ + offset));
  }
  bool ok() const { return ok_; }

 private:
  const uint8_t* data_;
  size_t size_;
  bool ok_ = true;
};

std::string nameOf(const pe::SectionHeader& s) { return std::string(s.name, strnlen(s.name, sizeof s.name)); }

bool readHeaders(Reader& f, pe::Headers* h, std::string* error) {
  const auto dos = f.at<pe::DosHeader>(0);
  if (!f.ok() || dos.magic != pe::kDosMagic) return *error = "no MZ header", false;
  if (f.at<uint32_t>(dos.peOffset) != pe::kSignature) return *error = "no PE signature", false;
  const size_t fileHeader = size_t(dos.peOffset) + sizeof pe::kSignature;
  h->file = f.at<pe::FileHeader>(fileHeader);
  if (!f.ok()) return *error = "truncated headers", false;
  if (h->file.machine != pe::kMachineAmd64) return *error = "not an x86-64 image", false;
  const size_t optional = fileHeader + sizeof(pe::FileHeader);
  h->optional = f.at<pe::OptionalHeader64>(optional);
  if (!f.ok()) return *error = "truncated headers", false;
  if (h->optional.magic != pe::kOptionalMagic64) return *error = "not a PE32+ image", false;
  const size_t directories = std::min<uint32_t>(h->optional.directoryCount, pe::kDirCount);
  if (h->file.optionalSize <
      offsetof(pe::OptionalHeader64, directories) + directories * sizeof(pe::DataDirectory))
    return *error = "optional header shorter than its directories", false;
  for (size_t i = 0, at = optional + h->file.optionalSize; i < h->file.sectionCount;
       ++i, at += sizeof(pe::SectionHeader))
    h->sections.push_back(f.at<pe::SectionHeader>(at));
  if (!f.ok()) return *error = "truncated headers", false;
  if (h->optional.sectionAlignment % kPage != 0) return *error = "sections not page-aligned", false;
  if (h->optional.imageSize == 0 || h->optional.imageSize > (256u << 20))
    return *error = "implausible image size", false;
  return true;
}

// Walks the import directory of a mapped image (or of the file laid out as mapped, layOut), calling
// bind(module, name, iatRva) per imported function.
template <class Bind>
bool walkImports(Reader& m, pe::DataDirectory dir, Bind bind, std::string* error) {
  for (size_t d = dir.rva; dir.size; d += sizeof(pe::ImportDescriptor)) {
    const auto module = m.at<pe::ImportDescriptor>(d);
    if (!m.ok()) return *error = "import directory past the image", false;
    if (!module.nameRva && !module.iatRva) break;
    const std::string moduleName = m.string(module.nameRva);
    const size_t names = module.lookupRva ? module.lookupRva : module.iatRva;
    for (uint32_t k = 0;; ++k) {
      const uint64_t entry = m.at<uint64_t>(names + sizeof entry * k);
      if (!m.ok()) return *error = "import table of " + moduleName + " past the image", false;
      if (!entry) break;
      if (entry & pe::kImportByOrdinal) return *error = "import by ordinal from " + moduleName, false;
      const std::string name = m.string(static_cast<uint32_t>(entry) + pe::kHintBytes);
      if (!m.ok()) return *error = "import name past the image", false;
      if (!bind(moduleName, name, module.iatRva + uint32_t(sizeof entry) * k)) return false;
    }
  }
  return true;
}

std::string demangle(const std::string& name) {
  int status = 0;
  char* d = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  if (status != 0 || !d) return name;
  std::string s(d);
  free(d);
  return s;
}

bool readFile(const std::string& path, std::vector<uint8_t>* out, std::string* error) {
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) return *error = "cannot open " + path + ": " + (errno ? strerror(errno) : "unreadable"), false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// The file laid out as the image would be mapped (headers and section data at their rvas), for reading the
// import directory without loading.
std::vector<uint8_t> layOut(const std::vector<uint8_t>& file, const pe::Headers& h) {
  std::vector<uint8_t> m(h.optional.imageSize, 0);
  memcpy(m.data(), file.data(), std::min<size_t>({h.optional.headerSize, file.size(), m.size()}));
  for (const pe::SectionHeader& s : h.sections) {
    const size_t n = std::min<size_t>(s.rawSize, s.virtualSize ? s.virtualSize : s.rawSize);
    if (s.rawOffset && n && s.rawOffset + n <= file.size() && s.rva + n <= m.size())
      memcpy(m.data() + s.rva, file.data() + s.rawOffset, n);
  }
  return m;
}

// What an import's address table slot points at: loads the host function's address into r11 and jumps to
// the kernel stack's exit, which calls it on the thread's own stack.
#pragma pack(push, 1)
struct ImportStub {
  uint8_t movR11[2] = {0x49, 0xBB};  // mov $target, %r11
  uint64_t target;
  uint8_t jmpRip[6] = {0xFF, 0x25, 0, 0, 0, 0};  // jmp *0(%rip): through the next quadword
  uint64_t leave;
};
#pragma pack(pop)
static_assert(sizeof(ImportStub) <= kStubBytes);

}  // namespace

std::unique_ptr<Image> Image::load(const std::string& path, std::string* error) {
  std::vector<uint8_t> file;
  if (!readFile(path, &file, error)) return nullptr;
  Reader f(file.data(), file.size());
  pe::Headers h;
  std::unique_ptr<Image> image(new Image);
  image->path_ = path;
  const bool loaded = readHeaders(f, &h, error) && image->mapSections(file, h, error) &&
                      image->relocate(h, error) && image->bindImports(h, error) &&
                      image->readSymbols(file, h, error) && image->protect(h, error) &&
                      image->registerCode(h, error);
  if (!loaded) {
    *error = path + ": " + *error;
    return nullptr;
  }
  return image;
}

bool Image::readImports(const std::string& path, std::vector<Import>* imports, std::string* error) {
  std::vector<uint8_t> file;
  if (!readFile(path, &file, error)) return false;
  Reader f(file.data(), file.size());
  pe::Headers h;
  if (!readHeaders(f, &h, error)) return false;
  std::vector<uint8_t> laid = layOut(file, h);
  Reader m(laid.data(), laid.size());
  return walkImports(
      m, h.directory(pe::kDirImport),
      [&](const std::string& module, const std::string& name, uint32_t) {
        imports->push_back({module, name});
        return true;
      },
      error);
}

// Headers and section data at their rvas in one anonymous mapping, writable until protect().
bool Image::mapSections(const std::vector<uint8_t>& file, const pe::Headers& h, std::string* error) {
  preferredBase_ = h.optional.imageBase;
  entryRva_ = h.optional.entryRva;
  size_ = pagesOf(h.optional.imageSize);
  void* m = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) return *error = "cannot map the image", false;
  base_ = static_cast<uint8_t*>(m);
  if (h.optional.headerSize > size_ || entryRva_ >= size_)
    return *error = "headers or entry past the image", false;
  memcpy(base_, file.data(), std::min<size_t>(h.optional.headerSize, file.size()));
  for (const pe::SectionHeader& s : h.sections) {
    if (uint64_t(s.rva) + std::max(s.virtualSize, s.rawSize) > size_)
      return *error = nameOf(s) + " past the image", false;
    const size_t n = std::min(s.rawSize, s.virtualSize ? s.virtualSize : s.rawSize);
    if (!n || !s.rawOffset) continue;
    if (uint64_t(s.rawOffset) + n > file.size()) return *error = nameOf(s) + " data past the file", false;
    memcpy(base_ + s.rva, file.data() + s.rawOffset, n);
  }
  return true;
}

// Every 64-bit address the image holds moved by the difference between where it is and where it was linked.
bool Image::relocate(const pe::Headers& h, std::string* error) {
  const pe::DataDirectory relocs = h.directory(pe::kDirBaseReloc);
  Reader img(base_, size_);
  const uint64_t delta = base() - preferredBase_;
  for (uint32_t off = 0; off < relocs.size;) {
    const size_t at = size_t(relocs.rva) + off;
    const auto block = img.at<pe::RelocationBlock>(at);
    if (!img.ok() || block.blockSize < sizeof block || block.blockSize > relocs.size - off)
      return *error = "malformed relocation block", false;
    for (uint32_t e = sizeof block; e + sizeof(uint16_t) <= block.blockSize; e += sizeof(uint16_t)) {
      const uint16_t entry = img.at<uint16_t>(at + e);
      const int type = entry >> 12;
      const size_t target = size_t(block.pageRva) + (entry & 0xFFF);
      if (type == pe::kRelAbsolute) continue;
      if (type != pe::kRelDir64) return *error = "relocation type " + std::to_string(type), false;
      const uint64_t moved = img.at<uint64_t>(target) + delta;
      if (!img.ok()) return *error = "relocation past the image", false;
      memcpy(base_ + target, &moved, sizeof moved);
      ++relocations_;
    }
    off += block.blockSize;
  }
  return true;
}

// Each import bound to a stub that leaves the kernel stack for the host function of its name.
bool Image::bindImports(const pe::Headers& h, std::string* error) {
  Reader img(base_, size_);
  std::vector<std::pair<uint32_t, void*>> bindings;
  const bool walked = walkImports(
      img, h.directory(pe::kDirImport),
      [&](const std::string& module, const std::string& name, uint32_t iat) {
        void* target = findExport(name.c_str());
        if (!target)
          return *error = "imports " + module + "!" + name + ", which the host does not export", false;
        imports_.push_back({module, name});
        bindings.push_back({iat, target});
        return true;
      },
      error);
  if (!walked) return false;
  stubBytes_ = pagesOf(std::max<size_t>(1, bindings.size()) * kStubBytes);
  stubs_ = mmap(nullptr, stubBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (stubs_ == MAP_FAILED) return stubs_ = nullptr, *error = "cannot map the import stubs", false;
  for (size_t i = 0; i < bindings.size(); ++i) {
    ImportStub stub;
    stub.target = reinterpret_cast<uint64_t>(bindings[i].second);
    stub.leave = reinterpret_cast<uint64_t>(&zadivo_kstack_leave);
    uint8_t* at = static_cast<uint8_t*>(stubs_) + i * kStubBytes;
    memcpy(at, &stub, sizeof stub);
    const uint64_t slot = reinterpret_cast<uint64_t>(at);
    memcpy(base_ + bindings[i].first, &slot, sizeof slot);
  }
  if (mprotect(stubs_, stubBytes_, PROT_READ | PROT_EXEC) != 0)
    return *error = "cannot protect the stubs", false;
  return true;
}

// The COFF symbol table (GNU ld keeps it; Windows ignores it), for symbol() and the trap reports.
bool Image::readSymbols(const std::vector<uint8_t>& file, const pe::Headers& h, std::string* error) {
  if (!h.file.symbolTable || !h.file.symbolCount) return true;
  Reader f(file.data(), file.size());
  const size_t strings = h.file.symbolTable + size_t(h.file.symbolCount) * sizeof(pe::Symbol);
  for (uint32_t i = 0; i < h.file.symbolCount; ++i) {
    const auto s = f.at<pe::Symbol>(h.file.symbolTable + size_t(i) * sizeof(pe::Symbol));
    const std::string name = s.longName.zeroes == 0
                                 ? f.string(strings + s.longName.stringOffset)
                                 : std::string(s.shortName, strnlen(s.shortName, sizeof s.shortName));
    if (s.section > 0 && s.section <= static_cast<int>(h.sections.size()) && !name.empty() && name[0] != '.')
      symbols_.push_back({h.sections[s.section - 1].rva + s.value, name, demangle(name)});
    i += s.auxCount;
  }
  if (!f.ok()) return *error = "truncated symbol table", false;
  std::sort(symbols_.begin(), symbols_.end(), [](auto& a, auto& b) { return a.rva < b.rva; });
  return true;
}

// Headers read-only, each section as its flags say, and the section holding the import address table
// read-only once bound, as on Windows.
bool Image::protect(const pe::Headers& h, std::string* error) {
  const pe::DataDirectory iat = h.directory(pe::kDirIat);
  if (mprotect(base_, pagesOf(h.optional.headerSize), PROT_READ) != 0)
    return *error = "cannot protect headers", false;
  for (const pe::SectionHeader& s : h.sections) {
    int prot = (s.flags & pe::kScnRead ? PROT_READ : 0) | (s.flags & pe::kScnWrite ? PROT_WRITE : 0) |
               (s.flags & pe::kScnExecute ? PROT_EXEC : 0);
    if (iat.size && iat.rva >= s.rva && iat.rva < s.rva + s.virtualSize) prot &= ~PROT_WRITE;
    const size_t length = pagesOf(std::max(s.virtualSize, s.rawSize));
    if (length && mprotect(base_ + s.rva, length, prot) != 0)
      return *error = "cannot protect " + nameOf(s), false;
  }
  return true;
}

// The code sections to the trap layer, and kernel stacks on: from here on the image can be entered.
bool Image::registerCode(const pe::Headers& h, std::string* error) {
  uintptr_t codeLo = UINTPTR_MAX, codeHi = 0;
  for (const pe::SectionHeader& s : h.sections) {
    if (!(s.flags & pe::kScnExecute)) continue;
    codeLo = std::min(codeLo, base() + s.rva);
    codeHi = std::max(codeHi, base() + s.rva + pagesOf(std::max(s.virtualSize, s.rawSize)));
  }
  if (codeLo < codeHi) {
    trapSlot_ = trap::addImage(this, codeLo, codeHi);
    if (trapSlot_ < 0) return *error = "too many images loaded at once", false;
  }
  kernelStacks_ = std::make_unique<kstack::Token>();
  return true;
}

Image::~Image() {
  kernelStacks_.reset();
  if (trapSlot_ >= 0) trap::removeImage(trapSlot_);
  if (stubs_) munmap(stubs_, stubBytes_);
  if (base_) munmap(base_, size_);
}

PDRIVER_INITIALIZE Image::entry() const { return reinterpret_cast<PDRIVER_INITIALIZE>(base_ + entryRva_); }

void* Image::symbol(const std::string& name) const {
  for (const Symbol& s : symbols_)
    if (s.name == name) return base_ + s.rva;
  return nullptr;
}

const Symbol* Image::symbolAt(uintptr_t address, uintptr_t* offset) const {
  if (address < base() || address >= base() + size_) return nullptr;
  const uint32_t rva = static_cast<uint32_t>(address - base());
  auto it =
      std::upper_bound(symbols_.begin(), symbols_.end(), rva, [](uint32_t r, auto& s) { return r < s.rva; });
  if (it == symbols_.begin()) return nullptr;
  --it;
  *offset = rva - it->rva;
  return &*it;
}

}  // namespace host::loader
