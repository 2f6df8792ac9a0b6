// Pool accounting per tag and fault injection.
#include "platform/kernel.h"
#include "tests/host/support.h"

using host::pool::makeTag;
using hosttest::AssertRecorder;

namespace {

TEST(Pool, AccountsOutstandingBlocksPerTag) {
  const ULONG tag = makeTag("Tacc");
  EXPECT_EQ(host::pool::tagName(tag), "Tacc");
  EXPECT_EQ(host::pool::tagName(0x01414141), "AAA.");
  uint64_t before = host::pool::allocationCount(tag);
  void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 100, tag);
  void* b = ExAllocatePoolWithTag(PagedPool, 28, tag);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
  EXPECT_EQ(host::pool::outstandingBytes(tag), 128u);
  EXPECT_EQ(host::pool::outstanding()[tag].blocks, 2u);
  EXPECT_NE(host::pool::report().find("Tacc 2 blocks 128 bytes"), std::string::npos);
  EXPECT_EQ(host::pool::allocationCount(tag), before + 2);
  ExFreePoolWithTag(a, tag);
  ExFreePool(b);
  EXPECT_EQ(host::pool::outstandingBytes(tag), 0u);
  EXPECT_EQ(host::pool::outstanding().count(tag), 0u);
}

TEST(Pool, FailsTheNthAllocationFromNow) {
  const ULONG tag = makeTag("Tnth");
  host::pool::failNth(3);
  void* p1 = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag);
  void* p2 = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag);
  void* p3 = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag);
  void* p4 = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag);
  EXPECT_TRUE(p1 && p2 && p4);
  EXPECT_EQ(p3, nullptr);
  EXPECT_EQ(host::pool::outstanding()[tag].blocks, 3u) << "a failed allocation is not counted";
  for (void* p : {p1, p2, p4}) ExFreePool(p);
}

TEST(Pool, FailsEveryAllocationOfATag) {
  const ULONG bad = makeTag("Tbad"), good = makeTag("Tgud");
  uint64_t injected = host::pool::injectedFailures();
  host::pool::failTag(bad);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, bad), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, bad), nullptr);
  void* g = ExAllocatePoolWithTag(NonPagedPoolNx, 8, good);
  EXPECT_NE(g, nullptr);
  EXPECT_EQ(host::pool::injectedFailures(), injected + 2);
  host::pool::clearFaults();
  void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 8, bad);
  EXPECT_NE(b, nullptr);
  ExFreePool(g);
  ExFreePool(b);
}

// Non-paged memory must not be executable (Driver Verifier's code integrity check, memory integrity).
TEST(Pool, RefusesExecutablePoolTypes) {
  const ULONG tag = makeTag("Texe");
  AssertRecorder rec;
  for (POOL_TYPE executable : {NonPagedPool, NonPagedPoolMustSucceed, NonPagedPoolCacheAligned}) {
    EXPECT_EQ(ExAllocatePoolWithTag(executable, 8, tag), nullptr) << executable;
    EXPECT_TRUE(rec.saw("executable pool type")) << executable;
  }
  EXPECT_EQ(rec.count(), 3u);
  for (POOL_TYPE fine : {NonPagedPoolNx, PagedPool, PagedPoolCacheAligned}) {
    void* p = ExAllocatePoolWithTag(fine, 8, tag);
    EXPECT_NE(p, nullptr) << fine;
    ExFreePool(p);
  }
  EXPECT_EQ(rec.count(), 3u);
  EXPECT_EQ(host::pool::outstandingBytes(tag), 0u);
}

TEST(Pool, MisuseAsserts) {
  const ULONG tag = makeTag("Tmis");
  AssertRecorder rec;
  int local = 0;
  ExFreePool(&local);
  EXPECT_TRUE(rec.saw("did not allocate"));
  void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag);
  ExFreePoolWithTag(p, makeTag("Toth"));
  EXPECT_TRUE(rec.saw("tag other than"));
  EXPECT_EQ(host::pool::outstandingBytes(tag), 8u) << "a refused free keeps the block";
  ExFreePool(p);
  ExFreePool(p);  // twice
  EXPECT_EQ(rec.count(), 3u);

  host::setThreadIrql(DISPATCH_LEVEL);
  void* np = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag);
  EXPECT_EQ(rec.count(), 3u) << "non-paged pool is fine at DISPATCH_LEVEL";
  void* pp = ExAllocatePoolWithTag(PagedPool, 8, tag);
  EXPECT_TRUE(rec.saw("paged pool allocated above APC_LEVEL"));
  // Freeing follows the same rules: paged pool not at DISPATCH_LEVEL, nothing above it; a refused free keeps
  // the block.
  const size_t reports = rec.count();
  ExFreePool(pp);
  EXPECT_TRUE(rec.saw("paged pool freed above APC_LEVEL"));
  host::setThreadIrql(HIGH_LEVEL);
  ExFreePool(np);
  EXPECT_TRUE(rec.saw("pool freed above DISPATCH_LEVEL"));
  EXPECT_EQ(rec.count(), reports + 2);
  EXPECT_EQ(host::pool::outstandingBytes(tag), 16u);
  host::setThreadIrql(DISPATCH_LEVEL);
  ExFreePool(np);
  EXPECT_EQ(rec.count(), reports + 2) << "non-paged pool is freed fine at DISPATCH_LEVEL";
  host::setThreadIrql(PASSIVE_LEVEL);
  ExFreePool(pp);
  EXPECT_EQ(host::pool::outstandingBytes(tag), 0u);
}

}  // namespace
