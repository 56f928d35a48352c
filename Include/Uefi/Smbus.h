// PI SMBus host controller protocol.
#pragma once

#include "Uefi/Base.h"

// One UINTN whose low 7 bits hold the unshifted slave address. Passed by
// value (8 bytes, so in a register); callers zero the whole word.
struct EFI_SMBUS_DEVICE_ADDRESS {
  UINTN SmbusDeviceAddress;
};
inline constexpr UINTN SMBUS_ADDRESS_MASK = 0x7F;

using EFI_SMBUS_DEVICE_COMMAND = UINTN;

enum EFI_SMBUS_OPERATION : UINT32 {
  EfiSmbusQuickRead = 0,
  EfiSmbusQuickWrite = 1,
  EfiSmbusReceiveByte = 2,
  EfiSmbusSendByte = 3,
  EfiSmbusReadByte = 4,
  EfiSmbusWriteByte = 5,
  EfiSmbusReadWord = 6,
  EfiSmbusWriteWord = 7,
  EfiSmbusReadBlock = 8,
  EfiSmbusWriteBlock = 9,
  EfiSmbusProcessCall = 10,
  EfiSmbusBWBRProcessCall = 11,
};

struct EFI_SMBUS_HC_PROTOCOL;

using EFI_SMBUS_HC_EXECUTE_OPERATION = EFI_STATUS(EFIAPI *)(
    const EFI_SMBUS_HC_PROTOCOL *This, EFI_SMBUS_DEVICE_ADDRESS SlaveAddress,
    EFI_SMBUS_DEVICE_COMMAND Command, EFI_SMBUS_OPERATION Operation, BOOLEAN PecCheck,
    UINTN *Length, VOID *Buffer);

struct EFI_SMBUS_HC_PROTOCOL {
  EFI_SMBUS_HC_EXECUTE_OPERATION Execute;
  VOID *ArpDevice;
  VOID *GetArpMap;
  VOID *Notify;
};

inline constexpr EFI_GUID EFI_SMBUS_HC_PROTOCOL_GUID = {
    0xE49D33ED, 0x513D, 0x4634, {0xB6, 0x98, 0x6F, 0x55, 0xAA, 0x75, 0x1C, 0x1B}};

static_assert(sizeof(EFI_SMBUS_DEVICE_ADDRESS) == 8);
static_assert(sizeof(EFI_SMBUS_OPERATION) == 4 && EfiSmbusReadByte == 4);
static_assert(sizeof(EFI_SMBUS_HC_PROTOCOL) == 0x20);
static_assert(offsetof(EFI_SMBUS_HC_PROTOCOL, ArpDevice) == 0x08 &&
              offsetof(EFI_SMBUS_HC_PROTOCOL, GetArpMap) == 0x10 &&
              offsetof(EFI_SMBUS_HC_PROTOCOL, Notify) == 0x18);
