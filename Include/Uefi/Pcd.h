// The edk2 dynamic PCD protocol (token numbers without a token-space GUID).
// None of its functions takes a This pointer.
#pragma once

#include "Uefi/Base.h"

using PCD_PROTOCOL_SET_SKU = VOID(EFIAPI *)(UINTN SkuId);
using PCD_PROTOCOL_GET8 = UINT8(EFIAPI *)(UINTN TokenNumber);
using PCD_PROTOCOL_GET16 = UINT16(EFIAPI *)(UINTN TokenNumber);
using PCD_PROTOCOL_GET32 = UINT32(EFIAPI *)(UINTN TokenNumber);
using PCD_PROTOCOL_GET64 = UINT64(EFIAPI *)(UINTN TokenNumber);
using PCD_PROTOCOL_UNUSED = VOID *;

struct PCD_PROTOCOL {
  PCD_PROTOCOL_SET_SKU SetSku;
  PCD_PROTOCOL_GET8 Get8;
  PCD_PROTOCOL_GET16 Get16;
  PCD_PROTOCOL_GET32 Get32;
  PCD_PROTOCOL_GET64 Get64;
  // GetPtr .. GetNextTokenSpace: never called here.
  PCD_PROTOCOL_UNUSED Rest[26];
};

inline constexpr EFI_GUID PCD_PROTOCOL_GUID = {
    0x11B34006, 0xD85B, 0x4D0A, {0xA2, 0x90, 0xD5, 0xA5, 0x71, 0x31, 0x0E, 0xF7}};

static_assert(sizeof(PCD_PROTOCOL) == 0xF8);
static_assert(offsetof(PCD_PROTOCOL, Get8) == 0x08 && offsetof(PCD_PROTOCOL, Get16) == 0x10);
static_assert(offsetof(PCD_PROTOCOL, Get32) == 0x18 && offsetof(PCD_PROTOCOL, Get64) == 0x20);
