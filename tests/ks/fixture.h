// Shared set-up of the framework tests: one or two boards of the test driver, the client's view of them, and
// assertions turned into test failures.
#pragma once
#include <gtest/gtest.h>

#include <memory>

#include "platform/host/client/client.h"
#include "platform/host/host.h"
#include "tests/ks/test_driver.h"

class KsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::setAssertHandler([this](const char* report) { asserts.push_back(report); });
    host::trace::discard();
    ksdrv::log().take();
    ksdrv::knobs() = ksdrv::Knobs{};
    board = std::make_unique<ksdrv::Board>(0x30005);
    ASSERT_EQ(board->start(), STATUS_SUCCESS);
  }
  void TearDown() override {
    board.reset();
    EXPECT_EQ(host::pool::outstandingBytes(ksdrv::kTag), 0u) << host::pool::report();
    host::setAssertHandler({});
  }

  host::client::FilterInfo only(const GUID& category) {
    auto v = host::client::enumerate(category, board->fdo.DriverObject);
    EXPECT_EQ(v.size(), 1u);
    return v.empty() ? host::client::FilterInfo{} : v[0];
  }
  std::unique_ptr<host::client::Filter> openTuner() {
    std::unique_ptr<host::client::Filter> f;
    EXPECT_EQ(host::client::Filter::open(only(KSCATEGORY_BDA_NETWORK_TUNER), f), STATUS_SUCCESS);
    return f;
  }
  std::unique_ptr<host::client::Filter> openCapture() {
    std::unique_ptr<host::client::Filter> f;
    EXPECT_EQ(host::client::Filter::open(only(KSCATEGORY_BDA_RECEIVER_COMPONENT), f), STATUS_SUCCESS);
    return f;
  }

  std::unique_ptr<ksdrv::Board> board;
  std::vector<std::string> asserts;
};
