// BoardNicInfoProtocol: MAC addresses of the board's two onboard Ethernet
// controllers, for other firmware drivers. Installed by BoardSetupDxe.
#pragma once

#include "Uefi/Base.h"

inline constexpr EFI_GUID BoardNicInfoProtocolGuid = {
    0x6B588D7C, 0xC72E, 0x4A78, {0x88, 0x58, 0x77, 0xE1, 0xDA, 0x8F, 0xC7, 0xF7}};

inline constexpr UINTN NicMacLength = 6;

// Byte record: a count, then six bytes per MAC entry. The producer resets
// Count before each read, so a returned record holds at most one entry.
struct NicMacRecord {
  UINT8 Count;
  UINT8 Mac[NicMacLength];
};

// First: caller buffer of at least 10 bytes; its record starts at byte 3.
inline constexpr UINTN NicFirstRecordOffset = 3;

using BOARD_NIC_ALWAYS_FALSE = BOOLEAN(EFIAPI *)();
using BOARD_NIC_GET_MAC_ADDRESSES = EFI_STATUS(EFIAPI *)(UINT8 *First, NicMacRecord *Second);

// Nine pointer-sized slots; consumers outside this project own the meaning
// of the slots we leave null or answer with AlwaysFalse.
struct BOARD_NIC_INFO_PROTOCOL {
  BOARD_NIC_ALWAYS_FALSE Slot0AlwaysFalse;
  VOID *Slot1;
  BOARD_NIC_GET_MAC_ADDRESSES GetNicMacAddresses;
  BOARD_NIC_ALWAYS_FALSE Slot3AlwaysFalse;
  VOID *Slot4To8[5];
};

static_assert(sizeof(NicMacRecord) == 7);
static_assert(sizeof(BOARD_NIC_INFO_PROTOCOL) == 9 * sizeof(VOID *));
static_assert(offsetof(BOARD_NIC_INFO_PROTOCOL, GetNicMacAddresses) == 2 * sizeof(VOID *));
static_assert(offsetof(BOARD_NIC_INFO_PROTOCOL, Slot3AlwaysFalse) == 3 * sizeof(VOID *));
