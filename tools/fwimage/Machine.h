// Which processor an image in a PE32 or TE section is built for (the Machine
// field of its PE/COFF or TE header), and the rule that a file only runs in a
// volume whose other images run on the same processor.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Bytes.h"
#include "FirmwareVolume.h"

namespace fwimage {

namespace pe {
// The PE layout points fwimage reads.
constexpr uint16_t DosSignature = 0x5A4D;     // "MZ"
constexpr size_t DosNewHeaderField = 0x3C;    // e_lfanew
constexpr uint32_t PeSignature = 0x00004550;  // "PE\0\0"
constexpr size_t CoffMachineOffset = 4;       // after the signature
constexpr size_t PeOptionalHeaderOffset = 24; // after the signature and COFF header
constexpr uint16_t Pe32Magic = 0x10B;         // IA32 and ARM images
constexpr uint16_t Pe32PlusMagic = 0x20B;     // x64 and AArch64 images
// EFI_TE_IMAGE_HEADER: Signature "VZ", then the UINT16 Machine.
constexpr uint16_t TeSignature = 0x5A56;
constexpr size_t TeMachineOffset = 2;

constexpr uint16_t MachineX64 = 0x8664;
constexpr uint16_t MachineIa32 = 0x014C;
constexpr uint16_t MachineAArch64 = 0xAA64;
constexpr uint16_t MachineArmThumb = 0x01C2; // ARM, as ARM firmware is built
constexpr uint16_t MachineEbc = 0x0EBC;      // byte code: its interpreter runs it anywhere
} // namespace pe

// The Machine field of a PE32/PE32+ image (MZ header) or a TE image; nothing
// when the bytes are neither.
std::optional<uint16_t> ImageMachine(ByteView Image);

// "x64", "IA32", "AArch64", "ARM", "EBC", or nullptr for another value.
const char *MachineName(uint16_t Machine);

// "AArch64 (0xAA64)", or "machine 0x1234" for a value without a name.
std::string MachineLabel(uint16_t Machine);

// The machines of the images in a file's sections, in order, encapsulations
// included, volumes inside it not: those are checked on their own.
std::vector<uint16_t> FileMachines(const File &F);

// The machine a volume's images run on: its DXE core's, or else the one most
// of its files' images carry; nullopt when it holds no image. Describes the
// choice ("its DXE core", "its other images") in Source.
std::optional<uint16_t> VolumeMachine(const Volume &V, std::string *Source = nullptr);

// Throws Error unless every image in the file matches the volume's machine.
void CheckFileMachine(const File &F, const Volume &V, const std::string &VolumeName);

} // namespace fwimage
