// The USB standby handler raised by real SMIs: one row per "UsbSupport" and
// gate case, each at S5 entry and at the power button, with a NULL and with
// a junk CommBuffer. The variable is stored through the real variable
// service (at runtime too), so the handler reads it through OVMF's SMM
// variable driver. Here the application checks what the stand-in saw (how
// many handlers ran, the gate calls); the host judge checks the port order.
#include "SetupVariable.h"
#include "SmmBench.h"

namespace {

using SmmBench::BootScenario;
using SmmTest::Comm;
using SmmTest::Event;
using SmmTest::Gate;

constexpr CHAR16 UsbSupportName[] = u"UsbSupport";
constexpr UINT32 UsbSupportAttributes =
    EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;
constexpr UINTN UsbSupportSize = 57;
constexpr UINTN UsbStandbyByte = 48;
constexpr UINTN LargestVariable = UsbSupportSize + 1;
constexpr UINT8 FillerByte = 0x5A;  // every byte but 48: the handler must not care
constexpr UINTN NoVariable = 0;

// One "UsbSupport" and gate situation, in the order a reader of the board's
// rules meets them.
struct HandlerRow {
  const CHAR8 *Name;
  UINTN VariableSize;  // NoVariable: deleted
  UINT8 Byte48;        // when the variable has that byte
  Gate TheGate;
};
constexpr HandlerRow HandlerRows[] = {
    {"clear-bit",        UsbSupportSize,  0, Gate::Working},
    {"set-bit",          UsbSupportSize,  1, Gate::Working},
    {"keep-bit",         UsbSupportSize,  2, Gate::Working},
    {"short-variable",   40,              0, Gate::Working},  // no byte 48: read as zero
    {"no-variable",      NoVariable,      0, Gate::Working},
    {"oversize-variable", LargestVariable, 1, Gate::Working},
    {"no-gate-entry",    UsbSupportSize,  1, Gate::Absent},
    {"gate-claim-fails", UsbSupportSize,  1, Gate::AcquireFails},
};

struct Raise {
  Event TheEvent;
  Comm TheComm;
  const CHAR8 *Name;
};
constexpr Raise Raises[] = {
    {Event::S5Entry, Comm::Null, "S5 entry, NULL CommBuffer"},
    {Event::S5Entry, Comm::Junk, "S5 entry, junk CommBuffer"},
    {Event::PowerButton, Comm::Null, "power button, NULL CommBuffer"},
    {Event::PowerButton, Comm::Junk, "power button, junk CommBuffer"},
};

constexpr UINTN BurstSmis = 1000;
constexpr UINT64 MillisecondsPerSecond = 1000;

EFI_STATUS StoreUsbSupport(UINTN Size, UINT8 Byte48) {
  UINT8 Data[LargestVariable];
  for (UINT8 &Byte : Data) {
    Byte = FillerByte;
  }
  Data[UsbStandbyByte] = Byte48;
  EFI_RUNTIME_SERVICES *Rt = gApp.SystemTable->RuntimeServices;
  const EFI_STATUS Status =
      Rt->SetVariable(UsbSupportName, &SetupVariableGuid, UsbSupportAttributes, Size, Data);
  // Deleting a variable that is not there leaves the state we want.
  return Size == NoVariable && Status == EFI_NOT_FOUND ? EFI_SUCCESS : Status;
}

// What the host judge needs to know about the variable the next SMIs read.
VOID TraceUsbSupport(UINTN Size, UINT8 Byte48) {
  if (Size == NoVariable) {
    SmmBench::Trace(Line().Str("usb none"));
  } else if (Size > UsbStandbyByte) {
    SmmBench::Trace(Line().Str("usb ").Dec(Size).Str(" ").Dec(Byte48));
  } else {
    SmmBench::Trace(Line().Str("usb ").Dec(Size));
  }
}

// The gate calls a row gives when the handler is registered.
struct GateExpectation {
  UINT32 Calls;
  SmmTest::GateCall Call[2];
};
GateExpectation ExpectedGate(Gate G, bool Registered) {
  if (!Registered || G == Gate::Absent) {
    return {0, {}};
  }
  if (G == Gate::AcquireFails) {
    return {1, {{1, {}, EFI_NOT_READY}, {}}};
  }
  return {2, {{1, {}, EFI_SUCCESS}, {0, {}, EFI_SUCCESS}}};
}

Line &Describe(Line &L, const SmmTest::SmiRecord &R) {
  L.Str("handlers ").Dec(R.HandlersCalled).Str(" (failed ").Dec(R.HandlerFailures)
      .Str("), gate calls");
  for (UINT32 I = 0; I < R.GateCallCount && I < SmmTest::MaxGateCalls; ++I) {
    L.Str(" ").Dec(R.GateCalls[I].Argument).Str(EFI_ERROR(R.GateCalls[I].Result) ? ":fail" : ":ok");
  }
  if (R.GateCallCount == 0) {
    L.Str(" none");
  }
  return L.Str(R.GateEntryAfter ? "" : ", gate entry missing afterwards");
}

Line &DescribeRow(Line &L, const HandlerRow &Row) {
  if (Row.VariableSize == NoVariable) {
    L.Str("no UsbSupport");
  } else if (Row.VariableSize > UsbStandbyByte) {
    L.Str("UsbSupport ").Dec(Row.VariableSize).Str(" bytes, byte 48 = ").Dec(Row.Byte48);
  } else {
    L.Str("UsbSupport ").Dec(Row.VariableSize).Str(" bytes (no byte 48)");
  }
  switch (Row.TheGate) {
    case Gate::Working:
      return L;
    case Gate::Absent:
      return L.Str(", no gate entry");
    case Gate::AcquireFails:
      return L.Str(", gate(1) fails");
  }
  return L;
}

bool AsExpected(const SmmTest::SmiRecord &R, UINT32 Handlers, const GateExpectation &Gate) {
  if (R.HandlersCalled != Handlers || R.HandlerFailures != 0 || !R.GateEntryAfter ||
      R.GateCallCount != Gate.Calls) {
    return false;
  }
  for (UINT32 I = 0; I < Gate.Calls; ++I) {
    if (R.GateCalls[I].Argument != Gate.Call[I].Argument ||
        EFI_ERROR(R.GateCalls[I].Result) != EFI_ERROR(Gate.Call[I].Result)) {
      return false;
    }
  }
  return true;
}

}  // namespace

namespace SmmBench {

VOID RunHandlerRows(const Section &Sec, const SmmTest::Report *Report, const BootScenario &S,
                    const CHAR8 *Phase) {
  const bool Registered = S.Registered();
  const UINT32 Handlers = Registered ? 1 : 0;
  Trace(Line().Str("phase ").Str(Phase));
  const UINT64 StrayBefore = Report->StrayGateCalls;
  for (const HandlerRow &Row : HandlerRows) {
    const EFI_STATUS Stored = StoreUsbSupport(Row.VariableSize, Row.Byte48);
    TraceUsbSupport(Row.VariableSize, Row.Byte48);
    const GateExpectation Gate = ExpectedGate(Row.TheGate, Registered);
    Line Detail;
    bool Passed = !EFI_ERROR(Stored);
    if (!Passed) {
      Detail.Str("SetVariable(UsbSupport) returned ").Status(Stored);
    }
    SmmTest::SmiRecord First = {};
    for (const Raise &R : Raises) {
      const UINT8 Case = SmmTest::Encode({R.TheEvent, R.TheComm, Row.TheGate});
      if (!RaiseSmi(Report, Case)) {
        if (Passed) {
          Detail.Str(R.Name).Str(": the SMI was not handled");
        }
        Passed = false;
        continue;
      }
      const SmmTest::SmiRecord Record = Report->Last;
      if (&R == &Raises[0]) {
        First = Record;
      }
      if (!AsExpected(Record, Handlers, Gate) && Passed) {
        Passed = false;
        Detail.Str(R.Name).Str(": ");
        Describe(Detail, Record).Str("; want handlers ").Dec(Handlers).Str(", gate calls ")
            .Dec(Gate.Calls);
      }
    }
    Line Summary;
    Summary.Str(Row.Name).Str(": ");
    DescribeRow(Summary, Row).Str("; S5 entry and power button, NULL and junk CommBuffer: ");
    Sec.Info(Describe(Summary, First));
    Sec.Check(Row.Name, Passed, Detail);
  }
  Sec.Check("no-stray-gate-calls", Report->StrayGateCalls == StrayBefore,
            Line().Str("gate calls outside a handler SMI: ")
                .Dec(Report->StrayGateCalls - StrayBefore));
}

VOID RunBurst(const Section &Sec, const SmmTest::Report *Report, const BootScenario &S,
              const AcpiPower &Acpi) {
  if (!S.Registered()) {
    Sec.Info(Line().Str("no burst: nothing is registered to raise"));
    return;
  }
  const HandlerRow &Row = HandlerRows[0];
  if (!Sec.Check("variable", !EFI_ERROR(StoreUsbSupport(Row.VariableSize, Row.Byte48)),
                 "SetVariable(UsbSupport) failed")) {
    return;
  }
  TraceUsbSupport(Row.VariableSize, Row.Byte48);
  if (!Sec.Check("pool-watch-begin", RaiseSmi(Report, SmmTest::PoolWatchBegin),
                 "SMI not handled")) {
    return;
  }
  Trace(Line().Str("burst begin"));
  UINTN Handled = 0;
  UINT64 Ticks = 0;
  UINT32 Previous = ReadPmTimer(Acpi);
  for (UINTN I = 0; I < BurstSmis; ++I) {
    const Raise &R = Raises[I % (sizeof(Raises) / sizeof(Raises[0]))];
    Handled += RaiseSmi(Report, SmmTest::Encode({R.TheEvent, R.TheComm, Row.TheGate}));
    // One SMI takes far less than a timer wrap (4.6 s at 24 bits).
    const UINT32 Now = ReadPmTimer(Acpi);
    Ticks += (Now - Previous) & Acpi.PmTimerMask;
    Previous = Now;
  }
  Trace(Line().Str("burst end"));
  const bool Ended = RaiseSmi(Report, SmmTest::PoolWatchEnd);
  const SmmTest::PoolWatch &P = Report->Pool;

  Sec.Check("handled", Handled == BurstSmis && Ended,
            Line().Str("handled ").Dec(Handled).Str(" of ").Dec(BurstSmis)
                .Str(Ended ? "" : ", pool-watch end not handled"));
  Sec.Check("identical", P.Smis == BurstSmis && P.SmisLikeFirst == BurstSmis,
            Line().Str("handler SMIs seen ").Dec(P.Smis).Str(", like the first ")
                .Dec(P.SmisLikeFirst));
  Sec.Check("pool-watched", P.ProbeSeen && P.SlotsHeld,
            Line().Str("probe block seen ").Dec(P.ProbeSeen)
                .Str(", SMST slots still wrapped at the end ")
                .Dec(P.SlotsHeld));
  Sec.Check("pool-unchanged",
            P.OutstandingBlocks == 0 && P.OutstandingBytes == 0 && P.OutstandingPages == 0 &&
                P.Untracked == 0 && P.CallsFromDriverImage == 0,
            Line().Str("outstanding ").Dec(P.OutstandingBlocks).Str(" blocks, ")
                .Dec(P.OutstandingBytes).Str(" bytes, ").Dec(P.OutstandingPages)
                .Str(" pages; untracked ").Dec(P.Untracked).Str("; calls from the driver ")
                .Dec(P.CallsFromDriverImage));
  Sec.Info(Line().Str("SMST pool during ").Dec(P.Smis).Str(" SMIs: AllocatePool ")
               .Dec(P.AllocatePoolCalls).Str(", FreePool ").Dec(P.FreePoolCalls)
               .Str(", AllocatePages ").Dec(P.AllocatePagesCalls).Str(", FreePages ")
               .Dec(P.FreePagesCalls).Str("; from UsbSupportS5Smm ").Dec(P.CallsFromDriverImage)
               .Str("; after the run ").Dec(P.OutstandingBlocks).Str(" blocks / ")
               .Dec(P.OutstandingBytes).Str(" bytes more than before"));
  if (Ticks != 0) {
    Sec.Info(Line().Dec(BurstSmis).Str(" SMIs in ")
                 .Dec(Ticks * MillisecondsPerSecond / PmTimerHz).Str(" ms (PM timer): ")
                 .Dec(BurstSmis * PmTimerHz / Ticks).Str(" handler runs per second under TCG"));
  }
}

}  // namespace SmmBench
