// What BoardSetupDxe did when the stand-in played the platform's arrivals,
// over the stand-in's record of the one copy the dispatcher started.
#include "BoardExpectations.h"
#include "BoardTriggers.h"
#include "DispatchApp.h"
#include "ExpanderChecks.h"
#include "NicChecks.h"
#include "RelabelChecks.h"
#include "SetupStringProtocol.h"
#include "SetupVariable.h"
#include "Uefi/Smbus.h"


namespace {

constexpr CHAR8 StringsProducer[] = "SetupStringProtocol";
constexpr CHAR8 SmbusProducer[] = "SMBus host controller";

// The stand-in's arrival of Producer, and the state before it (the arrival
// before, or nothing yet).
struct ArrivalSpan {
  const StandInArrival *At;
  StandInArrival Before;
};

ArrivalSpan FindArrival(const DxeStandInRecord &Record, const CHAR8 *Producer) {
  ArrivalSpan Span{nullptr, {}};
  for (UINTN I = 0; I < Record.ArrivalCount; ++I) {
    if (TextEqual(Record.Arrivals[I].Producer, Producer)) {
      Span.At = &Record.Arrivals[I];
      return Span;
    }
    Span.Before = Record.Arrivals[I];
  }
  return Span;
}

UINTN ExpanderLabelOpsBefore(UINTN Ops) {
  UINTN N = 0;
  for (UINTN I = 0; I < Ops && I < SetupStringStandIn::Count(); ++I) {
    N += Expect::IsExpanderLabel(SetupStringStandIn::Op(I).Id) ? 1 : 0;
  }
  return N;
}

// Another producer of Guid on a new handle, with the first producer's
// interface (the stand-ins' functions); taken away again by Remove.
struct ExtraProducer {
  EFI_HANDLE Handle;
  const EFI_GUID *Guid;
  VOID *Interface;
  EFI_STATUS Status;
};

ExtraProducer InstallAnother(const EFI_GUID &Guid, EFI_HANDLE First) {
  ExtraProducer P{nullptr, &Guid, nullptr, EFI_NOT_FOUND};
  EFI_BOOT_SERVICES *Bs = gApp.BootServices;
  if (EFI_ERROR(Bs->HandleProtocol(First, &Guid, &P.Interface)) || P.Interface == nullptr) {
    return P;
  }
  // The interface records are the stand-in's, fixed for the boot: a second
  // installation may share one (the firmware keeps one entry per handle).
  P.Status = Bs->InstallProtocolInterface(&P.Handle, &Guid, EFI_NATIVE_INTERFACE, P.Interface);
  return P;
}

VOID Remove(const ExtraProducer &P) {
  if (!EFI_ERROR(P.Status)) {
    gApp.BootServices->UninstallProtocolInterface(P.Handle, P.Guid, P.Interface);
  }
}

}  // namespace

VOID CheckRelabel(const Section &Sec, const DispatchContext &Context) {
  const DxeScenario &S = *Context.Scenario;
  const DxeStandInRecord &Record = *Context.Record;
  const ArrivalSpan Strings = FindArrival(Record, StringsProducer);
  const bool Installed = Strings.At != nullptr && !EFI_ERROR(Strings.At->Status);
  Sec.Check("setup-string-installed", Installed,
            "the stand-in did not install SetupStringProtocol");
  if (!Installed) {
    return;
  }
  const CHAR8 *Riser = S.RiserFlag != 0 ? "riser HOB, flag set" : "riser HOB, flag clear";
  Sec.Info(Line().Str(S.RiserHob ? Riser : "no riser HOB")
               .Str("; SetupStringProtocol arrived with ").Dec(Strings.At->StringOps)
               .Str(" string calls before InstallProtocolInterface returned"));
  Sec.Check("quiet-until-arrival", Strings.Before.StringOps == 0,
            Line().Dec(Strings.Before.StringOps).Str(" string calls before the protocol arrived"));
  CheckRelabelArrival(Sec, {S.Pcd, S.PcdCount, S.RiserHob, S.RiserFlag}, Strings.At->StringOps,
                      Strings.Before.PcdReads, Strings.At->PcdReads);

  // A second producer on another handle: the callback closed its event.
  const UINTN Before = SetupStringStandIn::Count();
  const ExtraProducer Second = InstallAnother(SetupStringProtocolGuid, Record.SetupStringHandle);
  Sec.Check("second-arrival-writes-nothing",
            Second.Status == EFI_SUCCESS && SetupStringStandIn::Count() == Before,
            Line().Str("install ").Status(Second.Status).Str(", ")
                .Dec(SetupStringStandIn::Count() - Before).Str(" more calls"));
  Remove(Second);
}

VOID CheckExpander(const Section &Sec, const DispatchContext &Context) {
  const DxeScenario &S = *Context.Scenario;
  const DxeStandInRecord &Record = *Context.Record;
  const ArrivalSpan Smbus = FindArrival(Record, SmbusProducer);
  const ArrivalSpan Strings = FindArrival(Record, StringsProducer);
  const bool Installed = Smbus.At != nullptr && Strings.At != nullptr &&
                         !EFI_ERROR(Smbus.At->Status) && !EFI_ERROR(Strings.At->Status);
  Sec.Check("both-arrived", Installed, "the stand-in did not install both producers");
  if (!Installed) {
    return;
  }
  const StandInArrival &First = S.SmbusFirst ? *Smbus.At : *Strings.At;
  Sec.Info(Line().Str(S.SmbusFirst ? SmbusProducer : StringsProducer).Str(" first, then ")
               .Str(S.SmbusFirst ? StringsProducer : SmbusProducer).Str("; the expander answers ")
               .Hex(S.ExpanderInputs, 2));
  const UINTN FirstLabels = ExpanderLabelOpsBefore(First.StringOps);
  Sec.Check("arrival-order",
            S.SmbusFirst ? Smbus.At < Strings.At : Strings.At < Smbus.At,
            "the stand-in installed them in the other order");
  Sec.Check("first-arrival-writes-nothing", First.SmbusCalls == 0 && FirstLabels == 0,
            Line().Dec(First.SmbusCalls).Str(" Execute calls, ").Dec(FirstLabels)
                .Str(" label writes at the first arrival"));
  CheckExpanderRead(Sec);
  CheckExpanderLabels(Sec, S.ExpanderInputs);
  const UINTN Others = SmbusStandIn::FirmwareCalls() + SetupStringStandIn::FirmwareCalls();
  Sec.Check("no-firmware-calls", Others == 0,
            Line().Dec(Others).Str(" calls from outside the driver"));

  // Both events are closed: further producers of either protocol are never
  // read and never written to.
  const UINTN Reads = SmbusStandIn::Count();
  const UINTN Labels = ExpanderLabelOpCount();
  const ExtraProducer A = InstallAnother(EFI_SMBUS_HC_PROTOCOL_GUID, Record.SmbusHandle);
  const ExtraProducer B = InstallAnother(SetupStringProtocolGuid, Record.SetupStringHandle);
  Sec.Check("later-arrivals-do-nothing",
            A.Status == EFI_SUCCESS && B.Status == EFI_SUCCESS && SmbusStandIn::Count() == Reads &&
                ExpanderLabelOpCount() == Labels,
            Line().Str("installs ").Status(A.Status).Str("/").Status(B.Status).Str(", ")
                .Dec(SmbusStandIn::Count() - Reads).Str(" more reads, ")
                .Dec(ExpanderLabelOpCount() - Labels).Str(" more label writes"));
  Remove(A);
  Remove(B);
}

// The port bytes are the host's to judge (the debugcon files and the port
// trace); here: the variable the driver read is the one the scenario stored.
VOID CheckSuperIo(const Section &Sec, const DispatchContext &Context) {
  const DxeScenario &S = *Context.Scenario;
  static UINT8 Setup[SetupVariableSize];
  UINTN Size = sizeof(Setup);
  UINT32 Attributes = 0;
  const EFI_STATUS Status = gApp.SystemTable->RuntimeServices->GetVariable(
      SetupVariableName, &SetupVariableGuid, &Attributes, &Size, Setup);
  if (S.SetupVariable) {
    Sec.Info(Line().Str("\"Setup\": ").Status(Status).Str(", ").Dec(Size).Str(" bytes, byte ")
                 .Dec(Device2SettingOffset).Str(" = ").Dec(Setup[Device2SettingOffset])
                 .Str(", byte ")
                 .Dec(Device3SettingOffset).Str(" = ").Dec(Setup[Device3SettingOffset]));
    Sec.Check("setup-variable-as-played",
              Status == EFI_SUCCESS && Size == SetupVariableSize &&
                  Setup[Device2SettingOffset] == S.Device2Setting &&
                  Setup[Device3SettingOffset] == S.Device3Setting,
              Line().Str("GetVariable ").Status(Status).Str(", ").Dec(Size).Str(" bytes"));
  } else {
    Sec.Info(Line().Str("no \"Setup\" variable: ").Status(Status));
    Sec.Check("no-setup-variable", Status == EFI_NOT_FOUND,
              Line().Str("GetVariable ").Status(Status));
  }
}

VOID CheckSmbios(const Section &Sec, const DispatchContext &Context) {
  const DxeScenario &S = *Context.Scenario;
  const DxeStandInRecord &Record = *Context.Record;
  if (!Sec.Check("slots-added-before-trigger", Record.SmbiosAdded && Record.Smbios.Ready,
                 "the stand-in could not set the records up (see its lines)")) {
    return;
  }
  CheckAfterTrigger(Sec, Record.Smbios, S.RiserHob && S.RiserFlag != 0);
  CheckAfterSecondTrigger(Sec, Record.Smbios);
  CheckPublishedRecord(Sec, Record.Smbios);
}

VOID CheckNic(const Section &Sec, const DispatchContext &Context) {
  const BOARD_NIC_INFO_PROTOCOL *Nic =
      CheckNicPublished(Sec, Context.BoardSetup.Handle, Context.BoardSetup.Range());
  if (Nic != nullptr) {
    CheckNicMacRead(Sec, Nic);
  }
}
