// The platform's protocol for hiding and rewriting Setup form strings.
// Neither function takes a This pointer; results are not examined by callers.
#pragma once

#include "Uefi/Base.h"

inline constexpr EFI_GUID SetupStringProtocolGuid = {
    0x41EADC00, 0x8DB2, 0x4BFE, {0xB0, 0xEA, 0xCB, 0xAA, 0xE7, 0xF4, 0xD3, 0x1B}};

using SETUP_STRING_HIDE = EFI_STATUS(EFIAPI *)(const CHAR8 *FormName, UINT16 StringId);
using SETUP_STRING_SET = EFI_STATUS(EFIAPI *)(const CHAR8 *FormName, UINT16 StringId,
                                              const CHAR8 *Text);

struct SETUP_STRING_PROTOCOL {
  SETUP_STRING_HIDE HideString;
  VOID *Slot1;
  SETUP_STRING_SET SetString;
};

static_assert(offsetof(SETUP_STRING_PROTOCOL, SetString) == 2 * sizeof(VOID *));
