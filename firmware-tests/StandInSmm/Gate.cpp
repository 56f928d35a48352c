// The Super I/O access gate the platform keeps in the SMST configuration
// table. Every call is written to the log port as a TRACE line, so the host
// sees it in order with the Super I/O port accesses it must bracket, and is
// recorded for the SMI in progress. A case can make the claim fail, or take
// the whole entry out of the table for one SMI.
#include "StandInSmm.h"

namespace {

using namespace StandIn;

// What a gate answers when the ports are busy; any error would do.
constexpr EFI_STATUS GateBusy = EFI_NOT_READY;

SmmTest::Gate gMode = SmmTest::Gate::Working;
SmmTest::SmiRecord *gRecord;

EFI_STATUS EFIAPI StandInSioAccessGate(BOOLEAN Acquire) {
  const UINT8 Argument = Acquire;
  const EFI_STATUS Result =
      Argument != 0 && gMode == SmmTest::Gate::AcquireFails ? GateBusy : EFI_SUCCESS;
  Emit(Line().Str("TRACE gate ").Dec(Argument).Str(EFI_ERROR(Result) ? " fail" : " ok"));
  if (gRecord == nullptr) {
    ++gReport->StrayGateCalls;
    return Result;
  }
  if (gRecord->GateCallCount < SmmTest::MaxGateCalls) {
    SmmTest::GateCall &Call = gRecord->GateCalls[gRecord->GateCallCount];
    Call.Argument = Argument;
    Call.Result = Result;
  }
  ++gRecord->GateCallCount;
  return Result;
}

constinit SIO_ACCESS_GATE gGate = {StandInSioAccessGate};

bool GateEntryPresent() {
  const EFI_CONFIGURATION_TABLE *Table = gSmst->SmmConfigurationTable;
  for (UINTN I = 0; Table != nullptr && I < gSmst->NumberOfTableEntries; ++I) {
    if (GuidEqual(Table[I].VendorGuid, SioAccessGateGuid)) {
      return true;
    }
  }
  return false;
}

}  // namespace

namespace StandIn {

EFI_STATUS InstallGate() {
  return gSmst->SmmInstallConfigurationTable(gSmst, &SioAccessGateGuid, &gGate, sizeof(gGate));
}

VOID BeginGateSmi(SmmTest::Gate Mode, SmmTest::SmiRecord *Record) {
  gMode = Mode;
  gRecord = Record;
  if (Mode == SmmTest::Gate::Absent) {
    // A NULL table removes the entry.
    gSmst->SmmInstallConfigurationTable(gSmst, &SioAccessGateGuid, nullptr, 0);
  }
}

VOID EndGateSmi() {
  if (gMode == SmmTest::Gate::Absent) {
    InstallGate();
  }
  gRecord->GateEntryAfter = GateEntryPresent();
  gMode = SmmTest::Gate::Working;
  gRecord = nullptr;
}

}  // namespace StandIn
