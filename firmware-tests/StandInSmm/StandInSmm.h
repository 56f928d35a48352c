// SMM stand-in of the dispatch boot. Test bench only, never product code: it
// plays, inside SMRAM, the chipset and platform parts that OVMF's SMM lacks
// and that UsbSupportS5Smm needs, and reports what it saw.
//
// Installs (SMM):   SmmPlatformServiceProtocol (in the scenarios whose
//                   list row says so), EFI_SMM_SX_DISPATCH2_PROTOCOL,
//                   EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL, the SioAccessGate
//                   record in the SMST configuration table, a root SMI handler.
// Installs (DXE):   the report (SmmTest::Report) as a system configuration
//                   table, from its entry, while boot services still serve SMM.
// Raises:           on the bench's APM command, the handlers registered for S5
//                   entry ({SxS5, SxEntry} only) or for the power button, with
//                   a NULL or a junk CommBuffer, as a chipset's dispatcher does.
// Watches:          the SMST pool and page slots while UsbSupportS5Smm loads
//                   and during a pool watch (SmmTest::PoolWatchBegin/End).
// Writes:           TRACE lines for every gate call on the log port, so the
//                   host sees them in order with the Super I/O port accesses.
//
// Its own state stays in SMRAM; the report outside SMRAM is only ever written,
// never read back, so nothing outside SMM can steer what runs inside.
#pragma once

#include "PeImage.h"
#include "SmmPlatform.h"
#include "SmmTestProtocol.h"
#include "TestApp.h"  // Line, Emit: the log port

namespace StandIn {

// Set at entry; the SMM core's table for the life of SMRAM.
extern EFI_SMM_SYSTEM_TABLE2 *gSmst;
// Never NULL: points at a copy in SMRAM when the boot-services one could not
// be allocated (the application then finds no report and says so).
extern SmmTest::Report *gReport;

// ---- SMRAM and images (Smram.cpp) ------------------------------------------
VOID RecordSmramRanges(EFI_BOOT_SERVICES *BootServices);
bool InSmram(UINT64 Address, UINT64 Length = 1);
struct LoadedImage {
  UINT64 Base;  // 0: none found
  PeImage::Facts Facts;
};
// The PE image in SMRAM whose pages hold Address: its headers sit at the
// nearest page boundary below it that starts with a PE32+ header.
LoadedImage FindImage(UINT64 Address);
bool InImage(const LoadedImage &Image, UINT64 Address);

// ---- Dispatchers (Dispatchers.cpp) -----------------------------------------
EFI_STATUS InstallDispatchers();
// Calls every live registration for the event; returns how many ran and
// adds the ones that did not return EFI_SUCCESS to *Failures.
UINT32 RaiseEvent(SmmTest::Event Event, SmmTest::Comm Comm, UINT32 *Failures);
// The handler of the first live {SxS5, SxEntry} registration, or 0.
UINT64 S5EntryHandler();

// ---- The Super I/O access gate (Gate.cpp) ----------------------------------
EFI_STATUS InstallGate();
// Plays one SMI's gate: Absent takes the entry out of the SMST table until
// EndGateSmi puts it back. Gate calls in between are recorded in Record.
VOID BeginGateSmi(SmmTest::Gate Mode, SmmTest::SmiRecord *Record);
VOID EndGateSmi();

// ---- SMST pool and page slots (PoolWatch.cpp) ------------------------------
// From the entry until the load report: remember recent allocations, so the
// ones the SMM driver made while it loaded can be told apart.
VOID BeginLoadWatch();
// Called when the driver registers: the recent allocations made from inside
// Image go into the report, and a later free of one of them is counted.
VOID AttributeLoadAllocations(const LoadedImage &Image);
VOID EndLoadWatch();
VOID BeginPoolWatch(const LoadedImage &DriverImage);
VOID NotePoolWatchSmi(const SmmTest::SmiRecord &Record);
VOID EndPoolWatch();

// ---- The root SMI handler (RootHandler.cpp) --------------------------------
EFI_STATUS EFIAPI RootSmiHandler(EFI_HANDLE DispatchHandle, const VOID *Context,
                                 VOID *CommBuffer, UINTN *CommBufferSize);

}  // namespace StandIn
