// Lifetimes the driver controls at run time: factories created and deleted after start (under the device
// mutex, their interfaces switched by the driver), a factory deleted under an open filter, and object-bag
// items shared by several bags.
#include <mutex>

#include "platform/host/ks/ks_host.h"
#include "platform/host/ks/ks_internal.h"
#include "tests/ks/fixture.h"

namespace {

// What a driver does around a factory change after start.
NTSTATUS deleteFactory(ksdrv::Board& board, PKSFILTERFACTORY factory) {
  KsAcquireDevice(&board.ks);
  NTSTATUS s = KsDeleteFilterFactory(factory);
  KsReleaseDevice(&board.ks);
  return s;
}

size_t listedTuners(ksdrv::Board& board) {
  return host::client::enumerate(KSCATEGORY_BDA_NETWORK_TUNER, board.fdo.DriverObject).size();
}

TEST_F(KsTest, DeletedFactoryKeepsItsOpenFilterAndGoesWithIt) {
  auto tuner = openTuner();
  const size_t factories = host::ks::liveFactories();
  ASSERT_EQ(deleteFactory(*board, board->tunerFactory), STATUS_SUCCESS);

  // No longer listed or openable, and no longer the driver's to use...
  EXPECT_TRUE(host::client::enumerate(KSCATEGORY_BDA_NETWORK_TUNER, board->fdo.DriverObject).empty());
  EXPECT_EQ(KsFilterFactoryUpdateCacheData(board->tunerFactory, nullptr), STATUS_INVALID_PARAMETER);
  // ... but the filter opened before still works, and the factory's bag is still whole.
  ULONG v = 0;
  EXPECT_EQ(tuner->getNodeProperty(0, KSPROPSETID_BdaFrequencyFilter, 0, &v, 4).status, STATUS_SUCCESS);
  EXPECT_EQ(host::ks::liveFactories(), factories);
  ksdrv::log().take();

  tuner->close();
  auto log = ksdrv::log().take();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "free factory item");
  EXPECT_EQ(host::ks::liveFactories(), factories - 1);
}

TEST_F(KsTest, DeletingAnIdleFactoryFreesItAtOnce) {
  const size_t factories = host::ks::liveFactories();
  ASSERT_EQ(deleteFactory(*board, board->tunerFactory), STATUS_SUCCESS);
  EXPECT_EQ(ksdrv::log().take().back(), "free factory item");
  EXPECT_EQ(host::ks::liveFactories(), factories - 1);
  EXPECT_EQ(deleteFactory(*board, board->tunerFactory), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(asserts.empty());
}

// After start a new factory's interfaces stay off until the driver turns them on: applications neither list
// nor open it before, and the framework's rules hold the driver to the device mutex.
TEST_F(KsTest, FactoryCreatedAfterStartIsListedOnlyOnceEnabled) {
  ASSERT_EQ(deleteFactory(*board, board->tunerFactory), STATUS_SUCCESS);
  PKSFILTERFACTORY factory = nullptr;
  KsAcquireDevice(&board->ks);
  ASSERT_EQ(BdaCreateFilterFactoryEx(&board->ks, &board->tunerDesc, &board->tmpl, &factory), STATUS_SUCCESS);
  ASSERT_EQ(BdaFilterFactoryUpdateCacheData(factory, &board->tunerDesc), STATUS_SUCCESS);
  KsReleaseDevice(&board->ks);
  EXPECT_EQ(listedTuners(*board), 0u);

  ASSERT_EQ(KsFilterFactorySetDeviceClassesState(factory, TRUE), STATUS_SUCCESS);
  auto stale = only(KSCATEGORY_BDA_NETWORK_TUNER);
  auto tuner = openTuner();
  ASSERT_NE(tuner, nullptr);
  ASSERT_EQ(KsFilterFactorySetDeviceClassesState(factory, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(listedTuners(*board), 0u);
  std::unique_ptr<host::client::Filter> again;
  EXPECT_EQ(host::client::Filter::open(stale, again), STATUS_OBJECT_NAME_NOT_FOUND);
  tuner->close();
  EXPECT_EQ(deleteFactory(*board, factory), STATUS_SUCCESS);
  EXPECT_TRUE(asserts.empty()) << asserts.front();
}

TEST_F(KsTest, FactoryChangesAfterStartWithoutTheDeviceMutexAssert) {
  EXPECT_EQ(KsDeleteFilterFactory(board->captureFactory), STATUS_SUCCESS);
  ASSERT_EQ(asserts.size(), 1u);
  EXPECT_NE(asserts[0].find("KsDeleteFilterFactory after start without the device mutex"), std::string::npos);
  PKSFILTERFACTORY factory = nullptr;
  EXPECT_EQ(KsCreateFilterFactory(&board->fdo, &board->captureDesc, nullptr, nullptr,
                                  KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, &factory),
            STATUS_SUCCESS);
  ASSERT_EQ(asserts.size(), 2u);
  EXPECT_NE(asserts[1].find("KsCreateFilterFactory after start without the device mutex"), std::string::npos);
}

// The device mutex comes before a filter's control mutex, never after it.
TEST_F(KsTest, DeviceMutexUnderAControlMutexAsserts) {
  host::ks::detail::ControlMutex control;
  {
    std::lock_guard<host::ks::detail::ControlMutex> g(control);
    KsAcquireDevice(&board->ks);
    KsReleaseDevice(&board->ks);
  }
  ASSERT_EQ(asserts.size(), 1u);
  EXPECT_NE(asserts[0].find("KsAcquireDevice while holding a filter's control mutex"), std::string::npos);
  KsAcquireDevice(&board->ks);
  {
    std::lock_guard<host::ks::detail::ControlMutex> g(control);
    KsAcquireDevice(&board->ks);  // already the owner: a recursive acquisition is fine
    KsReleaseDevice(&board->ks);
  }
  KsReleaseDevice(&board->ks);
  KsReleaseDevice(&board->ks);
  EXPECT_EQ(asserts.size(), 2u) << "a release without the mutex is refused";
}

TEST_F(KsTest, AnItemInSeveralBagsIsFreedWithTheLastOfThem) {
  const size_t before = host::pool::outstandingBytes(ksdrv::kTag);
  KSOBJECT_BAG staging = nullptr, other = nullptr;
  ASSERT_EQ(KsAllocateObjectBag(&board->ks, &staging), STATUS_SUCCESS);
  ASSERT_EQ(KsAllocateObjectBag(&board->ks, &other), STATUS_SUCCESS);
  void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 8, ksdrv::kTag);
  void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 8, ksdrv::kTag);
  ASSERT_EQ(KsAddItemToObjectBag(staging, a, nullptr), STATUS_SUCCESS);
  ASSERT_EQ(KsAddItemToObjectBag(staging, b, nullptr), STATUS_SUCCESS);
  ASSERT_EQ(KsCopyObjectBagItems(other, staging), STATUS_SUCCESS);

  KsFreeObjectBag(staging);
  EXPECT_EQ(host::pool::outstandingBytes(ksdrv::kTag), before + 16)
      << "both items are still in the other bag";
  EXPECT_EQ(KsRemoveItemFromObjectBag(other, a, TRUE), 1u);
  EXPECT_EQ(host::pool::outstandingBytes(ksdrv::kTag), before + 8);
  KsFreeObjectBag(other);
  EXPECT_EQ(host::pool::outstandingBytes(ksdrv::kTag), before);
}

}  // namespace
