// The descriptor tables of the driver's two filter families: the BDA tuner filter (four variants per
// channel, tuner_filter_descriptors.cpp) and the capture filter (one per channel, tsinputpin.cpp), with the
// data formats their pins share.
#pragma once
#include "platform/bda.h"
#include "platform/platform.h"
#include "zadivo/instance_table.h"

// Format GUIDs held by value in data ranges, as literals so the ranges need no run-time initialisation.
inline constexpr GUID kFormatTypeBdaAntenna = {
    0x71985F41, 0x1CA1, 0x11D3, {0x9C, 0xC8, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0}};
inline constexpr GUID kFormatTypeStream = {
    0xE436EB83, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID kFormatSubtypeNone = {
    0xE436EB8E, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID kFormatSubtypeMpeg2Transport = {
    0xE06D8023, 0xDB46, 0x11CF, {0xB4, 0xD1, 0x00, 0x80, 0x5F, 0x6C, 0xBB, 0xEA}};
inline constexpr GUID kFormatSubtypeBdaMpeg2Transport = {
    0xF4AEB342, 0x0329, 0x4FDD, {0xA8, 0xFD, 0x4A, 0xFF, 0x49, 0x26, 0xC9, 0x78}};
inline constexpr GUID kFormatSpecifierNone = {
    0x0F6417D6, 0xC318, 0x11D0, {0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID kFormatSpecifierBdaTransport = {
    0x8DEDA6FD, 0xAC5F, 0x4334, {0x8E, 0xCF, 0xA4, 0xBA, 0x8F, 0xA7, 0xD0, 0xF0}};
inline constexpr GUID kMemoryTypeKernelNonPaged = {
    0x4A6D5FC4, 0x7895, 0x11D1, {0xB0, 0x69, 0x00, 0xA0, 0xC9, 0x06, 0x28, 0x02}};

// Property sets of the driver's own.
inline constexpr GUID kPropSetExtended = {
    0xFAA8F3E5, 0x31D4, 0x4E41, {0x88, 0xEF, 0xD9, 0xEB, 0x71, 0x6F, 0x6E, 0xC9}};
inline constexpr GUID kPropSetDemodAux = {
    0x0FE4E87A, 0x8E44, 0x4E27, {0xBE, 0x4A, 0x4F, 0x03, 0xFC, 0x7D, 0x85, 0x2B}};

inline constexpr ULONG kPinFlagsBdaControl = KSPIN_FLAG_DO_NOT_USE_STANDARD_TRANSPORT |
                                             KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING |
                                             KSPIN_FLAG_FIXED_FORMAT;  // 0x180040
static_assert(kPinFlagsBdaControl == 0x180040, "control pin flags");

// The transport range of the tuner's transport pin and the capture's input pin: 188-byte packets in
// 96256-byte frames.
extern const KS_DATARANGE_BDA_TRANSPORT kBdaTransportRange;
extern const KS_DATARANGE_BDA_ANTENNA kBdaAntennaRange;

// Tuner filter descriptor variants (demodulator node): 1 QPSK (fallback only), 2 COFDM, 3 QAM, 4 8VSB.
enum TunerFilterVariant : ULONG { kVariantQpsk = 1, kVariantCofdm = 2, kVariantQam = 3, kVariant8vsb = 4 };
// The static descriptor of a variant for instance 1..8; nullptr for anything else.
const KSFILTER_DESCRIPTOR* tunerFilterDescriptor(ULONG variant, ULONG instance);
// The variant a TunerType presents; 0 for a type of no family.
ULONG tunerFilterVariant(ULONG tunerType);
// The template's one pin pairing: antenna in, transport out, joined by connection 1 (RF tuner -> demod).
extern const BDA_PIN_PAIRING kTunerPinPairing;

// Capture filter descriptor of instance 1..8; nullptr for anything else.
const KSFILTER_DESCRIPTOR* captureFilterDescriptor(ULONG instance);
