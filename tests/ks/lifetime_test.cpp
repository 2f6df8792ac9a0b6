// Lifetimes the driver controls at run time: a factory deleted under an open filter, and object-bag items
// shared by several bags.
#include "platform/host/ks/ks_host.h"
#include "tests/ks/fixture.h"

namespace {

TEST_F(KsTest, DeletedFactoryKeepsItsOpenFilterAndGoesWithIt) {
  auto tuner = openTuner();
  const size_t factories = host::ks::liveFactories();
  ASSERT_EQ(KsDeleteFilterFactory(board->tunerFactory), STATUS_SUCCESS);

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
  ASSERT_EQ(KsDeleteFilterFactory(board->tunerFactory), STATUS_SUCCESS);
  EXPECT_EQ(ksdrv::log().take().back(), "free factory item");
  EXPECT_EQ(host::ks::liveFactories(), factories - 1);
  EXPECT_EQ(KsDeleteFilterFactory(board->tunerFactory), STATUS_INVALID_PARAMETER);
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
