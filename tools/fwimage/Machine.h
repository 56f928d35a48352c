// Which processor an image in a PE32 or TE section is built for (the Machine
// field of its PE/COFF or TE header), and the rule that a file only runs in a
// volume whose files of its boot phase run on the same processor: FSP-S and
// recovery volumes hold x64 DXE drivers beside IA32 or x64 PEIMs.
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
constexpr size_t TeHeaderSize = 40; // through its two data directory entries

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

// "AArch64 (0xAA64)", "IA32 (0x014C)", or "machine 0x1234" for a value without a name.
std::string MachineLabel(uint16_t Machine);

// The machines of the images in a file's sections, in order, encapsulations
// included, volumes inside it not: those are checked on their own.
std::vector<uint16_t> FileMachines(const File &F);

// The stage of the boot that dispatches a file type: PEI (SEC, the PEI core,
// PEIMs) or DXE (the DXE core, DXE, SMM and MM drivers, combined drivers,
// applications). Other types (raw, freeform, pad, FV image) none.
enum class Phase { None, Pei, Dxe };
Phase PhaseOf(uint8_t FileType);

struct PhaseMachine {
  uint16_t Machine = 0;
  std::string Source; // what decided: "its PEI core", "its other PEIMs", ...
};

// The machine V's files of phase P run on: its core's (PEI core, DXE core),
// or else the one most of its other files of P carry, images in compressed
// sections counted, EBC left out; nullopt when no file of P holds an image.
// Files named Except are not counted (a replacement takes their place).
std::optional<PhaseMachine> PhaseMachineOf(const Volume &V, Phase P, const Guid &Except);

// Throws Error, naming both machines, unless every image in F runs on the
// machine of F's phase in V; where V has no file of that phase, on the
// machine of the other phase (all that is known to run there). EBC runs
// anywhere. Returns a note when F is a DXE-phase file and V holds no DXE
// core and no other DXE-phase file: nothing may dispatch it there.
std::optional<std::string> CheckFileMachine(const File &F, const Volume &V, const std::string &VolumeName);

} // namespace fwimage
