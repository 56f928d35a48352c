// Base types, status codes, GUIDs and the firmware calling convention.
// Our own definitions, written from the published UEFI/PI layouts; every
// size that firmware sees is asserted below.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Firmware calls use the Microsoft x64 convention, in the images and in the
// host build alike, so host tests exercise the real calling convention.
#define EFIAPI __attribute__((ms_abi))

using UINT8 = uint8_t;
using UINT16 = uint16_t;
using UINT32 = uint32_t;
using UINT64 = uint64_t;
using INT32 = int32_t;
using UINTN = uint64_t;
using INTN = int64_t;
using BOOLEAN = uint8_t;
using CHAR8 = char;
using CHAR16 = char16_t;
using VOID = void;

using EFI_STATUS = UINTN;
using EFI_TPL = UINTN;
using EFI_HANDLE = VOID *;
using EFI_EVENT = VOID *;
using EFI_PHYSICAL_ADDRESS = UINT64;

inline constexpr BOOLEAN TRUE = 1;
inline constexpr BOOLEAN FALSE = 0;

struct EFI_GUID {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
};

// Byte-for-byte comparison, as firmware compares GUIDs.
inline bool GuidEqual(const EFI_GUID &A, const EFI_GUID &B) {
  const auto *Pa = reinterpret_cast<const UINT8 *>(&A);
  const auto *Pb = reinterpret_cast<const UINT8 *>(&B);
  for (UINTN I = 0; I < sizeof(EFI_GUID); ++I) {
    if (Pa[I] != Pb[I]) {
      return false;
    }
  }
  return true;
}

// Status codes: errors have the high bit set.
inline constexpr EFI_STATUS EFI_ERROR_BIT = 0x8000000000000000ULL;
inline constexpr EFI_STATUS EncodeError(UINTN Code) { return EFI_ERROR_BIT | Code; }
inline constexpr bool EFI_ERROR(EFI_STATUS Status) { return (Status & EFI_ERROR_BIT) != 0; }

inline constexpr EFI_STATUS EFI_SUCCESS = 0;
inline constexpr EFI_STATUS EFI_LOAD_ERROR = EncodeError(1);
inline constexpr EFI_STATUS EFI_INVALID_PARAMETER = EncodeError(2);
inline constexpr EFI_STATUS EFI_UNSUPPORTED = EncodeError(3);
inline constexpr EFI_STATUS EFI_BAD_BUFFER_SIZE = EncodeError(4);
inline constexpr EFI_STATUS EFI_BUFFER_TOO_SMALL = EncodeError(5);
inline constexpr EFI_STATUS EFI_NOT_READY = EncodeError(6);
inline constexpr EFI_STATUS EFI_DEVICE_ERROR = EncodeError(7);
inline constexpr EFI_STATUS EFI_WRITE_PROTECTED = EncodeError(8);
inline constexpr EFI_STATUS EFI_OUT_OF_RESOURCES = EncodeError(9);
inline constexpr EFI_STATUS EFI_NOT_FOUND = EncodeError(14);
inline constexpr EFI_STATUS EFI_ACCESS_DENIED = EncodeError(15);
inline constexpr EFI_STATUS EFI_TIMEOUT = EncodeError(18);
inline constexpr EFI_STATUS EFI_ALREADY_STARTED = EncodeError(20);
inline constexpr EFI_STATUS EFI_ABORTED = EncodeError(21);
inline constexpr EFI_STATUS EFI_SECURITY_VIOLATION = EncodeError(26);

// Task priority levels.
inline constexpr EFI_TPL TPL_APPLICATION = 4;
inline constexpr EFI_TPL TPL_CALLBACK = 8;
inline constexpr EFI_TPL TPL_NOTIFY = 16;
inline constexpr EFI_TPL TPL_HIGH_LEVEL = 31;

// Memory types (a 4-byte enumeration).
enum EFI_MEMORY_TYPE : UINT32 {
  EfiReservedMemoryType = 0,
  EfiLoaderCode = 1,
  EfiLoaderData = 2,
  EfiBootServicesCode = 3,
  EfiBootServicesData = 4,
  EfiRuntimeServicesCode = 5,
  EfiRuntimeServicesData = 6,
  EfiConventionalMemory = 7,
};

static_assert(sizeof(EFI_GUID) == 16);
static_assert(offsetof(EFI_GUID, Data2) == 4 && offsetof(EFI_GUID, Data3) == 6 &&
              offsetof(EFI_GUID, Data4) == 8);
static_assert(alignof(EFI_GUID) == 4);
static_assert(sizeof(BOOLEAN) == 1 && sizeof(UINTN) == 8 && sizeof(CHAR16) == 2);
static_assert(sizeof(EFI_MEMORY_TYPE) == 4);
static_assert(EFI_NOT_FOUND == 0x800000000000000EULL && EFI_UNSUPPORTED == 0x8000000000000003ULL);
static_assert(EFI_LOAD_ERROR == 0x8000000000000001ULL && EFI_BUFFER_TOO_SMALL == 0x8000000000000005ULL);
