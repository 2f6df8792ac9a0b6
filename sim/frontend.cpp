// Builds and wires the eight demodulator/tuner pairs.
#include "sim/frontend.h"

#include <stdexcept>

#include "sim/card.h"

namespace sim {

FrontEnds::FrontEnds(std::shared_ptr<Air> air, const Attach& attach, ChipOptions options)
    : _air(std::move(air)) {
  if (!_air) _air = Air::makeDefault();
  for (int p = 1; p <= kPaths; ++p) {
    size_t i = index(p);
    _tuners[i] = std::make_unique<TunerModel>(_air, options.tuner);
    _demods[i] = std::make_unique<DemodModel>(demodMainAddress(p), _air, *_tuners[i], options.demod);
    if (attach) {
      attach(masterOf(p), _demods[i].get());
      attach(masterOf(p), &_demods[i]->repeaterPort());
    }
  }
}

FrontEnds::FrontEnds(Card& card, std::shared_ptr<Air> air, ChipOptions options)
    : FrontEnds(
          std::move(air), [&card](int m, I2cSlave* s) { card.i2cBus(m).addSlave(s); }, options) {
  _card = &card;
  for (int p = 1; p <= kPaths; ++p) setReset(p, card.demodInReset(p - 1));
  card.setResetListener([this](int n, bool held) {
    if (n >= 0 && n < kPaths) setReset(n + 1, held);
  });
  for (int p = 1; p <= kPaths; ++p)
    setStreamListener(p, [this, p] { _card->setChannelSource(p - 1, stream(p)); });
}

FrontEnds::~FrontEnds() {
  if (!_card) return;
  _card->setResetListener(nullptr);
  for (int p = 1; p <= kPaths; ++p) {
    demod(p).setStreamListener(nullptr);
    _card->i2cBus(masterOf(p)).removeSlave(&demod(p).repeaterPort());
    _card->i2cBus(masterOf(p)).removeSlave(&demod(p));
    _card->setChannelSource(p - 1, nullptr);
  }
}

size_t FrontEnds::index(int path) {
  if (path < 1 || path > kPaths) throw std::out_of_range("path " + std::to_string(path) + " is not 1..8");
  return static_cast<size_t>(path - 1);
}

void FrontEnds::setResetAll(bool held) {
  for (auto& d : _demods) d->setReset(held);
}

void FrontEnds::setStreamListener(int path, std::function<void()> listener) {
  demod(path).setStreamListener(std::move(listener));
}

}  // namespace sim
