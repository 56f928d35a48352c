// DispatchTests.efi, the BOOTX64.EFI of the dispatch boot: by the time it
// runs, the DXE dispatcher has started BoardSetupDxe and the DXE stand-in
// from the firmware volume, and the stand-in has played the platform's
// arrivals. The application checks what the driver did, in the order a
// board boots, then hands over to the SMM part. Every line goes to the log
// port (DispatchBoot.h); run-dispatch.sh judges the boot on the host.
#pragma once

#include "DispatchedImages.h"
#include "DxeStandInRecord.h"

// What the DXE checks share.
struct DispatchContext {
  const DxeScenario *Scenario;
  const DxeStandInRecord *Record;  // NULL: the stand-in published none
  DispatchedImage BoardSetup;      // as the dispatcher started it
  bool BoardSetupFound;
};

// The DXE checks, in board order, each into the section its caller names
// (DispatchTests.cpp: "dispatch", "relabel", ...).
VOID CheckDispatch(const Section &Sec, DispatchContext &Context);
VOID CheckRelabel(const Section &Sec, const DispatchContext &Context);
VOID CheckExpander(const Section &Sec, const DispatchContext &Context);
VOID CheckSuperIo(const Section &Sec, const DispatchContext &Context);
VOID CheckSmbios(const Section &Sec, const DispatchContext &Context);
VOID CheckNic(const Section &Sec, const DispatchContext &Context);

// The SMM part of the boot on a firmware with SMM (SmmHandlerChecks.h, the
// SMM side's files in this folder): the SMM load and registrations, the
// driver as an ordinary image, the handler's SMIs before and after
// ExitBootServices, the load run, then the DONE line and power-off; it never
// returns.
[[noreturn]] VOID RunSmmHandlerPhase();
// UsbSupportS5Smm's PE32 section started as an ordinary image
// (SmmOrdinaryImage.cpp), with SMM: outside SMRAM it loads quietly.
VOID CheckSmmDriverOutsideSmram(const Section &Sec);
// On a firmware without SMM: no SMM base protocol, the SMM files never
// loaded, and the driver as an ordinary image fails with the lookup status.
VOID CheckWithoutSmm(const Section &Sec);

// The DONE line with every check of the boot (the stand-in's and ours).
VOID EmitDone();
// EmitDone, then power-off through the runtime services. Never returns.
[[noreturn]] VOID FinishBoot();
