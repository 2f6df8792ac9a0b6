// libFuzzer entry: one machine for the whole run, every input a sequence of requests.
#include "property_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::Harness* harness = new fuzz::Harness;  // lives for the process, as the fuzzer does
  if (!harness->ok()) __builtin_trap();
  fuzz::Bytes in(data, size);
  for (int i = 0; i < 64 && harness->one(in); ++i) {
  }
  return 0;
}
