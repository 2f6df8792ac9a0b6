// The card-wide driver object: register window, interrupt, DMA common buffer, TS rings, DPCs, the I2C mutex
// and the eight per-channel tuners. One per card, owned by the KSDEVICE's context.
#pragma once
#include "platform/platform.h"
#include "zadivo/pool_object.h"

class BDATuner;

// One per DMA channel: 1 MiB ring of transport-stream bytes between the DMA DPC and the capture pin's frames.
struct TsRing {
  ULONG capacity;
  ULONG read;   // R: next byte to read
  ULONG write;  // W: next byte to write
  ULONG reserved;
  UCHAR data[1];  // capacity bytes
};
inline constexpr ULONG kTsRingCapacity = 0x100000;
inline constexpr ULONG kTsRingAllocBytes = 0x100014;
inline constexpr ULONG kTsFrameBytes = 96256;  // 512 packets
inline constexpr ULONG kMaxTsPacketSize = 188;

ULONG ringFree(const TsRing* ring);
ULONG ringReadable(const TsRing* ring);
BOOLEAN ringWrite(TsRing* ring, const UCHAR* src, ULONG len);
BOOLEAN ringRead(TsRing* ring, UCHAR* dst, ULONG len);

// Pool tag whose bytes in memory read as the four characters given.
constexpr ULONG poolTag(const char (&t)[5]) {
  return ULONG(UCHAR(t[0])) | ULONG(UCHAR(t[1])) << 8 | ULONG(UCHAR(t[2])) << 16 | ULONG(UCHAR(t[3])) << 24;
}
inline constexpr ULONG kTagDevice = poolTag("Deva");
inline constexpr ULONG kTagRing = poolTag("ZOVA");

// A kernel mutex held for a scope (PASSIVE_LEVEL).
class MutexHold {
 public:
  explicit MutexHold(PKMUTEX mutex) : _p_mutex(mutex) {
    KeWaitForSingleObject(_p_mutex, Executive, KernelMode, FALSE, nullptr);
  }
  ~MutexHold() { KeReleaseMutex(_p_mutex, FALSE); }
  MutexHold(const MutexHold&) = delete;
  MutexHold& operator=(const MutexHold&) = delete;

 private:
  PKMUTEX _p_mutex;
};

struct DeviceChannel {
  PVOID p_pin;  // KSPIN of the capture pin
  BOOLEAN running;
};

struct DeviceBar {
  BOOLEAN valid;
  BOOLEAN is_port;
  BOOLEAN needs_mapping;
  ULONG64 port_address;
  PVOID p_mapped;
  PHYSICAL_ADDRESS phys_start;
  ULONG length;
  USHORT flags;
  UCHAR type;
};

inline constexpr ULONG kBarEntries = 7;

class Device {
 public:
  explicit Device(PKSDEVICE ksDevice);
  ~Device();

  // Framework dispatch (device descriptor).
  static NTSTATUS NTAPI dispatchCreate(PKSDEVICE ksDevice);
  static NTSTATUS NTAPI dispatchPnpStart(PKSDEVICE ksDevice, PIRP irp, PCM_RESOURCE_LIST translated,
                                         PCM_RESOURCE_LIST untranslated);
  static void NTAPI dispatchPnpStop(PKSDEVICE ksDevice, PIRP irp);
  static void NTAPI dispatchRemove(PKSDEVICE ksDevice, PIRP irp);
  static NTSTATUS NTAPI dispatchQueryPower(PKSDEVICE ksDevice, PIRP irp, DEVICE_POWER_STATE deviceTo,
                                           DEVICE_POWER_STATE deviceFrom, SYSTEM_POWER_STATE systemTo,
                                           SYSTEM_POWER_STATE systemFrom, POWER_ACTION action);
  static void NTAPI dispatchSetPower(PKSDEVICE ksDevice, PIRP irp, DEVICE_POWER_STATE to,
                                     DEVICE_POWER_STATE from);
  static NTSTATUS NTAPI dispatchQueryInterface(PKSDEVICE ksDevice, PIRP irp);

  NTSTATUS init(PCM_RESOURCE_LIST translatedResources);
  void unInit();
  NTSTATUS createTuners();
  NTSTATUS registerFilterFactories();
  // Stores the type byte as written and puts the tuners of its family in place, or leaves the stored byte
  // and the running tuners as they were and says why. Never tears the device down. PASSIVE_LEVEL; the work
  // runs in a work item this call waits for, so the caller may hold a filter's control mutex but must not
  // hold a RequestHold (a stop would wait for it while holding the device mutex the work item needs).
  NTSTATUS changeTunerType(UCHAR newType);
  // Per channel (index 0..7): commits on different channels run at once.
  void notifyTSPreChannelChange(ULONG channel);
  BOOLEAN notifyTSPostChannelChange(ULONG channel);

  // Tuners and filters. A filter being created takes the channel's current tuner if the filter's descriptor
  // is that tuner's (nullptr otherwise: a factory left from before a change); closing gives it back, and a
  // tuner that is no longer current goes with the last filter that held it.
  BDATuner* openTuner(ULONG index, const KSFILTER_DESCRIPTOR* descriptor);
  void closeTuner(BDATuner* tuner);

  // Hardware resources and start-up.
  NTSTATUS InitializeHW(PCM_RESOURCE_LIST translatedResources);
  NTSTATUS RetrieveResources(PCM_RESOURCE_LIST translatedResources);
  void UnmapResources();
  static NTSTATUS ReadWriteConfigSpace(PDEVICE_OBJECT pdo, BOOLEAN write, PVOID buffer, ULONG offset,
                                       ULONG length);
  static ULONG getBoardId(PDEVICE_OBJECT pdo);

  // Register primitives: no locking, any IRQL.
  ULONG readRegister(ULONG address);
  void writeRegister(ULONG address, ULONG value);
  void readRegisterBuffer(ULONG address, ULONG count, PULONG out);

  // I2C building blocks: caller holds the I2C mutex, PASSIVE_LEVEL.
  void i2cSetMode(ULONG master, ULONG value);
  void i2cBeginOp(ULONG master);
  bool i2cWaitOp(ULONG master);
  bool i2cRead(ULONG master, UCHAR slave, const UCHAR* subAddress, ULONG subAddressLength, PUCHAR out,
               ULONG length);
  bool i2cReadShort(ULONG master, UCHAR slave, const UCHAR* subAddress, ULONG subAddressLength, PUCHAR out,
                    ULONG length);
  bool i2cWrite(ULONG master, UCHAR slave, ULONG length, const UCHAR* data);

  // Locked I2C operations: take the I2C mutex, up to three attempts.
  bool i2cReadRegister(ULONG master, UCHAR slave, UCHAR subAddress, PUCHAR out, ULONG length);
  bool i2cReadBurst(ULONG master, UCHAR slave, PUCHAR out, ULONG length);
  bool i2cWriteBurst(ULONG master, UCHAR slave, const UCHAR* data, ULONG length);
  // once: a single attempt, for a write its caller has to prepare again before repeating it.
  bool i2cWriteRegister(ULONG master, UCHAR slave, UCHAR reg, const UCHAR* data, ULONG length,
                        bool once = false);
  NTSTATUS i2cReadInterface(ULONG master, UCHAR slave, const UCHAR* subAddress, ULONG subAddressLength,
                            PUCHAR out, ULONG length);
  // A write to a serial EEPROM at offset: like i2cWriteRegister, but an attempt that failed first waits for
  // the part to take its address again, since a transfer cut short still starts a write cycle.
  bool i2cWriteEeprom(ULONG master, UCHAR slave, UCHAR offset, const UCHAR* data, ULONG length);
  ULONG DVB_SET_DemodReset(ULONG offset);
  // Chunked read after a one-byte sub-address (EEPROM), under the mutex with three attempts.
  bool i2cReadSubAddressed(ULONG master, UCHAR slave, UCHAR subAddress, PUCHAR out, ULONG length);
  // A register block: the register number as a write transfer of its own, then a burst read, under the mutex
  // with three attempts of the pair (a burst read resumes where the slave's pointer stands).
  bool i2cReadBlock(ULONG master, UCHAR slave, UCHAR reg, PUCHAR out, ULONG length);

  // Transport-stream DMA. pinObject is the capture pin's object, whose first field is its KSPIN. A start
  // while another pin streams the channel is refused with STATUS_DEVICE_BUSY; a stop with a pin object leaves
  // a channel streaming into another pin alone (without one, it stops whatever runs).
  NTSTATUS startTS(ULONG channel, PVOID pinObject);
  NTSTATUS startTS0(PVOID pinObject, ULONG blockBase);
  NTSTATUS startTS1(PVOID pinObject, ULONG blockBase);
  NTSTATUS startTS2(PVOID pinObject, ULONG blockBase);
  NTSTATUS startTS3(PVOID pinObject, ULONG blockBase);
  NTSTATUS startTS4(PVOID pinObject, ULONG blockBase);
  NTSTATUS startTS5(PVOID pinObject, ULONG blockBase);
  NTSTATUS startTS6(PVOID pinObject, ULONG blockBase);
  NTSTATUS startTS7(PVOID pinObject, ULONG blockBase);
  void stopTS(ULONG blockBase, PVOID pinObject = nullptr);
  void powerUpDma();

  static BOOLEAN NTAPI isr(PKINTERRUPT interrupt, PVOID context);
  static void NTAPI i2cDpc(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
  static void NTAPI dmaDpc(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);

  // Named views of the prescribed _dpc and _mutex slots.
  PKDPC i2cDpcOf(ULONG k) { return &_dpc[k]; }
  PKDPC dmaDpcOf(ULONG n) { return &_dpc[4 + n]; }
  PKMUTEX i2cMutex() { return &_mutex[0]; }
  PKMUTEX repeaterWindow(ULONG k) { return &_mutex[1 + k]; }

  // Accessors used by tuners, filters and pins.
  ULONG boardId() const { return _board_id; }
  BDATuner* tuner(ULONG index) const { return index < 8 ? _p_tuner[index] : nullptr; }
  PKSDEVICE ksDevice() const { return _p_ks_device; }
  static constexpr ULONG maxTsPacketSize() { return kMaxTsPacketSize; }

  ZD_POOL_OBJECT

  // Fields in declaration order. Lock or context that guards each shared one is noted.
  PDEVICE_OBJECT _p_lower_device;
  DeviceChannel _channel[8];  // p_pin before running; running read by the DMA DPC
  TsRing* _p_ts_ring[8];      // ring n: _channel_lock[n]
  KDPC _dpc[12];              // [0..3] I2C masters, [4..11] DMA channels
  KSPIN_LOCK _spare_lock;
  KSPIN_LOCK _channel_lock[8];
  KMUTEX _mutex[8];  // [0] serialises every I2C transfer and the demod reset lines
  PKSDEVICE _p_ks_device;
  ULONG _board_id;
  ULONG _initialized;
  ULONG _power_state;
  BDATuner* _p_tuner[8];
  BOOLEAN _channel_change[8];  // per channel, under _channel_lock of the channel
  ULONG _resource_count;
  DeviceBar _bar[kBarEntries];
  UCHAR _pci_config[256];
  PDMA_ADAPTER _p_dma_adapter;
  PHYSICAL_ADDRESS _dma_buffer_phys;
  PVOID _p_dma_buffer;
  ULONG _map_registers;
  BOOLEAN _dma_ready;
  ULONG _dma_buffer_size;
  ULONG _bus_number;
  USHORT _device_number;
  USHORT _function_number;
  ULONG _ui_number;
  BOOLEAN _has_interrupt;
  ULONG _irq_vector;
  UCHAR _irq_level;
  ULONG _irq_mode;
  ULONG64 _irq_affinity;
  PKINTERRUPT _p_interrupt;
  KEVENT _i2c_done[4];
  // Tuners no longer current that filters still hold, chained through BDATuner::_p_next_retired: replaced
  // by a tuner-type change (their filters keep using them) or torn down by unInit (detached: their filters
  // are refused). Each goes when its last filter closes.
  BDATuner* _p_retired_tuners;
  // The tuner set (_p_tuner, the retired chain, the tuners' filter counts), held across a tuner-type change.
  // Taken after the framework's device mutex (KsAcquireDevice; filter creation runs under it) and before any
  // tuner-demod object lock.
  KMUTEX _tuner_set_lock;
  // Requests that reach the tuners or the card hold a reference (RequestHold); stop and remove run it down,
  // waiting for those in flight. Run down whenever the device is not started.
  EX_RUNDOWN_REF _requests;
  PKSFILTERFACTORY _p_capture_factory[8];
  // Blocks the card overwrote while the DMA DPC copied them, dropped; per channel, under _channel_lock.
  ULONG _lapped_blocks[8];
  // Blocks dropped because the ring was full: the capture pin gave no frame to empty it into (an application
  // that keeps no read queued). Per channel, under _channel_lock.
  ULONG _unread_blocks[8];

 private:
  volatile ULONG* registerPointer(ULONG address) const;
  bool i2cReadOp(ULONG master, ULONG control, PUCHAR out, ULONG count);
  void i2cAwaitEeprom(ULONG master, UCHAR slave, UCHAR offset);
  void dmaDpcChannel(ULONG n);
  void programDmaChannels();
  void enableInterrupts();
  void dumpPciConfig();
  void powerUpTuners();
  static void NTAPI changeTunerTypeWork(PDEVICE_OBJECT deviceObject, PVOID context);
  NTSTATUS swapTunerType(UCHAR newType);
  void retireTuners();
  void retire(BDATuner* tuner);
  void deleteFactories();
  void lockI2c();
  void unlockI2c();
  static constexpr int kAttempts = 3;
  template <class Op>
  bool i2cAttempts(Op op, int attempts = kAttempts);

  // Next block of each channel that the DMA DPC has not copied yet (0..7); written at start and by the DPC
  // under _channel_lock[n].
  UCHAR _next_block[8];
};

// Keeps the device started for the length of one request: stop and remove wait for it. Refused (false) once
// they have begun, and while the device is not started.
class RequestHold {
 public:
  explicit RequestHold(Device* device)
      : _p_device(device && ExAcquireRundownProtection(&device->_requests) ? device : nullptr) {}
  ~RequestHold() {
    if (_p_device) ExReleaseRundownProtection(&_p_device->_requests);
  }
  RequestHold(const RequestHold&) = delete;
  RequestHold& operator=(const RequestHold&) = delete;
  explicit operator bool() const { return _p_device != nullptr; }

 private:
  Device* _p_device;
};

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
