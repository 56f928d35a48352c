// Which processor an image in a PE32 or TE section is built for: the Machine
// field of its PE/COFF header or of its TE header.
#pragma once

#include <cstdint>
#include <optional>

#include "Bytes.h"

namespace fwimage {

namespace pe {
// The PE layout points fwimage reads.
constexpr uint16_t DosSignature = 0x5A4D;     // "MZ"
constexpr size_t DosNewHeaderField = 0x3C;    // e_lfanew
constexpr uint32_t PeSignature = 0x00004550;  // "PE\0\0"
constexpr size_t CoffMachineOffset = 4;       // after the signature
constexpr size_t PeOptionalHeaderOffset = 24; // after the signature and COFF header
constexpr uint16_t Pe32PlusMagic = 0x20B;
// EFI_TE_IMAGE_HEADER: Signature "VZ", then the UINT16 Machine.
constexpr uint16_t TeSignature = 0x5A56;
constexpr size_t TeMachineOffset = 2;

constexpr uint16_t MachineX64 = 0x8664;
constexpr uint16_t MachineIa32 = 0x014C;
constexpr uint16_t MachineAArch64 = 0xAA64;
constexpr uint16_t MachineArmThumb = 0x01C2;
} // namespace pe

// The Machine field of a PE32/PE32+ image (MZ header) or a TE image; nothing
// when the bytes are neither.
std::optional<uint16_t> ImageMachine(ByteView Image);

// "x64", "IA32", "AArch64", "ARM", or nullptr for another value.
const char *MachineName(uint16_t Machine);

} // namespace fwimage
