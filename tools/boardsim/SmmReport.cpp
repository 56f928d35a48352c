#include "SmmReport.h"

#if BOARD_HAVE_SMM_DRIVER

#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "ReportText.h"
#include "SetupVariable.h"
#include "Simulator/Platform.h"
#include "UsbSupportS5Smm.h"

namespace {

constexpr UINT8 UsbDevice = 0x07;
constexpr UINT8 UsbRegister = 0xED;
constexpr size_t UsbSupportSize = 57;
constexpr size_t UsbSupportByte = 48;
constexpr UINT8 UsbRegisterAtPowerOn = 0xA4;  // bit 0 clear, neighbours set
constexpr UINT8 UsbSupportFiller = 0x00;

std::string Bit0(UINT8 Value) {
  return Hex(Value, 2) + "  (bit 0 = " + std::to_string(Value & 1) + ")";
}

void ReportLoad(Sim::Platform &P, EFI_STATUS Status, std::ostream &Out) {
  Out << "UsbSupportS5Smm: image entry returned " << StatusName(Status) << "\n";
  const SmmMemoryService &M = gSmmMemoryService;
  if (M.SmramMap != nullptr) {
    Out << "  SMRAM map kept in SMM pool: " << M.SmramMapCount << " range(s)\n";
    // Host addresses change from run to run; offsets from the first range do not.
    const UINT64 Base = M.SmramMap[0].CpuStart;
    for (UINTN I = 0; I < M.SmramMapCount; ++I) {
      Out << "    SMRAM+" << Hex(M.SmramMap[I].CpuStart - Base, 5) << "  "
          << Hex(M.SmramMap[I].PhysicalSize, 5) << " bytes\n";
    }
  } else {
    Out << "  SMRAM map: none kept\n";
  }
  Out << "  Registered:\n";
  for (const auto *R : P.Smm.SxRegistrations()) {
    Out << "    sleep-state dispatcher   "
        << (R->Handler == UsbStandbyHandler ? "UsbStandbyHandler" : "(another handler)")
        << "  Type " << R->SxContext.Type << (R->SxContext.Type == SxS5 ? " (S5)" : "")
        << "  Phase " << R->SxContext.Phase << (R->SxContext.Phase == SxEntry ? " (entry)" : "")
        << "\n";
  }
  for (const auto *R : P.Smm.PowerButtonRegistrations()) {
    Out << "    power-button dispatcher  "
        << (R->Handler == UsbStandbyHandler ? "UsbStandbyHandler" : "(another handler)")
        << "  Phase " << R->PowerButtonContext.Phase
        << (R->PowerButtonContext.Phase == EfiPowerButtonEntry ? " (entry)" : "") << "\n";
  }
  if (P.Smm.SxRegistrations().empty() && P.Smm.PowerButtonRegistrations().empty()) {
    Out << "    nothing\n";
  }
  Out << "  Boot services, runtime services and the system table are poisoned from here on.\n";
}

void ReportSmi(Sim::Platform &P, const char *Event, unsigned Ran, std::ostream &Out) {
  Out << "\n" << Event << ": " << Ran << " handler run(s)\n";
  if (Ran == 0) {
    return;
  }
  const auto &Run = P.Smm.Runs().back();
  std::vector<std::string> Gates;
  for (size_t I = Run.GateBegin; I < Run.GateEnd; ++I) {
    const auto &G = P.Smm.GateCalls()[I];
    Gates.push_back(std::string("SioAccessGate(") + (G.Acquire ? "TRUE" : "FALSE") + ") -> " +
                    StatusName(G.Status));
  }
  unsigned Ports = 0;
  for (size_t I = Run.TraceBegin; I < Run.TraceEnd; ++I) {
    if (P.Trace[I].IsPort()) {
      ++Ports;
    }
  }
  Out << "  handler returned " << StatusName(Run.Status) << "; " << Ports << " port accesses; "
      << Run.PoolAllocations << " SMM pool allocations\n";
  size_t Gate = Run.GateBegin;
  for (size_t I = Run.TraceBegin; I <= Run.TraceEnd; ++I) {
    for (; Gate < Run.GateEnd && P.Smm.GateCalls()[Gate].TracePosition == I; ++Gate) {
      Out << "    " << Gates[Gate - Run.GateBegin] << "\n";
    }
    if (I < Run.TraceEnd && P.Trace[I].IsPort()) {
      Out << "    " << Sim::Describe(P.Trace[I]) << "\n";
    }
  }
  Out << "  LDN 7 register 0xED after: " << Bit0(P.SuperIo.Register(UsbDevice, UsbRegister))
      << "\n";
}

}  // namespace

int RunSmmReport(const SmmScenario &S, std::ostream &Out) {
  gSmmMemoryService = {};
  gSmmDriverContext = {};
  Sim::Platform P;
  P.SuperIo.SetRegister(UsbDevice, UsbRegister, UsbRegisterAtPowerOn);
  if (S.UsbSupportPresent) {
    std::vector<UINT8> Bytes(UsbSupportSize, UsbSupportFiller);
    Bytes[UsbSupportByte] = S.UsbSupport;
    P.Variables.Set(u"UsbSupport", SetupVariableGuid, Bytes);
  }

  Out << "=== SMM: S5 USB support driver ===\n\n";
  P.Smm.Build();
  ReportLoad(P, P.Smm.LoadDriver(UsbSupportS5SmmImageEntry), Out);

  Out << "\n\"UsbSupport\" byte 48: "
      << (S.UsbSupportPresent ? std::to_string(S.UsbSupport) : std::string("(no variable)"))
      << "\nLDN 7 register 0xED before: " << Bit0(P.SuperIo.Register(UsbDevice, UsbRegister))
      << "\n";
  if (S.EnterS5) {
    ReportSmi(P, "Enter S5", P.Smm.EnterS5(), Out);
  }
  if (S.PressPowerButton) {
    ReportSmi(P, "Press the power button", P.Smm.PressPowerButton(), Out);
  }

  const auto Errors = P.Errors();
  Out << "\nSMM simulator errors: " << (Errors.empty() ? "none" : std::to_string(Errors.size()))
      << "\n";
  for (const auto &E : Errors) {
    Out << "  " << E << "\n";
  }
  return static_cast<int>(Errors.size());
}

#endif  // BOARD_HAVE_SMM_DRIVER
