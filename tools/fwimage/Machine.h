// The processor an image in a file is built for: a file only runs in a
// volume whose other images run on the same processor.
#pragma once

#include <optional>
#include <string>

#include "Bytes.h"
#include "FirmwareVolume.h"

namespace fwimage {

namespace machine {
// PE/COFF Machine values firmware images carry.
constexpr uint16_t X64 = 0x8664;
constexpr uint16_t Ia32 = 0x014C;
constexpr uint16_t AArch64 = 0xAA64;
constexpr uint16_t Arm = 0x01C2;        // ARM Thumb, as ARM firmware is built
constexpr uint16_t Ebc = 0x0EBC;        // byte code: its interpreter runs it anywhere
} // namespace machine

// "AArch64 (0xAA64)".
std::string MachineName(uint16_t Machine);

// The Machine field of a PE32 or TE section's image; nullopt for any other
// section or an image whose header does not hold one.
std::optional<uint16_t> SectionMachine(ByteView Buf, const Section &S);

// The machine a volume's images run on: its DXE core's, or else the one most
// of its files' images carry; nullopt when it holds no image. Describes the
// choice ("its DXE core", "its other images") in Source.
std::optional<uint16_t> VolumeMachine(ByteView Buf, const Volume &V, std::string *Source = nullptr);

// Throws Error unless every image in the file matches the volume's machine.
void CheckFileMachine(ByteView FileBuf, const File &F, ByteView VolumeBuf, const Volume &V,
                      const std::string &VolumeName);

} // namespace fwimage
