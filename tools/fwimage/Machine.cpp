#include "Machine.h"

#include <array>
#include <map>
#include <vector>

#include "Ffs.h"

namespace fwimage {

namespace {

// PE/COFF and TE header points the check reads.
constexpr uint16_t DosSignature = 0x5A4D;   // "MZ"
constexpr size_t DosNewHeaderField = 0x3C;  // e_lfanew
constexpr uint32_t PeSignature = 0x00004550; // "PE\0\0"
constexpr size_t PeMachineField = 4;         // after the signature
constexpr uint16_t TeSignature = 0x5A56;     // "VZ"
constexpr size_t TeMachineField = 2;

struct MachineRow {
  uint16_t Machine;
  const char *Name;
};
constexpr std::array<MachineRow, 5> MachineNames{{
    {machine::X64, "x64"},
    {machine::Ia32, "IA32"},
    {machine::AArch64, "AArch64"},
    {machine::Arm, "ARM"},
    {machine::Ebc, "EBC"},
}};

// Images in a file's sections, encapsulations included (their buffers may be
// decoded streams), volumes inside it not: those are checked on their own.
void CollectMachines(ByteView Buf, const std::vector<Section> &Sections, std::vector<uint16_t> &Out) {
  for (const Section &S : Sections) {
    if (const auto M = SectionMachine(Buf, S)) {
      Out.push_back(*M);
    }
    CollectMachines(S.Decoded ? ByteView(*S.Decoded) : Buf, S.Children, Out);
  }
}

} // namespace

std::string MachineName(uint16_t Machine) {
  for (const MachineRow &Row : MachineNames) {
    if (Row.Machine == Machine) {
      return std::string(Row.Name) + " (" + Hex(Machine) + ")";
    }
  }
  return "machine " + Hex(Machine);
}

std::optional<uint16_t> SectionMachine(ByteView Buf, const Section &S) {
  if (S.Type != ffs::SectionPe32 && S.Type != ffs::SectionTe) {
    return std::nullopt;
  }
  const ByteView Body = Buf.subspan(S.Offset + S.HeaderSize, S.Size - S.HeaderSize);
  try {
    if (S.Type == ffs::SectionTe) {
      return ReadU16(Body, 0) == TeSignature ? std::optional<uint16_t>(ReadU16(Body, TeMachineField)) : std::nullopt;
    }
    if (ReadU16(Body, 0) != DosSignature) {
      return std::nullopt;
    }
    const size_t Pe = ReadU32(Body, DosNewHeaderField);
    if (Pe > Body.size() || ReadU32(Body, Pe) != PeSignature) {
      return std::nullopt;
    }
    return ReadU16(Body, Pe + PeMachineField);
  } catch (const Error &) {
    return std::nullopt; // a header cut short carries no machine
  }
}

std::optional<uint16_t> VolumeMachine(ByteView Buf, const Volume &V, std::string *Source) {
  std::map<uint16_t, size_t> Count;
  std::vector<uint16_t> Order;
  for (const File &F : V.Files) {
    if (F.Deleted) {
      continue;
    }
    std::vector<uint16_t> Machines;
    CollectMachines(Buf, F.Sections, Machines);
    if (F.Type == ffs::TypeDxeCore && !Machines.empty()) {
      if (Source != nullptr) {
        *Source = "its DXE core";
      }
      return Machines.front();
    }
    for (const uint16_t M : Machines) {
      if (M != machine::Ebc && Count[M]++ == 0) {
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

void CheckFileMachine(ByteView FileBuf, const File &F, ByteView VolumeBuf, const Volume &V,
                      const std::string &VolumeName) {
  std::vector<uint16_t> Machines;
  CollectMachines(FileBuf, F.Sections, Machines);
  if (Machines.empty()) {
    return;
  }
  std::string Source;
  const auto Want = VolumeMachine(VolumeBuf, V, &Source);
  if (!Want) {
    return;
  }
  for (const uint16_t M : Machines) {
    if (M != *Want && M != machine::Ebc) {
      std::string Reason = "file " + F.Name.ToString() + " holds an image for " + MachineName(M) + "; FV ";
      Reason += VolumeName;
      Reason += " runs " + MachineName(*Want) + " images (" + Source + ")";
      throw Error(Reason);
    }
  }
}

} // namespace fwimage
