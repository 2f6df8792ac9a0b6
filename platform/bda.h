// Windows-compatible BDA declarations used by the driver (x64 layouts): filter templates, pin pairings, the
// BDA property and method sets with their ids, node types, categories and the BDA support library.
#pragma once
#ifdef ZADIVO_WDK
#include "platform/win/bda.h"
#else
#include "platform/ks.h"

// ---- Templates
// ------------------------------------------------------------------------------------------------
typedef struct _BDA_PIN_PAIRING {
  ULONG ulInputPin;
  ULONG ulOutputPin;
  ULONG ulcMaxInputsPerOutput;
  ULONG ulcMinInputsPerOutput;
  ULONG ulcMaxOutputsPerInput;
  ULONG ulcMinOutputsPerInput;
  ULONG ulcTopologyJoints;
  const ULONG* pTopologyJoints;
} BDA_PIN_PAIRING, *PBDA_PIN_PAIRING;

typedef struct _BDA_FILTER_TEMPLATE {
  const KSFILTER_DESCRIPTOR* pFilterDescriptor;
  ULONG ulcPinPairs;
  const BDA_PIN_PAIRING* pPinPairs;
} BDA_FILTER_TEMPLATE, *PBDA_FILTER_TEMPLATE;

typedef enum { BDA_CHANGES_COMPLETE = 0, BDA_CHANGES_PENDING } BDA_CHANGE_STATE, *PBDA_CHANGE_STATE;

// ---- Data ranges
// ----------------------------------------------------------------------------------------------
typedef struct tagBDA_TRANSPORT_INFO {
  ULONG ulcbPhyiscalPacket;
  ULONG ulcbPhyiscalFrame;
  ULONG ulcbPhyiscalFrameAlignment;
  REFERENCE_TIME AvgTimePerFrame;
} BDA_TRANSPORT_INFO, *PBDA_TRANSPORT_INFO;

typedef struct tagKS_DATARANGE_BDA_TRANSPORT {
  KSDATARANGE DataRange;
  BDA_TRANSPORT_INFO BdaTransportInfo;
} KS_DATARANGE_BDA_TRANSPORT, *PKS_DATARANGE_BDA_TRANSPORT;

typedef struct tagKS_DATARANGE_BDA_ANTENNA {
  KSDATARANGE DataRange;
} KS_DATARANGE_BDA_ANTENNA, *PKS_DATARANGE_BDA_ANTENNA;

// Method request of the create-topology and create-pin methods.
typedef struct _KSM_BDA_PIN_PAIR {
  KSMETHOD Method;
  union {
    ULONG InputPinId;
    ULONG InputPinType;
  };
  union {
    ULONG OutputPinId;
    ULONG OutputPinType;
  };
} KSM_BDA_PIN_PAIR, *PKSM_BDA_PIN_PAIR;
typedef struct _KSM_BDA_PIN {
  KSMETHOD Method;
  union {
    ULONG PinId;
    ULONG PinType;
  };
  ULONG Reserved;
} KSM_BDA_PIN, *PKSM_BDA_PIN;

// ---- Property and method ids
// ----------------------------------------------------------------------------------
typedef enum {
  KSMETHOD_BDA_START_CHANGES = 0,
  KSMETHOD_BDA_CHECK_CHANGES,
  KSMETHOD_BDA_COMMIT_CHANGES,
  KSMETHOD_BDA_GET_CHANGE_STATE
} KSMETHOD_BDA_CHANGE_SYNC;

typedef enum {
  KSMETHOD_BDA_CREATE_PIN_FACTORY = 0,
  KSMETHOD_BDA_DELETE_PIN_FACTORY,
  KSMETHOD_BDA_CREATE_TOPOLOGY
} KSMETHOD_BDA_DEVICE_CONFIGURATION;

typedef enum {
  KSPROPERTY_BDA_RF_TUNER_FREQUENCY = 0,
  KSPROPERTY_BDA_RF_TUNER_POLARITY,
  KSPROPERTY_BDA_RF_TUNER_RANGE,
  KSPROPERTY_BDA_RF_TUNER_TRANSPONDER,
  KSPROPERTY_BDA_RF_TUNER_BANDWIDTH,
  KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER,
  KSPROPERTY_BDA_RF_TUNER_CAPS,
  KSPROPERTY_BDA_RF_TUNER_SCAN_STATUS,
  KSPROPERTY_BDA_RF_TUNER_STANDARD,
  KSPROPERTY_BDA_RF_TUNER_STANDARD_MODE
} KSPROPERTY_BDA_FREQUENCY_FILTER;

typedef enum {
  KSPROPERTY_BDA_LNB_LOF_LOW_BAND = 0,
  KSPROPERTY_BDA_LNB_LOF_HIGH_BAND,
  KSPROPERTY_BDA_LNB_SWITCH_FREQUENCY
} KSPROPERTY_BDA_LNB_INFO;

typedef enum {
  KSPROPERTY_BDA_MODULATION_TYPE = 0,
  KSPROPERTY_BDA_INNER_FEC_TYPE,
  KSPROPERTY_BDA_INNER_FEC_RATE,
  KSPROPERTY_BDA_OUTER_FEC_TYPE,
  KSPROPERTY_BDA_OUTER_FEC_RATE,
  KSPROPERTY_BDA_SYMBOL_RATE,
  KSPROPERTY_BDA_SPECTRAL_INVERSION,
  KSPROPERTY_BDA_GUARD_INTERVAL,
  KSPROPERTY_BDA_TRANSMISSION_MODE,
  KSPROPERTY_BDA_ROLL_OFF,
  KSPROPERTY_BDA_PILOT,
  KSPROPERTY_BDA_SIGNALTIMEOUTS,
  KSPROPERTY_BDA_PLP_NUMBER
} KSPROPERTY_BDA_DIGITAL_DEMODULATOR;

typedef enum {
  KSPROPERTY_BDA_SIGNAL_STRENGTH = 0,
  KSPROPERTY_BDA_SIGNAL_QUALITY,
  KSPROPERTY_BDA_SIGNAL_PRESENT,
  KSPROPERTY_BDA_SIGNAL_LOCKED,
  KSPROPERTY_BDA_SAMPLE_TIME,
  KSPROPERTY_BDA_SIGNAL_LOCK_CAPS,
  KSPROPERTY_BDA_SIGNAL_LOCK_TYPE
} KSPROPERTY_BDA_SIGNAL_STATS;

typedef enum {
  KSPROPERTY_BDA_DISEQC_ENABLE = 0,
  KSPROPERTY_BDA_DISEQC_LNB_SOURCE,
  KSPROPERTY_BDA_DISEQC_USETONEBURST,
  KSPROPERTY_BDA_DISEQC_REPEATS,
  KSPROPERTY_BDA_DISEQC_SEND,
  KSPROPERTY_BDA_DISEQC_RESPONSE
} KSPROPERTY_BDA_DISEQC_COMMAND;

typedef enum {
  KSPROPERTY_BDA_NODE_TYPES = 0,
  KSPROPERTY_BDA_PIN_TYPES,
  KSPROPERTY_BDA_TEMPLATE_CONNECTIONS,
  KSPROPERTY_BDA_NODE_METHODS,
  KSPROPERTY_BDA_NODE_PROPERTIES,
  KSPROPERTY_BDA_NODE_EVENTS,
  KSPROPERTY_BDA_CONTROLLING_PIN_ID,
  KSPROPERTY_BDA_NODE_DESCRIPTORS
} KSPROPERTY_BDA_TOPOLOGY;

// ---- GUIDs
// ----------------------------------------------------------------------------------------------------
extern "C" {
extern const GUID KSCATEGORY_BDA_NETWORK_TUNER;
extern const GUID KSCATEGORY_BDA_RECEIVER_COMPONENT;
extern const GUID KSCATEGORY_BDA_NETWORK_PROVIDER;
extern const GUID KSCATEGORY_BDA_TRANSPORT_INFORMATION;
extern const GUID KSMETHODSETID_BdaChangeSync;
extern const GUID KSMETHODSETID_BdaDeviceConfiguration;
extern const GUID KSPROPSETID_BdaTopology;
extern const GUID KSPROPSETID_BdaPinControl;
extern const GUID KSPROPSETID_BdaFrequencyFilter;
extern const GUID KSPROPSETID_BdaLNBInfo;
extern const GUID KSPROPSETID_BdaDigitalDemodulator;
extern const GUID KSPROPSETID_BdaSignalStats;
extern const GUID KSPROPSETID_BdaDiseqCommand;
extern const GUID KSNODE_BDA_RF_TUNER;
extern const GUID KSNODE_BDA_QAM_DEMODULATOR;
extern const GUID KSNODE_BDA_QPSK_DEMODULATOR;
extern const GUID KSNODE_BDA_8VSB_DEMODULATOR;
extern const GUID KSNODE_BDA_COFDM_DEMODULATOR;
extern const GUID KSDATAFORMAT_TYPE_BDA_ANTENNA;
extern const GUID KSDATAFORMAT_SUBTYPE_BDA_MPEG2_TRANSPORT;
extern const GUID KSDATAFORMAT_SPECIFIER_BDA_TRANSPORT;
extern const GUID PINNAME_BDA_TRANSPORT;
}

// ---- BDA support library
// --------------------------------------------------------------------------------------
extern "C" {
NTSTATUS NTAPI BdaCreateFilterFactory(PKSDEVICE pKSDevice,
                                      const KSFILTER_DESCRIPTOR* pInitialFilterDescriptor,
                                      const BDA_FILTER_TEMPLATE* pBdaFilterTemplate);
NTSTATUS NTAPI BdaCreateFilterFactoryEx(PKSDEVICE pKSDevice,
                                        const KSFILTER_DESCRIPTOR* pInitialFilterDescriptor,
                                        const BDA_FILTER_TEMPLATE* pBdaFilterTemplate,
                                        PKSFILTERFACTORY* ppKSFilterFactory);
NTSTATUS NTAPI BdaFilterFactoryUpdateCacheData(PKSFILTERFACTORY pFilterFactory,
                                               const KSFILTER_DESCRIPTOR* pFilterDescriptor);
NTSTATUS NTAPI BdaInitFilter(PKSFILTER pKSFilter, const BDA_FILTER_TEMPLATE* pBdaFilterTemplate);
NTSTATUS NTAPI BdaUninitFilter(PKSFILTER pKSFilter);
NTSTATUS NTAPI BdaStartChanges(PIRP pIrp);
NTSTATUS NTAPI BdaCheckChanges(PIRP pIrp);
NTSTATUS NTAPI BdaCommitChanges(PIRP pIrp);
NTSTATUS NTAPI BdaGetChangeState(PIRP pIrp, PBDA_CHANGE_STATE pChangeState);
NTSTATUS NTAPI BdaMethodCreateTopology(PIRP pIrp, PKSMETHOD pKSMethod, PVOID pvIgnored);
NTSTATUS NTAPI BdaMethodCreatePin(PIRP pIrp, PKSMETHOD pKSMethod, PULONG pulPinFactoryID);
NTSTATUS NTAPI BdaCreatePin(PKSFILTER pKSFilter, ULONG ulPinType, PULONG pulPinId);
NTSTATUS NTAPI BdaCreateTopology(PKSFILTER pKSFilter, ULONG InputPinId, ULONG OutputPinId);
NTSTATUS NTAPI BdaValidateNodeProperty(PIRP pIrp, PKSPROPERTY pKSProperty);
}
#endif  // ZADIVO_WDK
