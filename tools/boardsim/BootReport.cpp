#include "BootReport.h"

#include <cstdio>
#include <iomanip>
#include <sstream>

#include "BoardSetupDxe.h"
#include "BoardTables.h"
#include "Simulator/Platform.h"

namespace {

constexpr UINTN PcdNicRootPortFirst = 630;
constexpr UINTN PcdNicRootPortSecond = 631;
constexpr UINT16 RootPortFirst = 0x00E0;   // 00:1C.0
constexpr UINT16 RootPortSecond = 0x00E4;  // 00:1C.4
constexpr UINT8 NicBusFirst = 2;
constexpr UINT8 NicBusSecond = 3;
constexpr UINT32 NicBarFirst = 0x91000000;
constexpr UINT32 NicBarSecond = 0x91100000;

std::string Hex(unsigned V, int Digits = 4) {
  std::ostringstream S;
  S << "0x" << std::uppercase << std::hex << std::setw(Digits) << std::setfill('0') << V;
  return S.str();
}

std::string Quoted(const std::string &T) { return "\"" + T + "\""; }

std::string Mac(const UINT8 *M) {
  char Buf[32];
  std::snprintf(Buf, sizeof(Buf), "%02X:%02X:%02X:%02X:%02X:%02X", M[0], M[1], M[2], M[3], M[4],
                M[5]);
  return Buf;
}

void ReportRelabel(Sim::Platform &P, const BootScenario &S, std::ostream &Out) {
  const auto Hides = P.SetupStrings.Hides();
  Out << "Hidden Setup items (" << Hides.size() << ", in order):\n ";
  for (size_t I = 0; I < Hides.size(); ++I) {
    Out << " " << Hex(Hides[I].Id) << ((I % 11 == 10) ? "\n " : "");
  }
  Out << "\n\nOption-ROM rows (PCD token -> what was written):\n";
  for (UINTN Row = 0; Row < std::size(OpromSlotTable); ++Row) {
    const OpromSlotRow &R = OpromSlotTable[Row];
    Out << "  row " << std::setw(2) << Row << "  PCD " << R.PcdToken << " = ";
    if (!S.PcdPresent) {
      Out << "(no PCD protocol)  not written\n";
      continue;
    }
    const auto It = S.Pcd.find(R.PcdToken);
    const UINT32 V = It == S.Pcd.end() ? 0 : It->second;
    Out << V << "  ";
    if (V == 0) {
      Out << "not written: slot disabled\n";
    } else if (R.Prompt == nullptr) {
      Out << "not written: the row has no text\n";
    } else {
      Out << Hex(R.PromptId) << " " << Quoted(P.SetupStrings.Text(R.PromptId)) << "\n"
          << std::string(25, ' ') << Hex(R.HelpId) << " " << Quoted(P.SetupStrings.Text(R.HelpId))
          << "\n";
    }
  }
  Out << "\nLabels written (" << std::size(SetupLabelTable) << "):\n";
  for (const SetupLabelRow &L : SetupLabelTable) {
    Out << "  " << Hex(L.StringId) << " " << Quoted(P.SetupStrings.Text(L.StringId)) << "\n";
  }
}

void ReportNics(Sim::Platform &P, std::ostream &Out) {
  VOID *Interface = nullptr;
  P.Boot.LocateProtocol(&BoardNicInfoProtocolGuid, nullptr, &Interface);
  if (Interface == nullptr) {
    Out << "BoardNicInfoProtocol: not installed\n";
    return;
  }
  const auto *Nic = static_cast<const BOARD_NIC_INFO_PROTOCOL *>(Interface);
  UINT8 First[10] = {0xC0, 0xFF, 0xEE, 0, 0, 0, 0, 0, 0, 0};
  NicMacRecord Second{};
  const size_t Before = P.Trace.size();
  const EFI_STATUS Status = Nic->GetNicMacAddresses(First, &Second);
  Out << "BoardNicInfoProtocol.GetNicMacAddresses -> " << (Status == EFI_SUCCESS ? "EFI_SUCCESS" : Hex(static_cast<unsigned>(Status)))
      << " (" << (P.Trace.size() - Before) << " configuration/register accesses)\n";
  const auto Show = [&Out](const char *Name, const UINT8 *Record) {
    Out << "  " << Name << " Count " << unsigned{Record[0]};
    if (Record[0] != 0) {
      Out << "  MAC " << Mac(Record + 1);
    }
    Out << "\n";
  };
  Show("first: ", First + NicFirstRecordOffset);
  Show("second:", &Second.Count);
  Out << "  caller bytes 0-2 of the first buffer: " << Hex(First[0], 2) << " " << Hex(First[1], 2)
      << " " << Hex(First[2], 2) << "\n";
}

}  // namespace

int RunBootReport(const BootScenario &S, std::ostream &Out) {
  Sim::Platform P;
  gBoardSetup = {};
  if (S.Riser) {
    P.Hobs.AddRiser(1);
  }
  P.PublishHobList();
  for (const auto &[Token, Value] : S.Pcd) {
    P.Pcd.Set(Token, Value);
  }
  P.Pcd.Set(PcdNicRootPortFirst, RootPortFirst);
  P.Pcd.Set(PcdNicRootPortSecond, RootPortSecond);
  if (S.PcdPresent) {
    P.InstallPcdProtocol();
  }
  P.Pci.AddRootPort(RootPortFirst, NicBusFirst);
  P.Pci.AddRootPort(RootPortSecond, NicBusSecond);
  if (S.NicsPresent) {
    P.Pci.AddNic(Sim::PciExpressSpace::Address(NicBusFirst, 0, 0), NicBarFirst,
                 {0x00, 0x1B, 0x21, 0xA0, 0x10, 0x01});
    P.Pci.AddNic(Sim::PciExpressSpace::Address(NicBusSecond, 0, 0), NicBarSecond,
                 {0x00, 0x1B, 0x21, 0xA0, 0x10, 0x02});
  }

  Out << "== BoardSetupDxe boot on the simulated board ==\n"
      << "Board: riser " << (S.Riser ? "fitted" : "not fitted") << ", PCD protocol "
      << (S.PcdPresent ? "present" : "absent") << ", onboard NICs "
      << (S.NicsPresent ? "present" : "absent") << "\n\n";

  EFI_HANDLE Image = nullptr;
  const EFI_STATUS Entry = P.StartImage(BoardSetupDxeEntry, &Image);
  const auto NicHandles = P.Boot.HandlesWith(BoardNicInfoProtocolGuid);
  Out << "Entry point returned " << (Entry == EFI_SUCCESS ? "EFI_SUCCESS" : Hex(static_cast<unsigned>(Entry)))
      << "; BoardNicInfoProtocol on " << NicHandles.size() << " handle(s)"
      << (NicHandles.size() == 1 && NicHandles[0] != Image ? ", not the image handle" : "")
      << "; " << P.Boot.LiveEvents() << " notification(s) armed\n\n";

  Out << "-- SetupStringProtocol arrives --\n";
  P.InstallSetupStringProtocol();
  ReportRelabel(P, S, Out);

  Out << "\n-- another driver asks for the MAC addresses --\n";
  ReportNics(P, Out);

  const auto Errors = P.Errors();
  Out << "\nSimulator errors: " << (Errors.empty() ? "none" : std::to_string(Errors.size())) << "\n";
  for (const auto &E : Errors) {
    Out << "  " << E << "\n";
  }
  return static_cast<int>(Errors.size());
}
