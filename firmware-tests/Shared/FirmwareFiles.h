// Test bench only: what the dispatch boot reads about the drivers the DXE
// dispatcher started from the firmware volume. Our own definitions, from
// the published UEFI/PI layouts: the device-path node that names a firmware
// file and EFI_FIRMWARE_VOLUME2_PROTOCOL (to read a file's sections back).
#pragma once

#include "Uefi/Base.h"
#include "Uefi/Depex.h"

// ---- Device paths -----------------------------------------------------------
struct EFI_DEVICE_PATH_PROTOCOL {
  UINT8 Type;
  UINT8 SubType;
  UINT8 Length[2];  // little-endian, this node's header included
};
inline constexpr UINT8 MEDIA_DEVICE_PATH = 0x04;
inline constexpr UINT8 MEDIA_PIWG_FW_FILE_DP = 0x06;  // the node names a firmware file
inline constexpr UINT8 END_DEVICE_PATH_TYPE = 0x7F;

struct MEDIA_FW_VOL_FILEPATH_DEVICE_PATH {
  EFI_DEVICE_PATH_PROTOCOL Header;
  EFI_GUID FvFileName;
};

// ---- EFI_FIRMWARE_VOLUME2_PROTOCOL -----------------------------------------
inline constexpr EFI_GUID EFI_FIRMWARE_VOLUME2_PROTOCOL_GUID = {
    0x220E73B6, 0x6BDB, 0x4413, {0x84, 0x05, 0xB9, 0x74, 0xB1, 0x08, 0x61, 0x9A}};

struct EFI_FIRMWARE_VOLUME2_PROTOCOL;
// *Buffer NULL: the firmware allocates it (pool) and the caller frees it.
using EFI_FV_READ_SECTION = EFI_STATUS(EFIAPI *)(const EFI_FIRMWARE_VOLUME2_PROTOCOL *This,
                                                 const EFI_GUID *NameGuid, UINT8 SectionType,
                                                 UINTN SectionInstance, VOID **Buffer,
                                                 UINTN *BufferSize, UINT32 *AuthenticationStatus);

struct EFI_FIRMWARE_VOLUME2_PROTOCOL {
  VOID *GetVolumeAttributes;
  VOID *SetVolumeAttributes;
  VOID *ReadFile;
  EFI_FV_READ_SECTION ReadSection;
  VOID *WriteFile;
  VOID *GetNextFile;
  UINT32 KeySize;
  EFI_HANDLE ParentHandle;
  VOID *GetInfo;
  VOID *SetInfo;
};

inline constexpr UINT8 EFI_SECTION_PE32 = 0x10;
inline constexpr UINT8 EFI_SECTION_DXE_DEPEX = 0x13;

static_assert(sizeof(EFI_DEVICE_PATH_PROTOCOL) == 4);
static_assert(sizeof(MEDIA_FW_VOL_FILEPATH_DEVICE_PATH) == 20);
static_assert(offsetof(EFI_FIRMWARE_VOLUME2_PROTOCOL, ReadSection) == 0x18);
static_assert(offsetof(EFI_FIRMWARE_VOLUME2_PROTOCOL, KeySize) == 0x30);
static_assert(offsetof(EFI_FIRMWARE_VOLUME2_PROTOCOL, ParentHandle) == 0x38);
static_assert(sizeof(EFI_FIRMWARE_VOLUME2_PROTOCOL) == 0x50);
