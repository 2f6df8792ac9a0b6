#include "platform/host/ms_format.h"

#include <cstdio>
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
    if (*f == '.') {
      conversion += *f++;
      copyNumber(f, conversion, args);
    }
    int bits = sizePrefix(f);
    switch (char c = *f ? *f++ : '\0') {
      case '%':
        out += '%';
        break;
      case 'd':
      case 'i': {
        long long v = bits == 64 ? __builtin_va_arg(args, long long) : __builtin_va_arg(args, int);
        if (bits == 16) v = static_cast<short>(v);
        if (bits == 8) v = static_cast<signed char>(v);
        append(out, conversion + "lld", v);
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
        append(out, conversion + "ll" + c, v);
        break;
      }
      case 'c':
        append(out, conversion + "c", __builtin_va_arg(args, int));
        break;
      case 'p':
        append(out, conversion + "p", __builtin_va_arg(args, void*));
        break;
      case 's': {
        const char* s = __builtin_va_arg(args, const char*);
        append(out, conversion + "s", s ? s : "(null)");
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
