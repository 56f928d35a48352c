#include "Machine.h"

#include <array>
#include <map>
#include <vector>

#include "Ffs.h"
#include "Walk.h"

namespace fwimage {

namespace {

struct NamedMachine {
  uint16_t Machine;
  const char *Name;
};

constexpr std::array<NamedMachine, 5> MachineNames{{
    {pe::MachineX64, "x64"},
    {pe::MachineIa32, "IA32"},
    {pe::MachineAArch64, "AArch64"},
    {pe::MachineArmThumb, "ARM"},
    {pe::MachineEbc, "EBC"},
}};

class MachineCollector : public Visitor {
public:
  std::vector<uint16_t> Machines;
  bool EnterSection(const Section &S) override {
    if (const auto M = S.Machine()) {
      Machines.push_back(*M);
    }
    return S.Type != ffs::SectionFirmwareVolumeImage;
  }
};

} // namespace

std::vector<uint16_t> FileMachines(const File &F) {
  MachineCollector Collector;
  Walk(F, Collector);
  return Collector.Machines;
}

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

std::string MachineLabel(uint16_t Machine) {
  const char *Name = MachineName(Machine);
  return Name != nullptr ? std::string(Name) + " (" + Hex(Machine) + ")" : "machine " + Hex(Machine);
}

std::optional<uint16_t> VolumeMachine(const Volume &V, std::string *Source) {
  std::map<uint16_t, size_t> Count;
  std::vector<uint16_t> Order;
  for (const File &F : V.Files) {
    if (F.Deleted) {
      continue;
    }
    const std::vector<uint16_t> Machines = FileMachines(F);
    if (F.Type == ffs::TypeDxeCore && !Machines.empty()) {
      if (Source != nullptr) {
        *Source = "its DXE core";
      }
      return Machines.front();
    }
    for (const uint16_t M : Machines) {
      if (M != pe::MachineEbc && Count[M]++ == 0) {
        Order.push_back(M);
      }
    }
  }
  if (Order.empty()) {
    return std::nullopt;
  }
  uint16_t Best = Order.front();
  for (const uint16_t M : Order) {
    if (Count[M] > Count[Best]) {
      Best = M;
    }
  }
  if (Source != nullptr) {
    *Source = "its other images";
  }
  return Best;
}

void CheckFileMachine(const File &F, const Volume &V, const std::string &VolumeName) {
  const std::vector<uint16_t> Machines = FileMachines(F);
  if (Machines.empty()) {
    return;
  }
  std::string Source;
  const auto Want = VolumeMachine(V, &Source);
  if (!Want) {
    return;
  }
  for (const uint16_t M : Machines) {
    if (M != *Want && M != pe::MachineEbc) {
      std::string Reason = "file " + F.Name.ToString() + " holds an image for " + MachineLabel(M) + "; FV ";
      Reason += VolumeName;
      Reason += " runs " + MachineLabel(*Want) + " images (" + Source + ")";
      throw Error(Reason);
    }
  }
}

} // namespace fwimage
