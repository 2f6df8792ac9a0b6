#include "platform/host/ms_format.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace host {
namespace {

// Appends one conversion through the C library, whatever its length.
template <class T>
void append(std::string& out, const std::string& conversion, T value) {
  int n = snprintf(nullptr, 0, conversion.c_str(), value);
  if (n <= 0) return;
  size_t at = out.size();
  out.resize(at + static_cast<size_t>(n) + 1);
  snprintf(out.data() + at, static_cast<size_t>(n) + 1, conversion.c_str(), value);
  out.resize(at + static_cast<size_t>(n));
}

// Width and precision digits, or a '*' taken from the arguments.
void copyNumber(const char*& f, std::string& conversion, __builtin_ms_va_list& args) {
  if (*f == '*') {
    conversion += std::to_string(__builtin_va_arg(args, int));
    ++f;
    return;
  }
  while (*f >= '0' && *f <= '9') conversion += *f++;
}

// Reads a size prefix and returns the argument's width in bits.
int sizePrefix(const char*& f) {
  if (strncmp(f, "I64", 3) == 0) return f += 3, 64;
  if (strncmp(f, "I32", 3) == 0) return f += 3, 32;
  if (strncmp(f, "ll", 2) == 0) return f += 2, 64;
  if (strncmp(f, "hh", 2) == 0) return f += 2, 8;
  if (*f == 'I' || *f == 'z') return ++f, 64;
  if (*f == 'l' || *f == 'w') return ++f, 32;
  if (*f == 'h') return ++f, 16;
  return 32;
}

// UTF-16 code units as UTF-8: at most max units, ending early at a NUL when terminated. A surrogate without
// its pair becomes '?', as a character outside the code page does in the kernel's conversion.
std::string utf8(const uint16_t* s, size_t max, bool terminated) {
  std::string out;
  for (size_t i = 0; i < max && !(terminated && s[i] == 0); ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < max && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
    else if (c >= 0xD800 && c < 0xE000)
      c = '?';
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// UNICODE_STRING and ANSI_STRING: a length in bytes, not counting any terminator, and the buffer.
struct CountedString {
  uint16_t length;
  uint16_t maximumLength;
  const void* buffer;
};
static_assert(sizeof(CountedString) == 16);

}  // namespace

std::string formatMs(const char* f, __builtin_ms_va_list args) {
  std::string out;
  while (*f) {
    if (*f != '%') {
      out += *f++;
      continue;
    }
    const char* start = f++;
    std::string conversion = "%";
    while (*f && strchr("-+ #0", *f)) conversion += *f++;
    copyNumber(f, conversion, args);
    std::string precision;  // kept apart: a wide string's counts characters, not the bytes they become
    if (*f == '.') {
      precision += *f++;
      copyNumber(f, precision, args);
    }
    const char* prefix = f;
    const int bits = sizePrefix(f);
    const bool wideSize = *prefix == 'l' || *prefix == 'w', narrowSize = *prefix == 'h';
    // Characters at most, from the precision; a negative one counts as none given.
    const size_t limit =
        precision.empty() || precision[1] == '-' ? SIZE_MAX : strtoull(&precision[1], nullptr, 10);
    switch (char c = *f ? *f++ : '\0') {
      case '%':
        out += '%';
        break;
      case 'd':
      case 'i': {
        long long v = bits == 64 ? __builtin_va_arg(args, long long) : __builtin_va_arg(args, int);
        if (bits == 16) v = static_cast<short>(v);
        if (bits == 8) v = static_cast<signed char>(v);
        append(out, conversion + precision + "lld", v);
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        unsigned long long v =
            bits == 64 ? __builtin_va_arg(args, unsigned long long) : __builtin_va_arg(args, unsigned);
        if (bits == 16) v &= 0xFFFF;
        if (bits == 8) v &= 0xFF;
        append(out, conversion + precision + "ll" + c, v);
        break;
      }
      case 'c':
      case 'C': {
        const int v = __builtin_va_arg(args, int);
        if (wideSize || (c == 'C' && !narrowSize)) {
          const uint16_t unit = static_cast<uint16_t>(v);
          append(out, conversion + "s", utf8(&unit, 1, false).c_str());
        } else {
          append(out, conversion + "c", v);
        }
        break;
      }
      case 'p':
        append(out, conversion + "p", __builtin_va_arg(args, void*));
        break;
      case 's':
      case 'S': {
        const void* s = __builtin_va_arg(args, const void*);
        if (!s)
          append(out, conversion + precision + "s", "(null)");
        else if (wideSize || (c == 'S' && !narrowSize))
          append(out, conversion + "s", utf8(static_cast<const uint16_t*>(s), limit, true).c_str());
        else
          append(out, conversion + precision + "s", static_cast<const char*>(s));
        break;
      }
      case 'Z': {
        const auto* s = __builtin_va_arg(args, const CountedString*);
        if (!s || !s->buffer) {
          append(out, conversion + precision + "s", "(null)");
        } else if (wideSize) {
          const size_t units = std::min<size_t>(s->length / 2, limit);
          append(out, conversion + "s", utf8(static_cast<const uint16_t*>(s->buffer), units, false).c_str());
        } else {
          const std::string text(static_cast<const char*>(s->buffer), std::min<size_t>(s->length, limit));
          append(out, conversion + "s", text.c_str());
        }
        break;
      }
      default:  // not a conversion the kernel knows: shown as written, no argument taken
        out.append(start, f);
        break;
    }
  }
  return out;
}

}  // namespace host
