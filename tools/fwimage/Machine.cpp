#include "Machine.h"

#include <algorithm>
#include <array>
#include <cstdio>
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

// How refusals name a phase's files, in the plural and one of them.
const char *PhaseFiles(Phase P) { return P == Phase::Pei ? "PEIMs" : "DXE drivers"; }
const char *PhaseFile(Phase P) { return P == Phase::Pei ? "PEIM" : "DXE driver"; }

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
  // Four digits, as PE/COFF documents name machines (IA32 is 0x014C).
  char Value[8];
  std::snprintf(Value, sizeof Value, "0x%04X", Machine);
  const char *Name = MachineName(Machine);
  return Name != nullptr ? std::string(Name) + " (" + Value + ")" : std::string("machine ") + Value;
}

Phase PhaseOf(uint8_t FileType) {
  switch (FileType) {
  case ffs::TypeSecurityCore:
  case ffs::TypePeiCore:
  case ffs::TypePeim:
    return Phase::Pei;
  case ffs::TypeDxeCore:
  case ffs::TypeDriver:
  case ffs::TypeCombinedPeimDriver:
  case ffs::TypeApplication:
  case ffs::TypeSmm:
  case ffs::TypeCombinedSmmDxe:
  case ffs::TypeSmmCore:
  case ffs::TypeMmStandalone:
  case ffs::TypeMmCoreStandalone:
    return Phase::Dxe;
  default:
    return Phase::None;
  }
}

std::optional<PhaseMachine> PhaseMachineOf(const Volume &V, Phase P, const Guid &Except) {
  const bool Pei = P == Phase::Pei;
  const uint8_t CoreType = Pei ? ffs::TypePeiCore : ffs::TypeDxeCore;
  std::map<uint16_t, size_t> Count;
  std::vector<uint16_t> Order;
  for (const File &F : V.Files) {
    if (F.Deleted || F.Name == Except || PhaseOf(F.Type) != P) {
      continue;
    }
    const std::vector<uint16_t> Machines = FileMachines(F);
    if (F.Type == CoreType && !Machines.empty()) {
      return PhaseMachine{Machines.front(), Pei ? "its PEI core" : "its DXE core"};
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
  return PhaseMachine{Best, Pei ? "its other PEIMs" : "its other DXE-phase files"};
}

std::optional<std::string> CheckFileMachine(const File &F, const Volume &V, const std::string &VolumeName) {
  const Phase Own = PhaseOf(F.Type);
  if (Own == Phase::None) {
    return std::nullopt;
  }
  const bool OwnPhaseThere = std::any_of(V.Files.begin(), V.Files.end(), [&](const File &Other) {
    return !Other.Deleted && Other.Name != F.Name && PhaseOf(Other.Type) == Own;
  });
  // Where nothing of its phase is, what does run there is all that is known.
  const Phase Decides = OwnPhaseThere ? Own : (Own == Phase::Pei ? Phase::Dxe : Phase::Pei);
  if (const auto Want = PhaseMachineOf(V, Decides, F.Name)) {
    for (const uint16_t M : FileMachines(F)) {
      if (M == Want->Machine || M == pe::MachineEbc) {
        continue;
      }
      std::string Reason = "file " + F.Name.ToString() + " holds an image for " + MachineLabel(M) + "; FV ";
      Reason += VolumeName;
      Reason += " runs " + MachineLabel(Want->Machine) + " " + PhaseFiles(Decides) + " (" + Want->Source + ")";
      if (!OwnPhaseThere) {
        Reason += " and no " + std::string(PhaseFile(Own));
      }
      throw Error(Reason);
    }
  }
  if (Own == Phase::Dxe && !OwnPhaseThere) {
    return "nothing may dispatch " + std::string(FileTypeName(F.Type)) + " file " + F.Name.ToString() + " in FV " +
           VolumeName + ": it holds no DXE core and no other DXE-phase file";
  }
  return std::nullopt;
}

} // namespace fwimage
