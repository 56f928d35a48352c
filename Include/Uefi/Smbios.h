// PI SMBIOS protocol and the SMBIOS structures this project reads.
#pragma once

#include "Uefi/Base.h"

using EFI_SMBIOS_HANDLE = UINT16;
using EFI_SMBIOS_TYPE = UINT8;
using EFI_SMBIOS_STRING = UINT8;

inline constexpr EFI_SMBIOS_HANDLE SMBIOS_HANDLE_PI_RESERVED = 0xFFFE;
inline constexpr EFI_SMBIOS_TYPE SMBIOS_TYPE_SYSTEM_SLOTS = 9;

#pragma pack(push, 1)
struct EFI_SMBIOS_TABLE_HEADER {
  UINT8 Type;
  UINT8 Length;  // formatted area only
  UINT16 Handle;
};

// System Slots (type 9), the fields up to the 2.6 group. Record lengths
// come from the record, never from sizeof.
struct SMBIOS_TABLE_TYPE9 {
  EFI_SMBIOS_TABLE_HEADER Hdr;
  EFI_SMBIOS_STRING SlotDesignation;
  UINT8 SlotType;
  UINT8 SlotDataBusWidth;
  UINT8 CurrentUsage;
  UINT8 SlotLength;
  UINT16 SlotID;
  UINT8 SlotCharacteristics1;
  UINT8 SlotCharacteristics2;
  UINT16 SegmentGroupNum;
  UINT8 BusNum;
  UINT8 DevFuncNum;
};

struct SMBIOS_TABLE_3_0_ENTRY_POINT {
  UINT8 AnchorString[5];
  UINT8 EntryPointStructureChecksum;
  UINT8 EntryPointLength;
  UINT8 MajorVersion;
  UINT8 MinorVersion;
  UINT8 DocRev;
  UINT8 EntryPointRevision;
  UINT8 Reserved;
  UINT32 TableMaximumSize;
  UINT64 TableAddress;
};
#pragma pack(pop)

struct EFI_SMBIOS_PROTOCOL;

using EFI_SMBIOS_ADD = EFI_STATUS(EFIAPI *)(const EFI_SMBIOS_PROTOCOL *This,
                                            EFI_HANDLE ProducerHandle,
                                            EFI_SMBIOS_HANDLE *SmbiosHandle,
                                            EFI_SMBIOS_TABLE_HEADER *Record);
using EFI_SMBIOS_UPDATE_STRING = EFI_STATUS(EFIAPI *)(const EFI_SMBIOS_PROTOCOL *This,
                                                      EFI_SMBIOS_HANDLE *SmbiosHandle,
                                                      UINTN *StringNumber, CHAR8 *String);
using EFI_SMBIOS_REMOVE = EFI_STATUS(EFIAPI *)(const EFI_SMBIOS_PROTOCOL *This,
                                               EFI_SMBIOS_HANDLE SmbiosHandle);
using EFI_SMBIOS_GET_NEXT = EFI_STATUS(EFIAPI *)(const EFI_SMBIOS_PROTOCOL *This,
                                                 EFI_SMBIOS_HANDLE *SmbiosHandle,
                                                 EFI_SMBIOS_TYPE *Type,
                                                 EFI_SMBIOS_TABLE_HEADER **Record,
                                                 EFI_HANDLE *ProducerHandle);

struct EFI_SMBIOS_PROTOCOL {
  EFI_SMBIOS_ADD Add;
  EFI_SMBIOS_UPDATE_STRING UpdateString;
  EFI_SMBIOS_REMOVE Remove;
  EFI_SMBIOS_GET_NEXT GetNext;
  UINT8 MajorVersion;
  UINT8 MinorVersion;
};

inline constexpr EFI_GUID EFI_SMBIOS_PROTOCOL_GUID = {
    0x03583FF6, 0xCB36, 0x4940, {0x94, 0x7E, 0xB9, 0xB3, 0x9F, 0x4A, 0xFA, 0xF7}};
inline constexpr EFI_GUID SMBIOS3_TABLE_GUID = {
    0xF2FD1544, 0x9794, 0x4A2C, {0x99, 0x2E, 0xE5, 0xBB, 0xCF, 0x20, 0xE3, 0x94}};
inline constexpr EFI_GUID SMBIOS_TABLE_GUID = {
    0xEB9D2D31, 0x2D88, 0x11D3, {0x9A, 0x16, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};

static_assert(sizeof(EFI_SMBIOS_TABLE_HEADER) == 4);
static_assert(offsetof(EFI_SMBIOS_TABLE_HEADER, Length) == 0x01 &&
              offsetof(EFI_SMBIOS_TABLE_HEADER, Handle) == 0x02);
static_assert(offsetof(SMBIOS_TABLE_TYPE9, SlotDesignation) == 0x04);
static_assert(offsetof(SMBIOS_TABLE_TYPE9, SlotType) == 0x05);
static_assert(offsetof(SMBIOS_TABLE_TYPE9, CurrentUsage) == 0x07);
static_assert(offsetof(SMBIOS_TABLE_TYPE9, SlotID) == 0x09);
static_assert(offsetof(SMBIOS_TABLE_TYPE9, SlotCharacteristics1) == 0x0B);
static_assert(offsetof(SMBIOS_TABLE_TYPE9, SlotCharacteristics2) == 0x0C);
static_assert(offsetof(SMBIOS_TABLE_TYPE9, SegmentGroupNum) == 0x0D);
static_assert(offsetof(SMBIOS_TABLE_TYPE9, BusNum) == 0x0F);
static_assert(offsetof(SMBIOS_TABLE_TYPE9, DevFuncNum) == 0x10);
static_assert(sizeof(SMBIOS_TABLE_TYPE9) == 0x11);
static_assert(sizeof(SMBIOS_TABLE_3_0_ENTRY_POINT) == 0x18);
static_assert(offsetof(SMBIOS_TABLE_3_0_ENTRY_POINT, TableMaximumSize) == 0x0C &&
              offsetof(SMBIOS_TABLE_3_0_ENTRY_POINT, TableAddress) == 0x10);
static_assert(sizeof(EFI_SMBIOS_PROTOCOL) == 0x28);
static_assert(offsetof(EFI_SMBIOS_PROTOCOL, UpdateString) == 0x08 &&
              offsetof(EFI_SMBIOS_PROTOCOL, Remove) == 0x10 &&
              offsetof(EFI_SMBIOS_PROTOCOL, GetNext) == 0x18 &&
              offsetof(EFI_SMBIOS_PROTOCOL, MajorVersion) == 0x20 &&
              offsetof(EFI_SMBIOS_PROTOCOL, MinorVersion) == 0x21);
