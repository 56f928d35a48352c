// Platform pieces an SMM driver of this board meets inside SMRAM that are not
// UEFI or PI interfaces: the Super I/O access gate, the platform service the
// USB standby handler depends on, and the SMM copy of the runtime services.
#pragma once

#include "Uefi/Base.h"

// SMST configuration-table entry whose VendorTable is a SIO_ACCESS_GATE.
inline constexpr EFI_GUID SioAccessGateGuid = {
    0xF7CA7568, 0x5A09, 0x4D2C, {0x8A, 0x9B, 0x75, 0x84, 0x68, 0x59, 0x2A, 0xE2}};

// SMM protocol whose presence tells an SMM driver that the platform's SMM
// services are up; nobody calls through it.
inline constexpr EFI_GUID SmmPlatformServiceProtocolGuid = {
    0x441FFA18, 0x8714, 0x421E, {0x8C, 0x95, 0x58, 0x70, 0x80, 0x79, 0x6F, 0xEE}};

// SMST configuration-table entry whose VendorTable is laid out like
// EFI_RUNTIME_SERVICES and is callable from inside SMM.
inline constexpr EFI_GUID SmmRuntimeServicesTableGuid = {
    0x395C33FE, 0x287F, 0x413E, {0xA0, 0x55, 0x80, 0x88, 0xC0, 0xE1, 0xD4, 0x3E}};

// Serialises Super I/O configuration-port use between SMM and the rest of
// the platform: TRUE claims the ports, FALSE hands them back. An error from
// the claim means the ports must not be touched.
using SIO_ACCESS_GATE_FN = EFI_STATUS(EFIAPI *)(BOOLEAN Acquire);

// The record found under SioAccessGateGuid. Only its first member is fixed;
// the platform may keep more behind it.
struct SIO_ACCESS_GATE {
  SIO_ACCESS_GATE_FN SioAccessGate;
};

static_assert(offsetof(SIO_ACCESS_GATE, SioAccessGate) == 0);
