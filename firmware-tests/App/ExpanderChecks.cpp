// Expander presence labels on the real DXE core: a stand-in SMBus host
// controller and the stand-in string protocol arrive after the driver
// started, in either order, and the firmware's notify dispatch runs the
// callback at each arrival. Only the later arrival may read the device and
// write the eight labels. The relabel callback shares the string arrival, so
// the PCD stand-in answers its reads; its writes never touch the expander's
// label ids.
#include "ExpanderChecks.h"
#include "BoardExpectations.h"
#include "DriverUnderTest.h"
#include "SetupStringProtocol.h"
#include "Uefi/Smbus.h"

namespace {

using Kind = SetupStringOp::Kind;

struct ExpanderCase {
  bool SmbusFirst;
  UINT8 Inputs;  // what the device answers
};

// Recorded writes to the expander's labels, in call order.
UINTN LabelOps(const SetupStringOp **Out, UINTN Max) {
  UINTN N = 0;
  for (UINTN I = 0; I < SetupStringStandIn::Count(); ++I) {
    const SetupStringOp &Op = SetupStringStandIn::Op(I);
    if (Expect::IsExpanderLabel(Op.Id)) {
      if (N < Max) {
        Out[N] = &Op;
      }
      ++N;
    }
  }
  return N;
}

}  // namespace

UINTN ExpanderLabelOpCount() { return LabelOps(nullptr, 0); }

namespace {

bool Absent(const EFI_GUID &Guid) {
  VOID *Interface = nullptr;
  return gApp.BootServices->LocateProtocol(&Guid, nullptr, &Interface) == EFI_NOT_FOUND;
}

}  // namespace

VOID CheckExpanderRead() {
  const UINTN Reads = SmbusStandIn::Count();
  Check("one-device-read", Reads == 1, Line().Dec(Reads).Str(" Execute calls, want 1"));
  if (Reads == 0) {
    return;
  }
  const SmbusCall &C = SmbusStandIn::Call(0);
  Info(Line().Str("Execute(address word ").Hex(C.AddressWord).Str(", command ").Dec(C.Command)
           .Str(", operation ").Dec(C.Operation).Str(", PEC ").Dec(C.PecCheck).Str(", *Length ")
           .Dec(C.LengthIn).Str(", byte in ").Hex(C.BufferIn, 2).Str(") at TPL ").Dec(C.Tpl));
  Check("address-0x38", C.AddressWord == Expect::ExpanderAddress,
        Line().Str("address word ").Hex(C.AddressWord));
  Check("command-0", C.Command == 0, Line().Str("command ").Dec(C.Command));
  Check("read-byte", C.Operation == EfiSmbusReadByte, Line().Str("operation ").Dec(C.Operation));
  Check("pec-off", C.PecCheck == FALSE, Line().Str("PecCheck ").Dec(C.PecCheck));
  Check("length-1", C.HasLength && C.LengthIn == 1,
        C.HasLength ? Line().Str("*Length ").Dec(C.LengthIn) : Line().Str("Length NULL"));
  Check("buffer-zeroed", C.HasBuffer && C.BufferIn == 0,
        C.HasBuffer ? Line().Str("byte in ").Hex(C.BufferIn, 2) : Line().Str("Buffer NULL"));
  Check("read-at-tpl-notify", C.Tpl == TPL_NOTIFY, Line().Str("TPL ").Dec(C.Tpl));
}

// Bit 0 first, one label per bit, each exactly once.
VOID CheckExpanderLabels(UINT8 Inputs) {
  const SetupStringOp *Ops[Expect::ExpanderLabelCount] = {};
  const UINTN N = LabelOps(Ops, Expect::ExpanderLabelCount);
  bool Right = N == Expect::ExpanderLabelCount;
  Line Detail;
  Detail.Dec(N).Str(" label writes");
  bool Context = true;
  for (UINTN Bit = 0; Bit < Expect::ExpanderLabelCount && Bit < N; ++Bit) {
    const SetupStringOp &Op = *Ops[Bit];
    const CHAR8 *Want = ((Inputs >> Bit) & 1) != 0 ? Expect::ExpanderHigh : Expect::ExpanderLow;
    Info(Line().Str("set ").Hex(Op.Id, 4).Str(" ").Quoted(Op.Text));
    if (Right && (Op.K != Kind::Set || Op.Id != Expect::ExpanderLabels[Bit] ||
                  !TextEqual(Op.Text, Want))) {
      Right = false;
      Detail.Str("; bit ").Dec(Bit).Str(": want set ").Hex(Expect::ExpanderLabels[Bit], 4)
          .Str(" ").Quoted(Want).Str(", got ").Str(Op.K == Kind::Set ? "set " : "hide ")
          .Hex(Op.Id, 4).Str(" ").Quoted(Op.Text);
    }
    Context = Context && Op.Tpl == TPL_NOTIFY && TextEqual(Op.Form, Expect::FormName);
  }
  Check("labels", Right, Detail);
  Check("labels-at-tpl-notify-on-setup", Context, "a label write at another TPL or form");
}

namespace {

VOID RunExpander(const ExpanderCase &C) {
  // The other scenarios took their producers away; OVMF has none of its own.
  Check("no-smbus-before", Absent(EFI_SMBUS_HC_PROTOCOL_GUID), "an SMBus host controller is installed");
  Check("no-setup-string-before", Absent(SetupStringProtocolGuid), "a SetupStringProtocol is installed");
  if (!PcdStandIn::Install(nullptr, 0)) {
    return;
  }
  LoadedDriver Driver;
  if (LoadAndStart("BoardSetupDxe", &Driver)) {
    SmbusStandIn::Reset(C.Inputs);
    SetupStringStandIn::Reset();
    EFI_HANDLE Smbus = nullptr;
    EFI_HANDLE Strings = nullptr;
    const CHAR8 *FirstName = C.SmbusFirst ? "SMBus host controller" : "SetupStringProtocol";
    const CHAR8 *SecondName = C.SmbusFirst ? "SetupStringProtocol" : "SMBus host controller";

    const EFI_STATUS First =
        C.SmbusFirst ? SmbusStandIn::Install(&Smbus) : SetupStringStandIn::Install(&Strings);
    Info(Line().Str(FirstName).Str(" installed: ").Status(First).Str(", ")
             .Dec(SmbusStandIn::Count()).Str(" Execute calls, ").Dec(ExpanderLabelOpCount())
             .Str(" label writes"));
    Check("first-arrival-installed", First == EFI_SUCCESS, Line().Status(First));
    Check("first-arrival-writes-nothing", SmbusStandIn::Count() == 0 && ExpanderLabelOpCount() == 0,
          Line().Dec(SmbusStandIn::Count()).Str(" Execute calls, ").Dec(ExpanderLabelOpCount())
              .Str(" label writes"));

    const EFI_STATUS Second =
        C.SmbusFirst ? SetupStringStandIn::Install(&Strings) : SmbusStandIn::Install(&Smbus);
    Info(Line().Str(SecondName).Str(" installed: ").Status(Second).Str(", device answers ")
             .Hex(C.Inputs, 2).Str(", ").Dec(SmbusStandIn::Count()).Str(" Execute calls, ")
             .Dec(ExpanderLabelOpCount()).Str(" label writes before InstallProtocolInterface returned"));
    if (Check("second-arrival-installed", Second == EFI_SUCCESS, Line().Status(Second))) {
      CheckExpanderRead();
      CheckExpanderLabels(C.Inputs);
      const UINTN Others = SmbusStandIn::FirmwareCalls() + SetupStringStandIn::FirmwareCalls();
      Check("no-firmware-calls", Others == 0, Line().Dec(Others).Str(" calls from outside our drivers"));
      if (SmbusStandIn::EarlierCopyCalls() + SetupStringStandIn::EarlierCopyCalls() != 0) {
        Info(Line().Str("copies loaded by earlier scenarios: ").Dec(SmbusStandIn::EarlierCopyCalls())
                 .Str(" Execute and ").Dec(SetupStringStandIn::EarlierCopyCalls())
                 .Str(" string calls"));
      }

      // Both events are closed: further producers of either protocol are
      // never read and never written to.
      const UINTN Reads = SmbusStandIn::Count();
      const UINTN Labels = ExpanderLabelOpCount();
      EFI_HANDLE SmbusAgain = nullptr;
      EFI_HANDLE StringsAgain = nullptr;
      const EFI_STATUS A = SmbusStandIn::Install(&SmbusAgain);
      const EFI_STATUS B = SetupStringStandIn::Install(&StringsAgain);
      Check("later-arrivals-do-nothing",
            A == EFI_SUCCESS && B == EFI_SUCCESS && SmbusStandIn::Count() == Reads &&
                ExpanderLabelOpCount() == Labels,
            Line().Str("installs ").Status(A).Str("/").Status(B).Str(", ")
                .Dec(SmbusStandIn::Count() - Reads).Str(" more reads, ")
                .Dec(ExpanderLabelOpCount() - Labels).Str(" more label writes"));
      SmbusStandIn::Uninstall(SmbusAgain);
      SetupStringStandIn::Uninstall(StringsAgain);
    }
    const EFI_STATUS U1 = SmbusStandIn::Uninstall(Smbus);
    const EFI_STATUS U2 = SetupStringStandIn::Uninstall(Strings);
    Check("producers-removed",
          U1 == EFI_SUCCESS && U2 == EFI_SUCCESS && Absent(EFI_SMBUS_HC_PROTOCOL_GUID) &&
              Absent(SetupStringProtocolGuid),
          Line().Str("UninstallProtocolInterface ").Status(U1).Str("/").Status(U2));
  }
  PcdStandIn::Restore();
}

}  // namespace

// The bytes are complements of each other, so a label left from the other
// scenario's run would show as wrong text.
VOID ExpanderSmbusFirstScenario() { RunExpander({true, 0xA5}); }
VOID ExpanderStringsFirstScenario() { RunExpander({false, 0x5A}); }
