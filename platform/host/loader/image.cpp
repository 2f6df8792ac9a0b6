#include "platform/host/loader/image.h"

#include <cxxabi.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/host/kstack.h"
#include "platform/host/loader/exports.h"
#include "platform/host/loader/trap.h"

namespace host::loader {
namespace {

constexpr size_t kPage = 4096;
constexpr uint32_t kScnExecute = 0x20000000, kScnRead = 0x40000000, kScnWrite = 0x80000000;
constexpr int kDirImport = 1, kDirBaseReloc = 5;
constexpr int kRelAbsolute = 0, kRelDir64 = 10;
constexpr size_t kStubBytes = 32;

size_t pagesOf(size_t n) { return (n + kPage - 1) & ~(kPage - 1); }

// Bounds-checked little-endian reads of the file or of the mapped image.
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

struct Headers {
  uint32_t peOffset = 0, symbolTable = 0, symbolCount = 0;
  uint16_t sectionCount = 0, optionalSize = 0;
  size_t optional = 0;
  uint64_t imageBase = 0;
  uint32_t entryRva = 0, sectionAlignment = 0, imageSize = 0, headerSize = 0, directoryCount = 0;
};

bool readHeaders(Reader& f, Headers* h, std::string* error) {
  if (f.at<uint16_t>(0) != 0x5A4D) return *error = "no MZ header", false;
  h->peOffset = f.at<uint32_t>(0x3C);
  if (f.at<uint32_t>(h->peOffset) != 0x00004550) return *error = "no PE signature", false;
  const size_t coff = h->peOffset + 4;
  if (f.at<uint16_t>(coff) != 0x8664) return *error = "not an x86-64 image", false;
  h->sectionCount = f.at<uint16_t>(coff + 2);
  h->symbolTable = f.at<uint32_t>(coff + 8);
  h->symbolCount = f.at<uint32_t>(coff + 12);
  h->optionalSize = f.at<uint16_t>(coff + 16);
  h->optional = coff + 20;
  if (f.at<uint16_t>(h->optional) != 0x20B) return *error = "not a PE32+ image", false;
  h->entryRva = f.at<uint32_t>(h->optional + 16);
  h->imageBase = f.at<uint64_t>(h->optional + 24);
  h->sectionAlignment = f.at<uint32_t>(h->optional + 32);
  h->imageSize = f.at<uint32_t>(h->optional + 56);
  h->headerSize = f.at<uint32_t>(h->optional + 60);
  h->directoryCount = f.at<uint32_t>(h->optional + 108);
  if (!f.ok()) return *error = "truncated headers", false;
  if (h->sectionAlignment % kPage != 0) return *error = "sections not page-aligned", false;
  if (h->imageSize == 0 || h->imageSize > (256u << 20)) return *error = "implausible image size", false;
  return true;
}

struct Directory {
  uint32_t rva = 0, size = 0;
};
Directory directory(Reader& f, const Headers& h, int index) {
  if (static_cast<uint32_t>(index) >= h.directoryCount) return {};
  return {f.at<uint32_t>(h.optional + 112 + 8 * index), f.at<uint32_t>(h.optional + 116 + 8 * index)};
}

struct Section {
  std::string name;
  uint32_t rva, virtualSize, rawSize, rawOffset, flags;
};
std::vector<Section> sections(Reader& f, const Headers& h) {
  std::vector<Section> v;
  size_t at = h.optional + h.optionalSize;
  for (int i = 0; i < h.sectionCount; ++i, at += 40) {
    char name[9] = {};
    for (int k = 0; k < 8; ++k) name[k] = static_cast<char>(f.at<uint8_t>(at + k));
    v.push_back({name, f.at<uint32_t>(at + 12), f.at<uint32_t>(at + 8), f.at<uint32_t>(at + 16),
                 f.at<uint32_t>(at + 20), f.at<uint32_t>(at + 36)});
  }
  return v;
}

// Walks the import directory of a mapped image (or of the file, through rvaToOffset), calling
// bind(module, name, iatRva) per imported function.
template <class Bind>
bool walkImports(Reader& m, Directory dir, Bind bind, std::string* error) {
  for (uint32_t d = dir.rva; dir.size; d += 20) {
    const uint32_t lookup = m.at<uint32_t>(d), nameRva = m.at<uint32_t>(d + 12), iat = m.at<uint32_t>(d + 16);
    if (!m.ok()) return *error = "import directory past the image", false;
    if (!nameRva && !iat) break;
    const std::string module = m.string(nameRva);
    for (uint32_t k = 0;; ++k) {
      const uint64_t entry = m.at<uint64_t>((lookup ? lookup : iat) + 8 * k);
      if (!m.ok()) return *error = "import table of " + module + " past the image", false;
      if (!entry) break;
      if (entry >> 63) return *error = "import by ordinal from " + module, false;
      const std::string name = m.string(static_cast<uint32_t>(entry) + 2);
      if (!m.ok()) return *error = "import name past the image", false;
      if (!bind(module, name, iat + 8 * k)) return false;
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
  std::ifstream in(path, std::ios::binary);
  if (!in) return *error = "cannot open " + path, false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// The file laid out as the image would be mapped (headers and section data at their rvas), for reading the
// import directory without loading.
std::vector<uint8_t> layOut(Reader& f, const std::vector<uint8_t>& file, const Headers& h) {
  std::vector<uint8_t> m(h.imageSize, 0);
  memcpy(m.data(), file.data(), std::min<size_t>({h.headerSize, file.size(), m.size()}));
  for (const Section& s : sections(f, h)) {
    const size_t n = std::min<size_t>(s.rawSize, s.virtualSize ? s.virtualSize : s.rawSize);
    if (s.rawOffset && n && s.rawOffset + n <= file.size() && s.rva + n <= m.size())
      memcpy(m.data() + s.rva, file.data() + s.rawOffset, n);
  }
  return m;
}

}  // namespace

std::unique_ptr<Image> Image::load(const std::string& path, std::string* error) {
  std::vector<uint8_t> file;
  if (!readFile(path, &file, error)) return nullptr;
  std::unique_ptr<Image> image(new Image);
  image->path_ = path;
  image->fileName_ = path.substr(path.find_last_of('/') + 1);
  if (!image->map(file, error)) {
    *error = path + ": " + *error;
    return nullptr;
  }
  return image;
}

bool Image::readImports(const std::string& path, std::vector<Import>* imports, std::string* error) {
  std::vector<uint8_t> file;
  if (!readFile(path, &file, error)) return false;
  Reader f(file.data(), file.size());
  Headers h;
  if (!readHeaders(f, &h, error)) return false;
  std::vector<uint8_t> laid = layOut(f, file, h);
  Reader m(laid.data(), laid.size());
  return walkImports(
      m, directory(f, h, kDirImport),
      [&](const std::string& module, const std::string& name, uint32_t) {
        imports->push_back({module, name});
        return true;
      },
      error);
}

bool Image::map(const std::vector<uint8_t>& file, std::string* error) {
  Reader f(file.data(), file.size());
  Headers h;
  if (!readHeaders(f, &h, error)) return false;
  preferredBase_ = h.imageBase;
  entryRva_ = h.entryRva;
  size_ = pagesOf(h.imageSize);
  void* m = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) return *error = "cannot map the image", false;
  base_ = static_cast<uint8_t*>(m);
  if (h.headerSize > size_ || entryRva_ >= size_) return *error = "headers or entry past the image", false;
  memcpy(base_, file.data(), std::min<size_t>(h.headerSize, file.size()));

  const std::vector<Section> secs = sections(f, h);
  if (!f.ok()) return *error = "truncated section table", false;
  for (const Section& s : secs) {
    if (uint64_t(s.rva) + std::max(s.virtualSize, s.rawSize) > size_)
      return *error = s.name + " past the image", false;
    const size_t n = std::min(s.rawSize, s.virtualSize ? s.virtualSize : s.rawSize);
    if (!n || !s.rawOffset) continue;
    if (uint64_t(s.rawOffset) + n > file.size()) return *error = s.name + " data past the file", false;
    memcpy(base_ + s.rva, file.data() + s.rawOffset, n);
  }

  Reader img(base_, size_);
  const Directory relocs = directory(f, h, kDirBaseReloc);
  const uint64_t delta = base() - preferredBase_;
  for (uint32_t off = 0; off < relocs.size;) {
    const uint32_t page = img.at<uint32_t>(relocs.rva + off), block = img.at<uint32_t>(relocs.rva + off + 4);
    if (!img.ok() || block < 8 || block > relocs.size - off)
      return *error = "malformed relocation block", false;
    for (uint32_t e = 8; e + 2 <= block; e += 2) {
      const uint16_t v = img.at<uint16_t>(relocs.rva + off + e);
      const uint32_t at = page + (v & 0xFFF);
      if (v >> 12 == kRelAbsolute) continue;
      if (v >> 12 != kRelDir64) return *error = "relocation type " + std::to_string(v >> 12), false;
      const uint64_t target = img.at<uint64_t>(at) + delta;
      if (!img.ok()) return *error = "relocation past the image", false;
      memcpy(base_ + at, &target, sizeof target);
      ++relocations_;
    }
    off += block;
  }

  // Imports: bound to a stub per import that leaves the kernel stack for the host function.
  std::vector<std::pair<uint32_t, void*>> bindings;
  const bool walked = walkImports(
      img, directory(f, h, kDirImport),
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
    // mov $target, %r11; jmp *0(%rip); .quad zadivo_kstack_leave
    uint8_t* stub = static_cast<uint8_t*>(stubs_) + i * kStubBytes;
    const uint64_t target = reinterpret_cast<uint64_t>(bindings[i].second);
    const uint64_t leave = reinterpret_cast<uint64_t>(&zadivo_kstack_leave);
    const uint8_t code[] = {0x49, 0xBB, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0x25, 0, 0, 0, 0};
    memcpy(stub, code, sizeof code);
    memcpy(stub + 2, &target, 8);
    memcpy(stub + sizeof code, &leave, 8);
    const uint64_t slot = reinterpret_cast<uint64_t>(stub);
    memcpy(base_ + bindings[i].first, &slot, sizeof slot);
  }
  if (mprotect(stubs_, stubBytes_, PROT_READ | PROT_EXEC) != 0)
    return *error = "cannot protect the stubs", false;

  // COFF symbols (GNU ld keeps them; Windows ignores them): section-relative values.
  if (h.symbolTable && h.symbolCount) {
    const size_t strings = h.symbolTable + size_t(h.symbolCount) * 18;
    for (uint32_t i = 0; i < h.symbolCount; ++i) {
      const size_t s = h.symbolTable + size_t(i) * 18;
      const int16_t section = f.at<int16_t>(s + 12);
      std::string name;
      if (f.at<uint32_t>(s) == 0) {
        name = f.string(strings + f.at<uint32_t>(s + 4));
      } else {
        char shortName[9] = {};
        for (int k = 0; k < 8; ++k) shortName[k] = static_cast<char>(f.at<uint8_t>(s + k));
        name = shortName;
      }
      if (section > 0 && section <= static_cast<int>(secs.size()) && !name.empty() && name[0] != '.')
        symbols_.push_back({secs[section - 1].rva + f.at<uint32_t>(s + 8), name, demangle(name)});
      i += f.at<uint8_t>(s + 17);  // auxiliary records
    }
    if (!f.ok()) return *error = "truncated symbol table", false;
    std::sort(symbols_.begin(), symbols_.end(), [](auto& a, auto& b) { return a.rva < b.rva; });
  }

  // Headers read-only, each section as its flags say, the import address table read-only as on Windows.
  const Directory imports = directory(f, h, kDirImport);
  uintptr_t codeLo = UINTPTR_MAX, codeHi = 0;
  if (mprotect(base_, pagesOf(h.headerSize), PROT_READ) != 0) return *error = "cannot protect headers", false;
  for (const Section& s : secs) {
    int prot = (s.flags & kScnRead ? PROT_READ : 0) | (s.flags & kScnWrite ? PROT_WRITE : 0) |
               (s.flags & kScnExecute ? PROT_EXEC : 0);
    if (imports.size && imports.rva >= s.rva && imports.rva < s.rva + s.virtualSize) prot &= ~PROT_WRITE;
    const size_t length = pagesOf(std::max(s.virtualSize, s.rawSize));
    if (length && mprotect(base_ + s.rva, length, prot) != 0)
      return *error = "cannot protect " + s.name, false;
    if (s.flags & kScnExecute) {
      codeLo = std::min(codeLo, base() + s.rva);
      codeHi = std::max(codeHi, base() + s.rva + length);
    }
  }
  if (codeLo < codeHi) {
    trapSlot_ = trap::addImage(this, codeLo, codeHi);
    if (trapSlot_ < 0) return *error = "too many images loaded at once", false;
  }
  kstack::enable(true);
  kernelStacks_ = true;
  return true;
}

Image::~Image() {
  if (kernelStacks_) kstack::enable(false);
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

std::string Image::describe(uintptr_t address) const {
  char where[64];
  snprintf(where, sizeof where, "+0x%lx", static_cast<unsigned long>(address - base()));
  std::string s = fileName_ + where;
  uintptr_t offset = 0;
  if (const Symbol* sym = symbolAt(address, &offset)) {
    snprintf(where, sizeof where, "+0x%lx", static_cast<unsigned long>(offset));
    s += " (" + sym->readable + where + ")";
  }
  return s;
}

}  // namespace host::loader
