// Transport-stream capture: the ISR, the DMA DPCs moving blocks from the common buffer into the per-channel
// rings and from there into the capture pin's frames, and channel start/stop.
#include "hw/dma_regs.h"
#include "hw/irq_regs.h"
#include "trace/trace.h"
#include "zadivo/device.h"

namespace {
// The ring's data sits 16 bytes into its allocation while the common buffer and the frames are page aligned,
// so a forward copy has its stores running just ahead of its loads modulo 4 KiB; the processor then takes
// each load for one that depends on a recent store and the copy runs an order of magnitude slower. Copying
// such a pair backwards in 64-byte steps keeps the two streams apart.
void copyBytes(UCHAR* dst, const UCHAR* src, ULONG len) {
  const ULONG_PTR ahead = (reinterpret_cast<ULONG_PTR>(dst) - reinterpret_cast<ULONG_PTR>(src)) & 4095;
  if (ahead == 0 || ahead >= 64) {
    RtlCopyMemory(dst, src, len);
    return;
  }
  typedef UCHAR Lane __attribute__((vector_size(16)));  // what every x64 processor moves in one go
  ULONG i = len & ~63u;
  RtlCopyMemory(dst + i, src + i, len - i);
  while (i) {
    i -= 64;
    Lane a, b, c, d;  // all four loaded before any store: the loads stay clear of the stores
    __builtin_memcpy(&a, src + i, 16);
    __builtin_memcpy(&b, src + i + 16, 16);
    __builtin_memcpy(&c, src + i + 32, 16);
    __builtin_memcpy(&d, src + i + 48, 16);
    __builtin_memcpy(dst + i, &a, 16);
    __builtin_memcpy(dst + i + 16, &b, 16);
    __builtin_memcpy(dst + i + 32, &c, 16);
    __builtin_memcpy(dst + i + 48, &d, 16);
  }
}
}  // namespace

ULONG ringFree(const TsRing* ring) {
  const ULONG r = ring->read, w = ring->write;
  if (r == w) return ring->capacity;
  return r > w ? r - w - 1 : ring->capacity - w + r - 1;
}

// One less than the bytes held: a read never empties a non-empty ring.
ULONG ringReadable(const TsRing* ring) {
  const ULONG r = ring->read, w = ring->write;
  if (r == w) return 0;
  return r > w ? ring->capacity - r + w - 1 : w - r - 1;
}

BOOLEAN ringWrite(TsRing* ring, const UCHAR* src, ULONG len) {
  if (ringFree(ring) < len) return FALSE;
  const ULONG w = ring->write;
  const ULONG tail = ring->capacity - w;
  if (tail < len) {
    copyBytes(ring->data + w, src, tail);
    copyBytes(ring->data, src + tail, len - tail);
  } else {
    copyBytes(ring->data + w, src, len);
  }
  ring->write = (w + len) % ring->capacity;
  return TRUE;
}

BOOLEAN ringRead(TsRing* ring, UCHAR* dst, ULONG len) {
  if (ringReadable(ring) < len) return FALSE;
  const ULONG r = ring->read;
  const ULONG tail = ring->capacity - r;
  if (tail < len) {
    copyBytes(dst, ring->data + r, tail);
    copyBytes(dst + tail, ring->data, len - tail);
  } else {
    copyBytes(dst, ring->data + r, len);
  }
  ring->read = (r + len) % ring->capacity;
  return TRUE;
}

BOOLEAN Device::isr(PKINTERRUPT, PVOID context) {
  Device* device = static_cast<Device*>(context);
  ULONG status;
  device->readRegisterBuffer(hw::irq::kStatus, 1, &status);
  device->writeRegister(hw::irq::kStatus, status);
  if ((status & hw::irq::kCardBits) == 0) {
    device->writeRegister(hw::irq::kMasterEnable, 1);
    return FALSE;
  }
  for (int n = 0; n < 8; ++n)
    if (status & hw::irq::kDmaBit(n)) KeInsertQueueDpc(device->dmaDpcOf(n), nullptr, nullptr);
  for (int k = 3; k >= 0; --k)
    if (status & hw::irq::kI2cBit(k)) KeInsertQueueDpc(device->i2cDpcOf(k), nullptr, nullptr);
  device->writeRegister(hw::irq::kMasterEnable, 1);
  return TRUE;
}

void Device::dmaDpc(PKDPC dpc, PVOID context, PVOID, PVOID) {
  Device* device = static_cast<Device*>(context);
  device->dmaDpcChannel(static_cast<ULONG>(dpc - device->dmaDpcOf(0)));
}

namespace {
// The slot the card fills now (the block counter of a channel's control register).
ULONG fillingSlot(Device* device, ULONG n) {
  return (device->readRegister(hw::dma::kBlockBase[n] + hw::dma::kControl) & 0xFF) % hw::dma::kBlocksPerSlice;
}
}  // namespace

// Copies every block completed since the last run (a queued DPC is not queued again, so one run may stand for
// several interrupts), then hands over every whole frame the ring holds.
void Device::dmaDpcChannel(ULONG n) {
  KeAcquireSpinLockAtDpcLevel(&_channel_lock[n]);
  const ULONG next = fillingSlot(this, n);
  if (_p_dma_buffer && _channel[n].running) {
    TsRing* ring = _p_ts_ring[n];
    const PUCHAR slice = static_cast<PUCHAR>(_p_dma_buffer) + n * hw::dma::kSliceBytes;
    ULONG block = _next_block[n];
    // Eight pending blocks are indistinguishable from none; the counter cannot tell them apart.
    while (block != next) {
      const ULONG write = ring->write;
      // A full ring drops the block and counts it.
      if (!ringWrite(ring, slice + block * hw::dma::kBlockBytes, hw::dma::kBlockBytes)) {
        ++_unread_blocks[n];
      } else {
        // With a backlog the card may have come round to this slot during the copy: it has started every slot
        // from `next` to the one it fills now. Such a copy mixes two laps and is dropped whole.
        const ULONG started =
            (fillingSlot(this, n) + hw::dma::kBlocksPerSlice - next) % hw::dma::kBlocksPerSlice;
        if ((block + hw::dma::kBlocksPerSlice - next) % hw::dma::kBlocksPerSlice <= started) {
          ring->write = write;
          ++_lapped_blocks[n];
        }
      }
      block = (block + 1) % hw::dma::kBlocksPerSlice;
    }
    _next_block[n] = static_cast<UCHAR>(block);
    PKSPIN pin = static_cast<PKSPIN>(_channel[n].p_pin);
    while (pin && ringReadable(ring) >= kTsFrameBytes) {
      PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
      if (!sp) break;
      const ULONG count = sp->OffsetOut.Count < kTsFrameBytes ? sp->OffsetOut.Count : kTsFrameBytes;
      ringRead(ring, sp->OffsetOut.Data, count);
      KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, count, FALSE);
    }
  } else {
    _next_block[n] = static_cast<UCHAR>(next);
  }
  KeReleaseSpinLockFromDpcLevel(&_channel_lock[n]);
}

// A channel streams into one capture pin: a second capture filter of the same channel is refused instead of
// taking the stream over, and its later stop leaves the first one's stream alone.
NTSTATUS Device::startTS(ULONG n, PVOID pinObject) {
  // The capture pin object's first field is its KSPIN.
  const PVOID pin = *static_cast<PKSPIN*>(pinObject);
  const ULONG base = hw::dma::kBlockBase[n];
  // A started channel fills its slice from block 0: whatever the slice held before is not this run's. The
  // DPC reads the counter under the same lock, so it sees either the old run stopped or the new one started.
  KIRQL irql;
  KeAcquireSpinLock(&_channel_lock[n], &irql);
  if (_channel[n].running && _channel[n].p_pin != pin) {
    KeReleaseSpinLock(&_channel_lock[n], irql);
    ZERROR("startTS%d: the channel streams into another capture pin\n", static_cast<int>(n));
    return STATUS_DEVICE_BUSY;
  }
  // A start begins an empty stream: the rest the ring kept from the last run is not this run's.
  if (!_channel[n].running && _p_ts_ring[n]) _p_ts_ring[n]->read = _p_ts_ring[n]->write = 0;
  _channel[n].p_pin = pin;
  readRegister(base + hw::dma::kControl);
  _next_block[n] = 0;
  _channel[n].running = TRUE;
  writeRegister(hw::irq::dmaEnable(static_cast<int>(n)), 1);
  writeRegister(base + hw::dma::kControl, 1);
  KeReleaseSpinLock(&_channel_lock[n], irql);
  ZTRACE("@@@@@@@@@@startTS%d \n", static_cast<int>(n));
  return STATUS_SUCCESS;
}

NTSTATUS Device::startTS0(PVOID pinObject, ULONG) { return startTS(0, pinObject); }
NTSTATUS Device::startTS1(PVOID pinObject, ULONG) { return startTS(1, pinObject); }
NTSTATUS Device::startTS2(PVOID pinObject, ULONG) { return startTS(2, pinObject); }
NTSTATUS Device::startTS3(PVOID pinObject, ULONG) { return startTS(3, pinObject); }
NTSTATUS Device::startTS4(PVOID pinObject, ULONG) { return startTS(4, pinObject); }
NTSTATUS Device::startTS5(PVOID pinObject, ULONG) { return startTS(5, pinObject); }
NTSTATUS Device::startTS6(PVOID pinObject, ULONG) { return startTS(6, pinObject); }
NTSTATUS Device::startTS7(PVOID pinObject, ULONG) { return startTS(7, pinObject); }

void Device::stopTS(ULONG blockBase, PVOID pinObject) {
  const int n = hw::dma::channelOfBase(blockBase);
  KIRQL irql = PASSIVE_LEVEL;
  if (n >= 0) {
    // Under the channel lock: once this returns no DPC is still copying into the pin's frames, so the pin
    // may delete its clones and the framework may recycle the frames.
    KeAcquireSpinLock(&_channel_lock[n], &irql);
    if (pinObject && _channel[n].running && _channel[n].p_pin != *static_cast<PKSPIN*>(pinObject)) {
      KeReleaseSpinLock(&_channel_lock[n], irql);
      return;  // another pin's stream
    }
  }
  readRegister(blockBase + hw::dma::kControl);
  if (n >= 0) {
    writeRegister(hw::irq::dmaEnable(n), 0);
    _channel[n].running = FALSE;
  }
  writeRegister(blockBase + hw::dma::kControl, 0);
  if (n >= 0) KeReleaseSpinLock(&_channel_lock[n], irql);
  ZTRACE("@@@@@@@@@@@@@@@@stopTS\n");
}

void Device::powerUpDma() {
  if (_p_dma_buffer) RtlZeroMemory(_p_dma_buffer, _dma_buffer_size);
  programDmaChannels();
  enableInterrupts();
}
