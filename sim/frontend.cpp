// Builds and wires the eight demodulator/tuner pairs.
#include "sim/frontend.h"

#include <stdexcept>

#include "sim/card.h"

namespace sim {

FrontEnds::FrontEnds(std::shared_ptr<Air> air, const Attach& attach, ChipOptions options)
    : air_(std::move(air)) {
  if (!air_) air_ = Air::makeDefault();
  for (int p = 1; p <= kPaths; ++p) {
    size_t i = index(p);
    tuners_[i] = std::make_unique<TunerModel>(air_, options.tuner);
    demods_[i] = std::make_unique<DemodModel>(demodMainAddress(p), air_, *tuners_[i], options.demod);
    if (attach) {
      attach(masterOf(p), demods_[i].get());
      attach(masterOf(p), &demods_[i]->repeaterPort());
    }
  }
}

FrontEnds::FrontEnds(Card& card, std::shared_ptr<Air> air, ChipOptions options)
    : FrontEnds(
          std::move(air), [&card](int m, I2cSlave* s) { card.i2cBus(m).addSlave(s); }, options) {
  card_ = &card;
  for (int p = 1; p <= kPaths; ++p) setReset(p, card.demodInReset(p - 1));
  card.setResetListener([this](int n, bool held) {
    if (n >= 0 && n < kPaths) setReset(n + 1, held);
  });
  for (int p = 1; p <= kPaths; ++p)
    setStreamListener(p, [this, p] { card_->setChannelSource(p - 1, stream(p)); });
}

FrontEnds::~FrontEnds() {
  if (!card_) return;
  card_->setResetListener(nullptr);
  for (int p = 1; p <= kPaths; ++p) {
    demod(p).setStreamListener(nullptr);
    card_->i2cBus(masterOf(p)).removeSlave(&demod(p).repeaterPort());
    card_->i2cBus(masterOf(p)).removeSlave(&demod(p));
    card_->setChannelSource(p - 1, nullptr);
  }
}

size_t FrontEnds::index(int path) {
  if (path < 1 || path > kPaths) throw std::out_of_range("path " + std::to_string(path) + " is not 1..8");
  return static_cast<size_t>(path - 1);
}

void FrontEnds::setResetAll(bool held) {
  for (auto& d : demods_) d->setReset(held);
}

void FrontEnds::setStreamListener(int path, std::function<void()> listener) {
  demod(path).setStreamListener(std::move(listener));
}

}  // namespace sim
