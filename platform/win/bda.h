// BDA declarations of the Windows build: mingw-w64's bdatypes.h, bdamedia.h and bdasup.h, and the BDA names
// they lack, with the values Microsoft documents. Declarations only, apart from those GUIDs, which are
// defined here once per image the way the SDK defines a GUID under INITGUID.
#pragma once
// The order matters.
// clang-format off
#include "platform/win/ks.h"
#include <bdatypes.h>
#include <bdamedia.h>
#include <ddk/bdasup.h>
// clang-format on

typedef struct tagKS_DATARANGE_BDA_ANTENNA {
  KSDATARANGE DataRange;
} KS_DATARANGE_BDA_ANTENNA, *PKS_DATARANGE_BDA_ANTENNA;

typedef enum {
  KSPROPERTY_BDA_DISEQC_ENABLE = 0,
  KSPROPERTY_BDA_DISEQC_LNB_SOURCE,
  KSPROPERTY_BDA_DISEQC_USETONEBURST,
  KSPROPERTY_BDA_DISEQC_REPEATS,
  KSPROPERTY_BDA_DISEQC_SEND,
  KSPROPERTY_BDA_DISEQC_RESPONSE
} KSPROPERTY_BDA_DISEQC_COMMAND;

#define ZADIVO_BDA_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  extern "C" const GUID DECLSPEC_SELECTANY name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

// clang-format off
ZADIVO_BDA_GUID(KSPROPSETID_BdaDiseqCommand, 0xF84E2AB0, 0x3C6B, 0x45E3, 0xA0, 0xFC, 0x86, 0x69, 0xD4, 0xB8, 0x1F, 0x11);
ZADIVO_BDA_GUID(KSNODE_BDA_RF_TUNER, 0x71985F4C, 0x1CA1, 0x11D3, 0x9C, 0xC8, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0);
ZADIVO_BDA_GUID(KSNODE_BDA_QAM_DEMODULATOR, 0x71985F4D, 0x1CA1, 0x11D3, 0x9C, 0xC8, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0);
ZADIVO_BDA_GUID(KSNODE_BDA_QPSK_DEMODULATOR, 0x6390C905, 0x27C1, 0x4D67, 0xBD, 0xB7, 0x77, 0xC5, 0x0D, 0x07, 0x93, 0x00);
ZADIVO_BDA_GUID(KSNODE_BDA_8VSB_DEMODULATOR, 0x71985F4F, 0x1CA1, 0x11D3, 0x9C, 0xC8, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0);
ZADIVO_BDA_GUID(KSNODE_BDA_COFDM_DEMODULATOR, 0x2DAC6E05, 0xEDBE, 0x4B9C, 0xB3, 0x87, 0x1B, 0x6F, 0xAD, 0x7D, 0x64, 0x95);
ZADIVO_BDA_GUID(KSCATEGORY_BDA_NETWORK_TUNER, 0x71985F48, 0x1CA1, 0x11D3, 0x9C, 0xC8, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0);
ZADIVO_BDA_GUID(KSCATEGORY_BDA_RECEIVER_COMPONENT, 0xFD0A5AF4, 0xB41D, 0x11D2, 0x9C, 0x95, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0);
ZADIVO_BDA_GUID(PINNAME_BDA_TRANSPORT, 0x78216A81, 0xCFA8, 0x493E, 0x97, 0x11, 0x36, 0xA6, 0x1C, 0x08, 0xBD, 0x9D);
// clang-format on
#undef ZADIVO_BDA_GUID
