// Names that platform components outside this project hand to BoardSetupDxe:
// two protocols whose arrival is all that matters, and the riser-card HOB.
#pragma once

#include "Uefi/Base.h"

inline constexpr EFI_GUID SioTriggerProtocolGuid = {
    0xFEDF8E0C, 0xE147, 0x11E3, {0x99, 0x03, 0xB8, 0xE8, 0x56, 0x2C, 0xBA, 0xFA}};
inline constexpr EFI_GUID SmbiosTriggerProtocolGuid = {
    0x5E90A50D, 0x6955, 0x4A49, {0x90, 0x32, 0xDA, 0x38, 0x12, 0xF8, 0xE8, 0xE5}};

// GUID extension HOB left by the pre-EFI phase; its first data byte is the
// riser-present flag (non-zero: fitted).
inline constexpr EFI_GUID RiserCardHobGuid = {
    0x72B2987F, 0xE799, 0x47D1, {0x9A, 0xA9, 0x52, 0x64, 0x9B, 0x1D, 0xC3, 0x18}};
