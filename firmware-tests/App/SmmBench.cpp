// The application's side of the SMM bench: finding the stand-in's report,
// raising one SMI and waiting for it, the TRACE lines, the scenario.
#include "DispatchBoot.h"
#include "DispatchScenarios.h"
#include "Hal/IoAccess.h"
#include "SmmBench.h"

namespace {

// TCG takes an SMI at the end of the translated block that raised it; a
// loop iteration ends one. Far more rounds than any SMI of this bench takes.
constexpr UINTN SmiWaitRounds = 10000000;

// The report is written by SMM: every read after an SMI must go to memory.
VOID MemoryBarrier() { __asm__ __volatile__("" : : : "memory"); }

// Once an SMI went unanswered the bench is broken: the rest fail at once
// instead of each waiting out its rounds.
bool gSmiLost;

}  // namespace

namespace SmmBench {

const SmmTest::Report *FindReport(EFI_SYSTEM_TABLE *SystemTable) {
  for (UINTN I = 0; I < SystemTable->NumberOfTableEntries; ++I) {
    const EFI_CONFIGURATION_TABLE &Entry = SystemTable->ConfigurationTable[I];
    if (!GuidEqual(Entry.VendorGuid, SmmTest::ReportGuid)) {
      continue;
    }
    const auto *Report = static_cast<const SmmTest::Report *>(Entry.VendorTable);
    if (Report != nullptr && Report->Signature == SmmTest::ReportSignature &&
        Report->Size == sizeof(SmmTest::Report)) {
      return Report;
    }
  }
  return nullptr;
}

bool RaiseSmi(const SmmTest::Report *Report, UINT8 Request) {
  if (gSmiLost) {
    return false;
  }
  MemoryBarrier();
  const UINT64 Before = Report->RequestsHandled;
  IoWrite8(SmmTest::ApmDataPort, Request);
  IoWrite8(SmmTest::ApmControlPort, SmmTest::BoardTestCommand);
  for (UINTN Round = 0; Round < SmiWaitRounds; ++Round) {
    __asm__ __volatile__("pause" : : : "memory");
    if (Report->RequestsHandled != Before) {
      return Report->RequestsHandled == Before + 1 && Report->Last.Case == Request;
    }
  }
  gSmiLost = true;
  return false;
}

VOID Trace(const Line &Text) {
  Line L;
  L.Str("TRACE ").Str(Text.Text());
  Emit(L);
}

BootScenario ReadScenario() {
  BootScenario S = {};
  ScenarioName(S.Name);
  const Bench::Scenario *Known = DispatchBoot::FindScenario(S.Name);
  S.PlatformService = Known != nullptr && Known->PlatformService;
  return S;
}

}  // namespace SmmBench
