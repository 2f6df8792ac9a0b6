// Descriptor and routing tables of the BDA network-tuner filter family: four variants per channel that
// differ in the demodulator node and in which node tables they carry. Every variant has this topology:
//
//                 +-------------------- tuner filter (CFilter) ---------------------+
//   antenna  pin0 |--> [node 0: RF tuner] --(conn 1)--> [node 1: demodulator] -->   | pin1  transport
//   (CAntennaPin) |  conn 0                                               conn 2    | (CTransportPin)
//                 +------------------------------------------------------------------+
//
//   variant 1: RF tuner table 1 + QPSK demodulator, demod table 1 (fallback for a type of no family)
//   variant 2: RF tuner table 2 + COFDM demodulator, demod table 2 (types 1, 5, 7)
//   variant 3: RF tuner table 1 + QAM demodulator,   demod table 1 (types 4, 6, 8)
//   variant 4: RF tuner table 2 + 8VSB demodulator,  demod table 2 (type 3)
//
// Node properties of node 0 arrive through the antenna pin, those of node 1 through the transport pin; the
// antenna pin also carries the extended set in its own table, for requests that address the pin rather than
// the node. The tables are shared by the eight channels, whose handlers find their channel through the pin's
// filter, except that channel A's extended set also has the SPI flash members (ids 100..103).
// The transport pin's medium is per channel and carries Id 0 here: the factory's copy gets the board id.
#include "zadivo/antennapin.h"
#include "zadivo/bdatuner.h"
#include "zadivo/demodfilter.h"
#include "zadivo/filter_descriptors.h"
#include "zadivo/transportpin.h"

namespace {

// Every request on a tuner filter keeps the card started while it runs: stop and remove wait for it, and on
// a card that is not started it is refused before a handler looks at a tuner.
Device* deviceOf(PIRP irp) {
  PKSFILTER filter = KsGetFilterFromIrp(irp);
  PKSDEVICE ksDevice = filter ? KsGetDevice(filter) : nullptr;
  return ksDevice ? static_cast<Device*>(ksDevice->Context) : nullptr;
}

template <PFNKSHANDLER handler>
NTSTATUS NTAPI held(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  RequestHold hold(deviceOf(irp));
  return hold ? handler(irp, request, data) : STATUS_DEVICE_NOT_READY;
}
template <PFNKSHANDLER handler>
constexpr PFNKSHANDLER kHeld = held<handler>;
template <>
constexpr PFNKSHANDLER kHeld<nullptr> = nullptr;
// The tuner-type change waits for a work item that takes the device mutex; a stop holds that mutex while it
// waits for the requests it runs down, so this request must not be one of them. The change holds the card
// started itself.
template <>
constexpr PFNKSHANDLER kHeld<CAntennaPin::SetDemodMode> = CAntennaPin::SetDemodMode;

}  // namespace

// A node property: KSP_NODE request, one 32-bit value unless stated.
#define ZD_NODE_PROPERTY(id, get, set, minData) \
  { (id), {kHeld<(get)>}, sizeof(KSP_NODE), (minData), {kHeld<(set)>}, nullptr, 0, nullptr, nullptr, 0 }
#define ZD_VALUE sizeof(ULONG)

namespace {

// ---- Filter: the change protocol and topology creation ---------------------------------------------------

// A method: no minimum data, no support handler.
#define ZD_METHOD(id, handler, minMethod, flags) \
  { (id), {kHeld<(handler)>}, (minMethod), 0, nullptr, (flags) }

// clang-format off
constinit const KSMETHOD_ITEM kChangeSyncMethods[] = {
    ZD_METHOD(KSMETHOD_BDA_START_CHANGES, CFilter::startChanges, sizeof(KSMETHOD), KSMETHOD_TYPE_NONE),
    ZD_METHOD(KSMETHOD_BDA_CHECK_CHANGES, CFilter::checkChanges, sizeof(KSMETHOD), KSMETHOD_TYPE_NONE),
    ZD_METHOD(KSMETHOD_BDA_COMMIT_CHANGES, CFilter::commitChanges, sizeof(KSMETHOD), KSMETHOD_TYPE_NONE),
    ZD_METHOD(KSMETHOD_BDA_GET_CHANGE_STATE, CFilter::getChangeState, sizeof(KSMETHOD), KSMETHOD_TYPE_READ),
};

constinit const KSMETHOD_ITEM kDeviceConfigurationMethods[] = {
    ZD_METHOD(KSMETHOD_BDA_CREATE_TOPOLOGY, CFilter::createTopology, sizeof(KSM_BDA_PIN_PAIR),
              KSMETHOD_TYPE_WRITE),
};
// clang-format on

constinit const KSMETHOD_SET kFilterMethodSets[] = {
    {&KSMETHODSETID_BdaChangeSync, SIZEOF_ARRAY(kChangeSyncMethods), kChangeSyncMethods, 0, nullptr},
    {&KSMETHODSETID_BdaDeviceConfiguration, SIZEOF_ARRAY(kDeviceConfigurationMethods),
     kDeviceConfigurationMethods, 0, nullptr},
};

constinit const KSAUTOMATION_TABLE kFilterAutomation = {
    DEFINE_KSAUTOMATION_PROPERTIES_NULL,
    DEFINE_KSAUTOMATION_METHODS(kFilterMethodSets),
    DEFINE_KSAUTOMATION_EVENTS_NULL,
};

constinit const KSFILTER_DISPATCH kFilterDispatch = {
    .Create = CFilter::create,
    .Close = CFilter::filterClose,
    .Process = nullptr,  // the filter moves no data
    .Reset = nullptr,
};

constinit const KSAUTOMATION_TABLE kEmptyAutomation = {
    DEFINE_KSAUTOMATION_PROPERTIES_NULL,
    DEFINE_KSAUTOMATION_METHODS_NULL,
    DEFINE_KSAUTOMATION_EVENTS_NULL,
};

// ---- RF tuner node tables --------------------------------------------------------------------------------

// Signal statistics on the RF tuner node, in the tuner tables' order.
constinit const KSPROPERTY_ITEM kTunerSignalStats[] = {
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_SIGNAL_STRENGTH, CTransportPin::getSignalStrength, nullptr, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_SIGNAL_PRESENT, CTransportPin::getSignalPresentLocked, nullptr, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_SIGNAL_QUALITY, CTransportPin::getSignalQuality, nullptr, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_SIGNAL_LOCKED, CTransportPin::getSignalPresentLocked, nullptr, ZD_VALUE),
};

// ---- Extended property set on the RF tuner node -----------------------------------------------------------

// An extended member: minimum property and data sizes as the set declares them (the handlers check the
// records they really use against the buffers), serialized size 0 unless stated.
#define ZD_EXT(id, get, set, minProperty, minData, serialized)                                    \
  {                                                                                               \
    (id), {kHeld<(get)>}, (minProperty), (minData), {kHeld<(set)>}, nullptr, 0, nullptr, nullptr, \
        (serialized)                                                                              \
  }
#define ZD_EXTENDED_COMMON_HEAD                                                                           \
  ZD_EXT(0, CAntennaPin::tunerSetDiSEqCMessage, nullptr, 188, 188, 4),                                    \
      ZD_EXT(1, nullptr, CAntennaPin::tunerInitDiSEqC, 32, 16, 0),                                        \
      ZD_EXT(2, CAntennaPin::tunerSatNoOp, CAntennaPin::tunerSatNoOp, 32, 16, 0),                         \
      ZD_EXT(3, CAntennaPin::tunerGetSatChannelChange, CAntennaPin::tunerSetSatChannelChange, 32, 48, 0), \
      ZD_EXT(4, CAntennaPin::tunerGetSatDemodInfo, nullptr, 32, 24, 0),                                   \
      ZD_EXT(5, CAntennaPin::tunerGetSatEffectiveFrequency, nullptr, 32, 4, 0),                           \
      ZD_EXT(6, CFilter::Static_GetSNRBER, nullptr, 32, 0, 0),                                            \
      ZD_EXT(11, CFilter::Static_GetBlindScan, CFilter::Static_SetBlindScan, 24, 0, 0),                   \
      ZD_EXT(22, CFilter::Static_GetZYNPLPNumber, CFilter::Static_SetZYNPLPNumber, 24, 0, 0),             \
      ZD_EXT(23, nullptr, CFilter::Static_SetZYNGoldCode, 24, 0, 0),                                      \
      ZD_EXT(24, nullptr, CFilter::Static_SetMODCODES, 24, 0, 0),                                         \
      ZD_EXT(12, CFilter::Static_GetMediaInfo, nullptr, 24, 0, 0),                                        \
      ZD_EXT(13, CFilter::Static_GetStreamType, CFilter::Static_SetStreamType, 24, 0, 0),                 \
      ZD_EXT(14, nullptr, CFilter::Static_SetInputStreamID, 24, 0, 0),                                    \
      ZD_EXT(7, CAntennaPin::tunerGetSatLockStatus, nullptr, 32, 28, 0),                                  \
      ZD_EXT(8, nullptr, CAntennaPin::tunerSetSatErrorControl, 32, 12, 0),                                \
      ZD_EXT(9, CAntennaPin::tunerGetSatChannelInfo, nullptr, 32, 28, 0),                                 \
      ZD_EXT(10, nullptr, CAntennaPin::tunerSetNBCParams, 32, 20, 0),                                     \
      ZD_EXT(21, nullptr, CAntennaPin::Static_SetZYNAccess, 8, 0, 0),                                     \
      ZD_EXT(15, CAntennaPin::Static_ReadMAC, CAntennaPin::Static_WriteMAC, 24, 0, 0)
#define ZD_EXTENDED_COMMON_TAIL                                                          \
  ZD_EXT(25, CAntennaPin::Static_ReadRegData, CAntennaPin::Static_SetRegData, 24, 0, 0), \
      ZD_EXT(60, CAntennaPin::GetDemodMode, CAntennaPin::SetDemodMode, 24, 0, 0)

// Channels B..H: 22 members.
constinit const KSPROPERTY_ITEM kExtended[] = {
    ZD_EXTENDED_COMMON_HEAD,
    ZD_EXTENDED_COMMON_TAIL,
};

// Channel A: the same with the SPI flash members between MAC and register access, 26 members.
constinit const KSPROPERTY_ITEM kExtendedWithFlash[] = {
    ZD_EXTENDED_COMMON_HEAD,
    ZD_EXT(100, CAntennaPin::tunerGetRDID, nullptr, 32, 40, 0),
    ZD_EXT(101, CAntennaPin::tunerGetEraseStatus, CAntennaPin::tunerChipErase, 32, 12, 0),
    ZD_EXT(102, CAntennaPin::tunerGetPageWriteReady, CAntennaPin::tunerSetFlashWriteOnePage, 32, 261, 0),
    ZD_EXT(103, CAntennaPin::tunerFlashRead, CAntennaPin::tunerSetFlashWriteEnable, 32, 12, 0),
    ZD_EXTENDED_COMMON_TAIL,
};
static_assert(SIZEOF_ARRAY(kExtended) == 22 && SIZEOF_ARRAY(kExtendedWithFlash) == 26, "extended set sizes");

// Tuner table 2 (terrestrial variants): frequency, multiplier, bandwidth.
constinit const KSPROPERTY_ITEM kFrequencyFilter2[] = {
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_RF_TUNER_FREQUENCY, CAntennaPin::tunerGetFrequency,
                     CAntennaPin::tunerSetFrequency, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER, CAntennaPin::tunerGetFrequencyMultiplier,
                     CAntennaPin::tunerSetFrequencyMultiplier, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_RF_TUNER_BANDWIDTH, CAntennaPin::tunerGetChannelBandwidth,
                     CAntennaPin::tunerSetChannelBandwidth, ZD_VALUE),
};

#define ZD_TUNER_TABLE2(extended)                                                                      \
  {                                                                                                    \
    {&KSPROPSETID_BdaFrequencyFilter, SIZEOF_ARRAY(kFrequencyFilter2), kFrequencyFilter2, 0, nullptr}, \
        {&KSPROPSETID_BdaSignalStats, SIZEOF_ARRAY(kTunerSignalStats), kTunerSignalStats, 0, nullptr}, \
        {&kPropSetExtended, SIZEOF_ARRAY(extended), extended, 0, nullptr},                             \
  }
constinit const KSPROPERTY_SET kTunerTable2[] = ZD_TUNER_TABLE2(kExtended);
constinit const KSPROPERTY_SET kTunerTable2A[] = ZD_TUNER_TABLE2(kExtendedWithFlash);

// Tuner table 1 (satellite-shaped variants): LNB information, frequency filter without bandwidth, DiSEqC.
constinit const KSPROPERTY_ITEM kLnbInfo[] = {
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_LNB_LOF_LOW_BAND, CAntennaPin::tunerGetLNBLowOscillator,
                     CAntennaPin::tunerSetLNBLowOscillator, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_LNB_LOF_HIGH_BAND, CAntennaPin::tunerGetLNBHighOscillator,
                     CAntennaPin::tunerSetLNBHighOscillator, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_LNB_SWITCH_FREQUENCY, CAntennaPin::tunerGetLNBSwitchFrequency,
                     CAntennaPin::tunerSetLNBSwitchFrequency, ZD_VALUE),
};

constinit const KSPROPERTY_ITEM kFrequencyFilter1[] = {
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_RF_TUNER_FREQUENCY, CAntennaPin::tunerGetFrequency,
                     CAntennaPin::tunerSetFrequency, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER, CAntennaPin::tunerGetFrequencyMultiplier,
                     CAntennaPin::tunerSetFrequencyMultiplier, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_RF_TUNER_POLARITY, CAntennaPin::tunerGetPolarity,
                     CAntennaPin::tunerSetPolarity, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_RF_TUNER_RANGE, CAntennaPin::tunerGetRange, CAntennaPin::tunerSetRange,
                     ZD_VALUE),
};

constinit const KSPROPERTY_ITEM kDiseqCommand[] = {
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_DISEQC_ENABLE, CAntennaPin::GetDiseqCProperty,
                     CAntennaPin::PutDiseqCProperty, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_DISEQC_LNB_SOURCE, CAntennaPin::GetDiseqCProperty,
                     CAntennaPin::PutDiseqCProperty, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_DISEQC_USETONEBURST, CAntennaPin::GetDiseqCProperty,
                     CAntennaPin::PutDiseqCProperty, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_DISEQC_REPEATS, CAntennaPin::GetDiseqCProperty,
                     CAntennaPin::PutDiseqCProperty, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_DISEQC_SEND, nullptr, CAntennaPin::PutDiseqCProperty, 16),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_DISEQC_RESPONSE, CAntennaPin::GetDiseqCProperty, nullptr, 16),
};

#define ZD_TUNER_TABLE1(extended)                                                                          \
  {                                                                                                        \
    {&KSPROPSETID_BdaLNBInfo, SIZEOF_ARRAY(kLnbInfo), kLnbInfo, 0, nullptr},                               \
        {&KSPROPSETID_BdaFrequencyFilter, SIZEOF_ARRAY(kFrequencyFilter1), kFrequencyFilter1, 0, nullptr}, \
        {&KSPROPSETID_BdaSignalStats, SIZEOF_ARRAY(kTunerSignalStats), kTunerSignalStats, 0, nullptr},     \
        {&kPropSetExtended, SIZEOF_ARRAY(extended), extended, 0, nullptr},                                 \
        {&KSPROPSETID_BdaDiseqCommand, SIZEOF_ARRAY(kDiseqCommand), kDiseqCommand, 0, nullptr},            \
  }
constinit const KSPROPERTY_SET kTunerTable1[] = ZD_TUNER_TABLE1(kExtended);
constinit const KSPROPERTY_SET kTunerTable1A[] = ZD_TUNER_TABLE1(kExtendedWithFlash);

// ---- Demodulator node tables -----------------------------------------------------------------------------

// Signal statistics on the demodulator node, in the demod tables' order.
constinit const KSPROPERTY_ITEM kDemodSignalStats[] = {
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_SIGNAL_QUALITY, CTransportPin::getSignalQuality, nullptr, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_SIGNAL_LOCKED, CTransportPin::getSignalPresentLocked, nullptr, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_SIGNAL_STRENGTH, CTransportPin::getSignalStrength, nullptr, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_SIGNAL_PRESENT, CTransportPin::getSignalPresentLocked, nullptr, ZD_VALUE),
};

// Demod table 2 (COFDM, 8VSB): the digital demodulator ids are declared without handlers, so the
// framework answers them before any handler of ours.
constinit const KSPROPERTY_ITEM kDigitalDemodulator2[] = {
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_MODULATION_TYPE, nullptr, nullptr, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_INNER_FEC_TYPE, nullptr, nullptr, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_INNER_FEC_RATE, nullptr, nullptr, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_OUTER_FEC_TYPE, nullptr, nullptr, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_OUTER_FEC_RATE, nullptr, nullptr, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_SYMBOL_RATE, nullptr, nullptr, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_GUARD_INTERVAL, nullptr, nullptr, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_TRANSMISSION_MODE, nullptr, nullptr, ZD_VALUE),
};

constinit const KSPROPERTY_SET kDemodTable2[] = {
    {&KSPROPSETID_BdaDigitalDemodulator, SIZEOF_ARRAY(kDigitalDemodulator2), kDigitalDemodulator2, 0,
     nullptr},
    {&KSPROPSETID_BdaSignalStats, SIZEOF_ARRAY(kDemodSignalStats), kDemodSignalStats, 0, nullptr},
};

// Demod table 1 (QPSK, QAM): the digital demodulator properties and the auxiliary set.
constinit const KSPROPERTY_ITEM kDigitalDemodulator1[] = {
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_MODULATION_TYPE, CTransportPin::getModulationType,
                     CTransportPin::putModulationType, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_INNER_FEC_TYPE, CTransportPin::getInnerFECMethod,
                     CTransportPin::putInnerFECMethod, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_INNER_FEC_RATE, CTransportPin::getInnerFECRate,
                     CTransportPin::putInnerFECRate, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_OUTER_FEC_TYPE, nullptr, nullptr, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_OUTER_FEC_RATE, nullptr, nullptr, ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_SYMBOL_RATE, CTransportPin::getSymbolRate, CTransportPin::putSymbolRate,
                     ZD_VALUE),
    ZD_NODE_PROPERTY(KSPROPERTY_BDA_SPECTRAL_INVERSION, CTransportPin::getSpectralInversion,
                     CTransportPin::putSpectralInversion, ZD_VALUE),
};

constinit const KSPROPERTY_ITEM kDemodAux[] = {
    ZD_NODE_PROPERTY(0, CTransportPin::getDemodAuxValue, nullptr, ZD_VALUE),
    ZD_NODE_PROPERTY(1, CTransportPin::getViterbiCodeRate, nullptr, ZD_VALUE),
};

constinit const KSPROPERTY_SET kDemodTable1[] = {
    {&KSPROPSETID_BdaDigitalDemodulator, SIZEOF_ARRAY(kDigitalDemodulator1), kDigitalDemodulator1, 0,
     nullptr},
    {&KSPROPSETID_BdaSignalStats, SIZEOF_ARRAY(kDemodSignalStats), kDemodSignalStats, 0, nullptr},
    {&kPropSetDemodAux, SIZEOF_ARRAY(kDemodAux), kDemodAux, 0, nullptr},
};

#define ZD_PROPERTY_TABLE(sets) \
  { DEFINE_KSAUTOMATION_PROPERTIES(sets), DEFINE_KSAUTOMATION_METHODS_NULL, DEFINE_KSAUTOMATION_EVENTS_NULL }
constinit const KSAUTOMATION_TABLE kTunerNode1 = ZD_PROPERTY_TABLE(kTunerTable1);
constinit const KSAUTOMATION_TABLE kTunerNode2 = ZD_PROPERTY_TABLE(kTunerTable2);
constinit const KSAUTOMATION_TABLE kTunerNode1A = ZD_PROPERTY_TABLE(kTunerTable1A);
constinit const KSAUTOMATION_TABLE kTunerNode2A = ZD_PROPERTY_TABLE(kTunerTable2A);
constinit const KSAUTOMATION_TABLE kDemodNode1 = ZD_PROPERTY_TABLE(kDemodTable1);
constinit const KSAUTOMATION_TABLE kDemodNode2 = ZD_PROPERTY_TABLE(kDemodTable2);

// ---- Nodes and connections -------------------------------------------------------------------------------

// Node descriptors per variant: automation table, type, name.
constinit const KSNODE_DESCRIPTOR kNodesQpsk[] = {
    {&kTunerNode1, &KSNODE_BDA_RF_TUNER, nullptr},
    {&kDemodNode1, &KSNODE_BDA_QPSK_DEMODULATOR, nullptr},
};
constinit const KSNODE_DESCRIPTOR kNodesCofdm[] = {
    {&kTunerNode2, &KSNODE_BDA_RF_TUNER, nullptr},
    {&kDemodNode2, &KSNODE_BDA_COFDM_DEMODULATOR, nullptr},
};
constinit const KSNODE_DESCRIPTOR kNodesQam[] = {
    {&kTunerNode1, &KSNODE_BDA_RF_TUNER, nullptr},
    {&kDemodNode1, &KSNODE_BDA_QAM_DEMODULATOR, nullptr},
};
constinit const KSNODE_DESCRIPTOR kNodes8vsb[] = {
    {&kTunerNode2, &KSNODE_BDA_RF_TUNER, nullptr},
    {&kDemodNode2, &KSNODE_BDA_8VSB_DEMODULATOR, nullptr},
};
// Channel A's variants: the same nodes with the flash members on the RF tuner.
constinit const KSNODE_DESCRIPTOR kNodesQpskA[] = {
    {&kTunerNode1A, &KSNODE_BDA_RF_TUNER, nullptr},
    {&kDemodNode1, &KSNODE_BDA_QPSK_DEMODULATOR, nullptr},
};
constinit const KSNODE_DESCRIPTOR kNodesCofdmA[] = {
    {&kTunerNode2A, &KSNODE_BDA_RF_TUNER, nullptr},
    {&kDemodNode2, &KSNODE_BDA_COFDM_DEMODULATOR, nullptr},
};
constinit const KSNODE_DESCRIPTOR kNodesQamA[] = {
    {&kTunerNode1A, &KSNODE_BDA_RF_TUNER, nullptr},
    {&kDemodNode1, &KSNODE_BDA_QAM_DEMODULATOR, nullptr},
};
constinit const KSNODE_DESCRIPTOR kNodes8vsbA[] = {
    {&kTunerNode2A, &KSNODE_BDA_RF_TUNER, nullptr},
    {&kDemodNode2, &KSNODE_BDA_8VSB_DEMODULATOR, nullptr},
};

constinit const KSTOPOLOGY_CONNECTION kTunerConnections[] = {
    // from node, from pin, to node, to pin
    {KSFILTER_NODE, 0, 0, 0},  // 0: antenna pin -> RF tuner input
    {0, 1, 1, 0},              // 1: RF tuner output -> demodulator input
    {1, 1, KSFILTER_NODE, 1},  // 2: demodulator output -> transport pin
};

constinit const ULONG kTunerJoints[] = {1};  // the RF tuner -> demodulator connection

// ---- Pins ------------------------------------------------------------------------------------------------

constinit const PKSDATARANGE kAntennaRanges[] = {
    const_cast<PKSDATARANGE>(&kBdaAntennaRange.DataRange),
};
constinit const PKSDATARANGE kTransportRanges[] = {
    const_cast<PKSDATARANGE>(&kBdaTransportRange.DataRange),
};

constinit const KSPIN_DISPATCH kAntennaPinDispatch = {
    .Create = CAntennaPin::pinCreate,
    .Close = CAntennaPin::pinClose,
    .Process = nullptr,
    .Reset = nullptr,
    .SetDataFormat = nullptr,
    .SetDeviceState = CAntennaPin::pinSetDeviceState,
    .Connect = nullptr,
    .Disconnect = nullptr,
    .Clock = nullptr,
    .Allocator = nullptr,
};

constinit const KSPIN_DISPATCH kTransportPinDispatch = {
    .Create = CTransportPin::pinCreate,
    .Close = CTransportPin::pinClose,
    .Process = nullptr,
    .Reset = nullptr,
    .SetDataFormat = nullptr,
    .SetDeviceState = CTransportPin::pinSetDeviceState,
    .Connect = nullptr,
    .Disconnect = nullptr,
    .Clock = nullptr,
    .Allocator = nullptr,
};

// Transport pin mediums: the channel's set, Id 0 until the factory's copy carries the board id.
constinit const KSPIN_MEDIUM kTransportPinMediums[kInstanceCount] = {
    {{{kTransportMedium[0], 0, 0}}}, {{{kTransportMedium[1], 0, 0}}}, {{{kTransportMedium[2], 0, 0}}},
    {{{kTransportMedium[3], 0, 0}}}, {{{kTransportMedium[4], 0, 0}}}, {{{kTransportMedium[5], 0, 0}}},
    {{{kTransportMedium[6], 0, 0}}}, {{{kTransportMedium[7], 0, 0}}},
};

// The extended set once more on the antenna pin itself, for requests without the topology flag (a KSPROPERTY
// header, payload at offset 24): the layout applications written against the documented wire format send.
constinit const KSPROPERTY_SET kAntennaPinSets[] = {
    {&kPropSetExtended, SIZEOF_ARRAY(kExtended), kExtended, 0, nullptr},
};
constinit const KSPROPERTY_SET kAntennaPinSetsA[] = {
    {&kPropSetExtended, SIZEOF_ARRAY(kExtendedWithFlash), kExtendedWithFlash, 0, nullptr},
};
constinit const KSAUTOMATION_TABLE kAntennaPinAutomation = ZD_PROPERTY_TABLE(kAntennaPinSets);
constinit const KSAUTOMATION_TABLE kAntennaPinAutomationA = ZD_PROPERTY_TABLE(kAntennaPinSetsA);

constexpr KSPIN_DESCRIPTOR_EX antennaPin(ULONG index) {
  return {
      &kAntennaPinDispatch,                                           // Dispatch
      index == 0 ? &kAntennaPinAutomationA : &kAntennaPinAutomation,  // AutomationTable: the extended set
      {
          0,
          nullptr,  // Interfaces: standard
          0,
          nullptr,  // Mediums: none
          1,
          kAntennaRanges,            // DataRanges
          KSPIN_DATAFLOW_IN,         // DataFlow
          KSPIN_COMMUNICATION_BOTH,  // Communication
          nullptr,                   // Category
          nullptr,                   // Name
          {0},                       // Reserved
      },
      kPinFlagsBdaControl,               // Flags
      1,                                 // InstancesPossible
      1,                                 // InstancesNecessary
      nullptr,                           // AllocatorFraming
      CAntennaPin::intersectDataFormat,  // IntersectHandler
  };
}

constexpr KSPIN_DESCRIPTOR_EX transportPin(ULONG index) {
  return {
      &kTransportPinDispatch,  // Dispatch
      &kEmptyAutomation,       // AutomationTable
      {
          0,
          nullptr,  // Interfaces: standard
          1,
          &kTransportPinMediums[index],  // Mediums: the channel's transport medium
          1,
          kTransportRanges,          // DataRanges
          KSPIN_DATAFLOW_OUT,        // DataFlow
          KSPIN_COMMUNICATION_BOTH,  // Communication
          &PINNAME_BDA_TRANSPORT,    // Category
          &PINNAME_BDA_TRANSPORT,    // Name
          {0},                       // Reserved
      },
      kPinFlagsBdaControl,                 // Flags
      1,                                   // InstancesPossible
      0,                                   // InstancesNecessary
      nullptr,                             // AllocatorFraming
      CTransportPin::intersectDataFormat,  // IntersectHandler
  };
}

#define ZD_TUNER_PINS(i) \
  { antennaPin(i), transportPin(i) }
constinit const KSPIN_DESCRIPTOR_EX kTunerPins[kInstanceCount][2] = {
    ZD_TUNER_PINS(0), ZD_TUNER_PINS(1), ZD_TUNER_PINS(2), ZD_TUNER_PINS(3),
    ZD_TUNER_PINS(4), ZD_TUNER_PINS(5), ZD_TUNER_PINS(6), ZD_TUNER_PINS(7),
};

// ---- Filter descriptors ----------------------------------------------------------------------------------

constexpr KSFILTER_DESCRIPTOR tunerFilter(const KSNODE_DESCRIPTOR* nodes, ULONG index) {
  return {
      .Dispatch = &kFilterDispatch,
      .AutomationTable = &kFilterAutomation,  // the method sets
      .Version = KSFILTER_DESCRIPTOR_VERSION,
      .Flags = 0,
      .ReferenceGuid = &kTunerReference[index],
      .PinDescriptorsCount = 2,
      .PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX),
      .PinDescriptors = kTunerPins[index],
      .CategoriesCount = 1,
      .Categories = &KSCATEGORY_BDA_NETWORK_TUNER,
      .NodeDescriptorsCount = 2,
      .NodeDescriptorSize = sizeof(KSNODE_DESCRIPTOR),
      .NodeDescriptors = nodes,
      .ConnectionsCount = SIZEOF_ARRAY(kTunerConnections),
      .Connections = kTunerConnections,
      .ComponentId = nullptr,
  };
}

#define ZD_TUNER_FILTERS(nodes)                                                                    \
  {                                                                                                \
    tunerFilter(nodes##A, 0), tunerFilter(nodes, 1), tunerFilter(nodes, 2), tunerFilter(nodes, 3), \
        tunerFilter(nodes, 4), tunerFilter(nodes, 5), tunerFilter(nodes, 6), tunerFilter(nodes, 7) \
  }
// [variant - 1][instance - 1]
constinit const KSFILTER_DESCRIPTOR kTunerFilters[4][kInstanceCount] = {
    ZD_TUNER_FILTERS(kNodesQpsk),
    ZD_TUNER_FILTERS(kNodesCofdm),
    ZD_TUNER_FILTERS(kNodesQam),
    ZD_TUNER_FILTERS(kNodes8vsb),
};

}  // namespace

// ---- Shared with the capture filter and the BDATuner -----------------------------------------------------

constinit const KS_DATARANGE_BDA_ANTENNA kBdaAntennaRange = {{{
    sizeof(KS_DATARANGE_BDA_ANTENNA),  // FormatSize
    0,                                 // Flags
    0,                                 // SampleSize
    0,                                 // Reserved
    kFormatTypeBdaAntenna,             // MajorFormat
    kFormatSubtypeNone,                // SubFormat
    kFormatSpecifierNone,              // Specifier
}}};

constinit const KS_DATARANGE_BDA_TRANSPORT kBdaTransportRange = {
    {{
        sizeof(KS_DATARANGE_BDA_TRANSPORT),  // FormatSize
        0,                                   // Flags
        0,                                   // SampleSize
        0,                                   // Reserved
        kFormatTypeStream,                   // MajorFormat
        kFormatSubtypeMpeg2Transport,        // SubFormat
        kFormatSpecifierBdaTransport,        // Specifier
    }},
    {
        188,    // packet bytes
        96256,  // frame bytes: 512 packets
        0,      // frame alignment
        0,      // average time per frame
    },
};

constinit const BDA_PIN_PAIRING kTunerPinPairing = {
    0,  // input pin: antenna
    1,  // output pin: transport
    1,
    1,  // max, min inputs per output
    1,
    1,                           // max, min outputs per input
    SIZEOF_ARRAY(kTunerJoints),  // topology joints
    kTunerJoints,
};

const KSFILTER_DESCRIPTOR* tunerFilterDescriptor(ULONG variant, ULONG instance) {
  if (variant < 1 || variant > 4 || instance < 1 || instance > kInstanceCount) return nullptr;
  return &kTunerFilters[variant - 1][instance - 1];
}

ULONG tunerFilterVariant(ULONG tunerType) {
  switch (tunerType) {
    case kTunerTypeDvbt:
    case kTunerTypeIsdbt:
    case kTunerTypeDvbc2:
      return kVariantCofdm;
    case kTunerTypeDvbc:
    case kTunerTypeJ83b:
    case kTunerTypeIsdbc:
      return kVariantQam;
    case kTunerTypeAtsc:
      return kVariant8vsb;
    default:
      return 0;
  }
}
