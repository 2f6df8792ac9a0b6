// The card's eight receive paths: a demodulator and its tuner per path, attached to the I2C master of the
// path (path p on master (p-1)/2; the tuner through the demodulator's repeater port). The card model
// creates one FrontEnds and asks it for each path's stream and reset line.
#pragma once
#include <array>
#include <functional>
#include <memory>

#include "sim/air.h"
#include "sim/demod_model.h"
#include "sim/tuner_model.h"

namespace sim {

class Card;

struct ChipOptions {
  DemodOptions demod;
  TunerOptions tuner;
};

class FrontEnds {
 public:
  static constexpr int kPaths = 8;
  // attach(master 0..3, slave) puts a slave on a master's bus; every slave stays owned by FrontEnds and
  // must be detached (or the bus gone) before FrontEnds is destroyed.
  using Attach = std::function<void(int master, I2cSlave* slave)>;

  FrontEnds(std::shared_ptr<Air> air, const Attach& attach, ChipOptions options = {});
  // Wired to a card: slaves on its four buses, its reset lines drive the demodulators, and each path's
  // stream feeds the DMA channel of the same instance. The card must outlive this object.
  FrontEnds(Card& card, std::shared_ptr<Air> air, ChipOptions options = {});
  ~FrontEnds();
  FrontEnds(const FrontEnds&) = delete;
  FrontEnds& operator=(const FrontEnds&) = delete;

  static int masterOf(int path) { return (path - 1) / 2; }

  DemodModel& demod(int path) { return *demods_.at(index(path)); }
  TunerModel& tuner(int path) { return *tuners_.at(index(path)); }
  // Reset line of one path, or of all of them (the card drives them together).
  void setReset(int path, bool held) { demod(path).setReset(held); }
  void setResetAll(bool held);
  std::shared_ptr<TsSource> stream(int path) { return demod(path).stream(); }
  void setStreamListener(int path, std::function<void()> listener);
  Air& air() { return *air_; }

 private:
  static size_t index(int path);
  Card* card_ = nullptr;
  std::shared_ptr<Air> air_;
  std::array<std::unique_ptr<TunerModel>, kPaths> tuners_;
  std::array<std::unique_ptr<DemodModel>, kPaths> demods_;
};

}  // namespace sim
