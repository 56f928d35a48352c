// PI hand-off blocks: the generic header and the GUID extension HOB.
#pragma once

#include "Uefi/Base.h"

inline constexpr UINT16 EFI_HOB_TYPE_HANDOFF = 0x0001;
inline constexpr UINT16 EFI_HOB_TYPE_GUID_EXTENSION = 0x0004;
inline constexpr UINT16 EFI_HOB_TYPE_UNUSED = 0xFFFE;
inline constexpr UINT16 EFI_HOB_TYPE_END_OF_HOB_LIST = 0xFFFF;

struct EFI_HOB_GENERIC_HEADER {
  UINT16 HobType;
  UINT16 HobLength;  // the whole HOB, this header included
  UINT32 Reserved;
};

struct EFI_HOB_GUID_TYPE {
  EFI_HOB_GENERIC_HEADER Header;
  EFI_GUID Name;
  // GUID-specific data follows.
};

// Key of the HOB list in the system configuration table.
inline constexpr EFI_GUID EFI_HOB_LIST_GUID = {
    0x7739F24C, 0x93D7, 0x11D4, {0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};

static_assert(sizeof(EFI_HOB_GENERIC_HEADER) == 8);
static_assert(offsetof(EFI_HOB_GENERIC_HEADER, HobLength) == 0x02);
static_assert(sizeof(EFI_HOB_GUID_TYPE) == 0x18);
static_assert(offsetof(EFI_HOB_GUID_TYPE, Name) == 0x08);
