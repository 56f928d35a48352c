#include "BootReport.h"

#include <algorithm>

#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <sstream>

#include "BoardSetupDxe.h"
#include "BoardTables.h"
#include "ReportText.h"
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
constexpr UINT8 ExpanderAddress = 0x38;
constexpr UINT8 ExpanderInputRegister = 0;
constexpr UINT16 SioIndex = 0x2E;
constexpr UINT8 SioSelect = 0x07;
constexpr UINT8 SioActivate = 0x30;
constexpr UINT8 SioOptions = 0xF2;
constexpr UINT8 SioDevices[] = {2, 3};

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

void ReportExpander(Sim::Platform &P, const BootScenario &S, std::ostream &Out) {
  Out << "-- EFI_SMBUS_HC_PROTOCOL arrives (expander at " << Hex(ExpanderAddress, 2) << ": ";
  if (S.SmbusDevicePresent) {
    Out << "reports " << Hex(S.ExpanderInputs, 2) << ") --\n";
  } else {
    Out << "does not answer) --\n";
  }
  P.InstallSmbusProtocol();
  for (const auto &C : P.Smbus.Calls()) {
    Out << "Execute(address " << Hex(static_cast<unsigned>(C.RawAddress), 2) << ", command "
        << C.Command << ", " << (C.Operation == EfiSmbusReadByte ? "EfiSmbusReadByte" : "operation " + std::to_string(C.Operation))
        << ", PEC " << (C.PecCheck ? "on" : "off") << ", length " << C.LengthIn << ") -> "
        << StatusName(C.Status);
    if (C.Status == EFI_SUCCESS) {
      Out << ", byte " << Hex(C.BufferOut, 2);
    }
    Out << "\n";
  }
  Out << "Expander presence labels:\n";
  for (UINTN Bit = 0; Bit < std::size(ExpanderPresenceLabels); ++Bit) {
    const UINT16 Id = ExpanderPresenceLabels[Bit];
    Out << "  bit " << Bit << "  " << Hex(Id) << " "
        << (P.SetupStrings.Written(Id) ? Quoted(P.SetupStrings.Text(Id)) : "(not written: the form keeps its text)")
        << "\n";
  }
}

void ReportSuperIo(Sim::Platform &P, const BootScenario &S, std::ostream &Out) {
  Out << "-- Super I/O trigger arrives --\n\"Setup\" variable: ";
  if (S.SetupSize == 0) {
    Out << "absent";
  } else {
    Out << S.SetupSize << " bytes";
    for (const auto &[Offset, Value] : S.Setup) {
      Out << ", byte " << Offset;
      if (Offset < S.SetupSize) {
        Out << " = " << unsigned{Value};
      } else {
        Out << " beyond the variable";
      }
    }
  }
  Out << "\n";
  const size_t From = P.Trace.size();
  P.InstallSioTrigger();
  for (const auto &R : P.Variables.Reads()) {
    Out << "GetVariable(\"Setup\", DataSize " << R.SizeIn << ") -> " << StatusName(R.Status) << "\n";
  }
  std::vector<Sim::HwAccess> Ports;
  for (size_t I = From; I < P.Trace.size(); ++I) {
    if (P.Trace[I].IsPort()) {
      Ports.push_back(P.Trace[I]);
    }
  }
  Out << "Port traffic (" << Ports.size() << " accesses):\n";
  UINT8 Index = 0;
  for (const auto &A : Ports) {
    std::string Note;
    const auto V = static_cast<UINT8>(A.Value);
    if (A.K == Sim::HwAccess::Kind::IoWrite && A.Address == SioIndex) {
      Index = V;
      Note = V == 0x87 ? "enter key" : V == 0xAA ? "exit key" : "index " + Hex(V, 2);
    } else if (A.K == Sim::HwAccess::Kind::IoWrite) {
      Note = Index == SioSelect     ? "select logical device " + std::to_string(V)
             : Index == SioActivate ? "activate"
             : Index == SioOptions  ? "options written back"
                                    : "data";
    } else {
      Note = "read " + Hex(Index, 2);
    }
    Out << "  " << Sim::Describe(A) << "   " << Note << "\n";
  }
  for (const UINT8 D : SioDevices) {
    Out << "Logical device " << unsigned{D} << ": 0x30 = " << Hex(P.SuperIo.Register(D, SioActivate), 2)
        << ", 0xF2 = " << Hex(P.SuperIo.Register(D, SioOptions), 2) << "\n";
  }
}

void ShowSlots(Sim::Platform &P, std::ostream &Out) {
  for (const EFI_SMBIOS_HANDLE H : P.Smbios.Handles()) {
    Out << "  handle " << Hex(H) << "  Slot ID " << Hex(P.Smbios.SlotId(H)) << "  "
        << Quoted(P.Smbios.SlotDesignation(H)) << "\n";
  }
}

void ReportSmbios(Sim::Platform &P, std::ostream &Out) {
  Out << "-- EFI_SMBIOS_PROTOCOL, then the SMBIOS trigger, arrive --\nType 9 records before:\n";
  ShowSlots(P, Out);
  P.InstallSmbiosProtocol();
  P.InstallSmbiosTrigger();
  Out << "after (" << P.Faults.Calls("SmbiosGetNext") << " GetNext call(s), "
      << P.Smbios.Updates() << " string update(s)):\n";
  ShowSlots(P, Out);
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
  if (S.SmbusDevicePresent) {
    P.Smbus.AddDevice(ExpanderAddress);
    P.Smbus.SetRegister(ExpanderAddress, ExpanderInputRegister, S.ExpanderInputs);
  } else {
    P.Smbus.AddSilentDevice(ExpanderAddress);
  }
  if (S.SetupSize != 0) {
    std::vector<std::pair<size_t, UINT8>> Stored;
    for (const auto &[Offset, Value] : S.Setup) {
      if (Offset < S.SetupSize) {
        Stored.push_back({Offset, Value});
      }
    }
    P.StoreSetupVariable(S.SetupSize, Stored);
  }
  for (size_t I = 0; I < S.SlotIds.size(); ++I) {
    P.Smbios.AddSlot(S.SlotIds[I], "SLOT" + std::to_string(I + 1) + " (id " + std::to_string(S.SlotIds[I]) + ")");
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

  for (const std::string &Arrival : S.Order) {
    if (Arrival == "strings") {
      Out << "-- SetupStringProtocol arrives --\n";
      P.InstallSetupStringProtocol();
      ReportRelabel(P, S, Out);
    } else if (Arrival == "smbus") {
      ReportExpander(P, S, Out);
    } else if (Arrival == "sio") {
      ReportSuperIo(P, S, Out);
    } else if (Arrival == "smbios") {
      ReportSmbios(P, Out);
    }
    Out << "\n";
  }
  // The presence labels are written at whichever of their two arrivals
  // comes last, so the form is shown once more as DXE leaves it.
  Out << "Presence labels at the end of DXE:";
  for (const UINT16 Id : ExpanderPresenceLabels) {
    Out << " " << Hex(Id) << "="
        << (P.SetupStrings.Written(Id) ? Quoted(P.SetupStrings.Text(Id)) : "(form's own)");
  }
  Out << "\n";

  Out << "\n-- another driver asks for the MAC addresses --\n";
  ReportNics(P, Out);

  const auto Errors = P.Errors();
  Out << "\nSimulator errors: " << (Errors.empty() ? "none" : std::to_string(Errors.size())) << "\n";
  for (const auto &E : Errors) {
    Out << "  " << E << "\n";
  }
  return static_cast<int>(Errors.size());
}

const char BoardSetupOptionsUsage[] =
    "                [--setup OFFSET=VALUE[,...]] [--setup-size N] [--no-setup]\n"
    "                [--smbus BYTE] [--no-smbus-device] [--slots ID[,ID...]]\n"
    "                [--order strings,smbus,sio,smbios (any order, each once)]\n";

namespace {

bool Number(const std::string &T, unsigned long Max, unsigned long &V) {
  char *End = nullptr;
  V = std::strtoul(T.c_str(), &End, 0);
  return !T.empty() && *End == '\0' && V <= Max;
}

// "A,B,C" or "K=V,K=V": each item through Item.
template <typename F>
bool EachItem(const std::string &List, F Item) {
  size_t Pos = 0;
  for (;;) {
    const size_t Comma = List.find(',', Pos);
    if (!Item(List.substr(Pos, Comma == std::string::npos ? std::string::npos : Comma - Pos))) {
      return false;
    }
    if (Comma == std::string::npos) {
      return true;
    }
    Pos = Comma + 1;
  }
}

}  // namespace

int ParseBoardSetupOption(int Argc, char **Argv, int &I, BootScenario &S, std::string &Why) {
  const std::string A = Argv[I];
  const auto Value = [&](std::string &V) {
    if (I + 1 >= Argc) {
      return false;
    }
    V = Argv[++I];
    return true;
  };
  std::string V;
  unsigned long N = 0;
  if (A == "--no-smbus-device") {
    S.SmbusDevicePresent = false;
  } else if (A == "--no-setup") {
    S.SetupSize = 0;
  } else if (A == "--smbus") {
    if (!Value(V) || !Number(V, 0xFF, N)) {
      Why = "--smbus wants the byte the expander reports (0-255)";
      return -1;
    }
    S.SmbusDevicePresent = true;
    S.ExpanderInputs = static_cast<UINT8>(N);
  } else if (A == "--setup-size") {
    if (!Value(V) || !Number(V, 0x10000, N) || N == 0) {
      Why = "--setup-size wants a size in bytes (1-65536)";
      return -1;
    }
    S.SetupSize = N;
  } else if (A == "--setup") {
    S.Setup.clear();
    const bool Ok = Value(V) && EachItem(V, [&S](const std::string &Item) {
      const size_t Eq = Item.find('=');
      unsigned long Offset = 0;
      unsigned long Byte = 0;
      if (Eq == std::string::npos || !Number(Item.substr(0, Eq), 0xFFFF, Offset) ||
          !Number(Item.substr(Eq + 1), 0xFF, Byte)) {
        return false;
      }
      S.Setup[Offset] = static_cast<UINT8>(Byte);
      return true;
    });
    if (!Ok) {
      Why = "--setup wants OFFSET=VALUE[,OFFSET=VALUE...], e.g. 5265=2,5266=6";
      return -1;
    }
  } else if (A == "--slots") {
    S.SlotIds.clear();
    const bool Ok = Value(V) && EachItem(V, [&S](const std::string &Item) {
      unsigned long Id = 0;
      if (!Number(Item, 0xFFFF, Id)) {
        return false;
      }
      S.SlotIds.push_back(static_cast<UINT16>(Id));
      return true;
    });
    if (!Ok) {
      Why = "--slots wants the Slot IDs of the type 9 records, e.g. 4,7,5,6";
      return -1;
    }
  } else if (A == "--order") {
    static const std::vector<std::string> Arrivals = {"strings", "smbus", "sio", "smbios"};
    std::vector<std::string> Order;
    const bool Ok = Value(V) && EachItem(V, [&Order](const std::string &Item) {
      if (std::find(Arrivals.begin(), Arrivals.end(), Item) == Arrivals.end() ||
          std::find(Order.begin(), Order.end(), Item) != Order.end()) {
        return false;
      }
      Order.push_back(Item);
      return true;
    });
    if (!Ok || Order.size() != Arrivals.size()) {
      Why = "--order wants strings, smbus, sio and smbios, each once, e.g. smbus,strings,sio,smbios";
      return -1;
    }
    S.Order = Order;
  } else {
    return 0;
  }
  return 1;
}
