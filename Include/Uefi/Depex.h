// PI dependency expressions: the postfix byte code the DXE dispatcher and the
// SMM core evaluate before starting a driver, and the architectural protocols
// expressions name (installed with a NULL interface).
#pragma once

#include "Uefi/Base.h"

inline constexpr UINT8 EFI_DEP_BEFORE = 0x00;
inline constexpr UINT8 EFI_DEP_AFTER = 0x01;
inline constexpr UINT8 EFI_DEP_PUSH = 0x02;
inline constexpr UINT8 EFI_DEP_AND = 0x03;
inline constexpr UINT8 EFI_DEP_OR = 0x04;
inline constexpr UINT8 EFI_DEP_NOT = 0x05;
inline constexpr UINT8 EFI_DEP_TRUE = 0x06;
inline constexpr UINT8 EFI_DEP_FALSE = 0x07;
inline constexpr UINT8 EFI_DEP_END = 0x08;
inline constexpr UINT8 EFI_DEP_SOR = 0x09;

inline constexpr EFI_GUID EFI_VARIABLE_ARCH_PROTOCOL_GUID = {
    0x1E5668E2, 0x8481, 0x11D4, {0xBC, 0xF1, 0x00, 0x80, 0xC7, 0x3C, 0x88, 0x81}};
inline constexpr EFI_GUID EFI_VARIABLE_WRITE_ARCH_PROTOCOL_GUID = {
    0x6441F818, 0x6362, 0x4E44, {0xB5, 0x70, 0x7D, 0xBA, 0x31, 0xDD, 0x24, 0x53}};
