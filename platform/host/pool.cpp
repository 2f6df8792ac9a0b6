// Pool allocation with per-tag accounting and fault injection. Fresh blocks are filled with a pattern so
// code that relies on zeroed pool shows itself. Executable pool is refused, as Driver Verifier's code
// integrity check and memory integrity (HVCI) refuse it.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/host/internal.h"

namespace host::pool {
namespace {

struct Block {
  ULONG tag;
  POOL_TYPE type;
  size_t size;
};

struct PoolState {
  std::mutex m;
  std::unordered_map<void*, Block> live;
  std::map<ULONG, uint64_t> allocations;
  uint64_t total = 0;
  uint64_t failCountdown = 0;  // 0 = off
  std::map<ULONG, bool> failTags;
  uint64_t injected = 0;
};
PoolState& state() {
  static PoolState* s = new PoolState;
  return *s;
}

bool isPaged(POOL_TYPE t) { return (static_cast<int>(t) & 1) != 0; }
// Non-paged pool without the no-execute bit (NonPagedPool, its cache-aligned and must-succeed forms).
bool isExecutable(POOL_TYPE t) { return !isPaged(t) && (static_cast<int>(t) & NonPagedPoolNx) == 0; }

}  // namespace

std::map<ULONG, TagUsage> outstanding() {
  PoolState& s = state();
  std::lock_guard<std::mutex> g(s.m);
  std::map<ULONG, TagUsage> out;
  for (auto& [p, b] : s.live) {
    TagUsage& u = out[b.tag];
    u.blocks++;
    u.bytes += b.size;
  }
  return out;
}

size_t outstandingBytes(ULONG tag) {
  auto all = outstanding();
  auto it = all.find(tag);
  return it == all.end() ? 0 : it->second.bytes;
}

size_t outstandingBlocks() {
  PoolState& s = state();
  std::lock_guard<std::mutex> g(s.m);
  return s.live.size();
}

uint64_t allocationCount() {
  PoolState& s = state();
  std::lock_guard<std::mutex> g(s.m);
  return s.total;
}

uint64_t allocationCount(ULONG tag) {
  PoolState& s = state();
  std::lock_guard<std::mutex> g(s.m);
  auto it = s.allocations.find(tag);
  return it == s.allocations.end() ? 0 : it->second;
}

void failNth(uint64_t n) {
  PoolState& s = state();
  std::lock_guard<std::mutex> g(s.m);
  s.failCountdown = n;
}

void failTag(ULONG tag) {
  PoolState& s = state();
  std::lock_guard<std::mutex> g(s.m);
  s.failTags[tag] = true;
}

void clearFaults() {
  PoolState& s = state();
  std::lock_guard<std::mutex> g(s.m);
  s.failCountdown = 0;
  s.failTags.clear();
}

uint64_t injectedFailures() {
  PoolState& s = state();
  std::lock_guard<std::mutex> g(s.m);
  return s.injected;
}

std::string tagName(ULONG tag) {
  std::string n(4, '.');
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    if (c >= 0x20 && c < 0x7F) n[static_cast<size_t>(i)] = c;
  }
  return n;
}

std::string report() {
  std::string r;
  for (auto& [tag, u] : outstanding())
    r += tagName(tag) + " " + std::to_string(u.blocks) + " blocks " + std::to_string(u.bytes) + " bytes\n";
  return r;
}

}  // namespace host::pool

using namespace host;

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  if (pool::isExecutable(PoolType)) {
    HOST_MISUSE("executable pool type (NonPagedPool): non-paged memory is NonPagedPoolNx");
    return nullptr;
  }
  KIRQL irql = KeGetCurrentIrql();
  if (pool::isPaged(PoolType)) {
    HOST_REQUIRE(irql <= APC_LEVEL, "paged pool allocated above APC_LEVEL");
  } else {
    HOST_REQUIRE(irql <= DISPATCH_LEVEL, "pool allocated above DISPATCH_LEVEL");
  }
  pool::PoolState& s = pool::state();
  {
    std::lock_guard<std::mutex> g(s.m);
    bool fail = false;
    if (s.failCountdown != 0 && --s.failCountdown == 0) fail = true;
    auto it = s.failTags.find(Tag);
    if (it != s.failTags.end() && it->second) fail = true;
    if (fail) {
      s.injected++;
      return nullptr;
    }
  }
  size_t size = NumberOfBytes ? NumberOfBytes : 1;
  void* p = aligned_alloc(16, (size + 15) & ~size_t(15));
  if (!p) return nullptr;
  memset(p, 0xCD, size);
  std::lock_guard<std::mutex> g(s.m);
  s.live.emplace(p, pool::Block{Tag, PoolType, NumberOfBytes});
  s.allocations[Tag]++;
  s.total++;
  return p;
}

static void freeBlock(PVOID P, const ULONG* tag) {
  if (!P) {
    HOST_MISUSE("ExFreePool of a null pointer");
    return;
  }
  pool::PoolState& s = pool::state();
  const char* problem;
  {
    std::lock_guard<std::mutex> g(s.m);
    auto it = s.live.find(P);
    if (it == s.live.end()) {
      problem = "ExFreePool of a pointer the pool did not allocate (or freed twice)";
    } else if (tag && it->second.tag != *tag) {
      problem = "ExFreePoolWithTag with a tag other than the allocation's";
    } else if (pool::isPaged(it->second.type) && KeGetCurrentIrql() > APC_LEVEL) {
      problem = "paged pool freed above APC_LEVEL";  // the block stays: a bugcheck frees nothing
    } else if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
      problem = "pool freed above DISPATCH_LEVEL";
    } else {
      s.live.erase(it);
      free(P);
      return;
    }
  }
  HOST_MISUSE(problem);  // outside the lock: the handler may look at the pool
}

extern "C" VOID ExFreePool(PVOID P) { freeBlock(P, nullptr); }

extern "C" VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { freeBlock(P, &Tag); }
