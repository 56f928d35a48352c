#include "Machine.h"

#include <array>

namespace fwimage {

namespace {

struct NamedMachine {
  uint16_t Machine;
  const char *Name;
};

constexpr std::array<NamedMachine, 4> MachineNames{{
    {pe::MachineX64, "x64"},
    {pe::MachineIa32, "IA32"},
    {pe::MachineAArch64, "AArch64"},
    {pe::MachineArmThumb, "ARM"},
}};

} // namespace

std::optional<uint16_t> ImageMachine(ByteView Image) {
  if (Image.size() < sizeof(uint16_t)) {
    return std::nullopt;
  }
  const uint16_t Signature = ReadU16(Image, 0);
  if (Signature == pe::TeSignature && Image.size() >= pe::TeMachineOffset + sizeof(uint16_t)) {
    return ReadU16(Image, pe::TeMachineOffset);
  }
  if (Signature != pe::DosSignature || Image.size() < pe::DosNewHeaderField + sizeof(uint32_t)) {
    return std::nullopt;
  }
  const size_t PeOffset = ReadU32(Image, pe::DosNewHeaderField);
  if (PeOffset > Image.size() || Image.size() - PeOffset < pe::CoffMachineOffset + sizeof(uint16_t) ||
      ReadU32(Image, PeOffset) != pe::PeSignature) {
    return std::nullopt;
  }
  return ReadU16(Image, PeOffset + pe::CoffMachineOffset);
}

const char *MachineName(uint16_t Machine) {
  for (const NamedMachine &M : MachineNames) {
    if (M.Machine == Machine) {
      return M.Name;
    }
  }
  return nullptr;
}

} // namespace fwimage
