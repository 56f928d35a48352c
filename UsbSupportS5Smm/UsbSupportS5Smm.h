// UsbSupportS5Smm: keeps bit 0 of Super I/O logical device 7, register 0xED
// in line with byte 48 of the "UsbSupport" variable, at every S5 entry and
// every power-button press.
//
// Installs:  nothing.
// Needs:     EFI_SMM_BASE2_PROTOCOL, EFI_SMM_ACCESS2_PROTOCOL (boot services,
//            at load); SmmPlatformServiceProtocol (SMM, at load; the load
//            fails without it).
// Registers: UsbStandbyHandler with EFI_SMM_SX_DISPATCH2_PROTOCOL (S5 entry)
//            and, when present, EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL.
// Calls:     at load LocateProtocol, FreePool (boot services), SmmAllocatePool,
//            SmmFreePool, SmmLocateProtocol; in the handler only what the
//            SMST leads to: SmmLocateProtocol, SmmGetVariable("UsbSupport"),
//            the SioAccessGate of the SMST configuration table.
// Touches:   Super I/O ports 0x2E/0x2F, between SioAccessGate(TRUE) and (FALSE).
#pragma once

#include "Uefi/Smm.h"
#include "Uefi/Uefi.h"

// Memory-service state of the image entry: the SMRAM map is kept for the
// driver's life on a successful load and freed when the load fails.
struct SmmMemoryService {
  EFI_SYSTEM_TABLE *SystemTable;
  EFI_BOOT_SERVICES *BootServices;
  EFI_SMM_SYSTEM_TABLE2 *Smst;  // NULL outside SMM
  EFI_SMRAM_DESCRIPTOR *SmramMap;  // SMM pool; NULL when not allocated
  UINTN SmramMapCount;
};
extern SmmMemoryService gSmmMemoryService;

// Driver context: written during the entry point only; afterwards the
// handler reads Smst and nothing else.
struct SmmDriverContext {
  EFI_SYSTEM_TABLE *SystemTable;  // NULL until the first initialisation
  EFI_BOOT_SERVICES *BootServices;
  EFI_RUNTIME_SERVICES *RuntimeServices;  // the SMM table when the SMST has one
  EFI_SMM_BASE2_PROTOCOL *SmmBase;
  EFI_SMM_SYSTEM_TABLE2 *Smst;
  VOID *PlatformService;  // presence only; never called through
};
extern SmmDriverContext gSmmDriverContext;

// How InitSmmDriverContext ended.
enum class SmmContextEnd {
  Stopped,   // a lookup failed; Status says why
  NotInSmm,  // nothing to do outside SMRAM
  Completed  // Status is the platform-service lookup result
};
struct SmmContextResult {
  SmmContextEnd End;
  EFI_STATUS Status;
};

extern "C" EFI_STATUS EFIAPI UsbSupportS5SmmImageEntry(EFI_HANDLE ImageHandle,
                                                       EFI_SYSTEM_TABLE *SystemTable);
EFI_STATUS UsbSupportS5SmmEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
SmmContextResult InitSmmDriverContext(EFI_SYSTEM_TABLE *SystemTable);
EFI_STATUS RegisterUsbStandbyHandler(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
// First SMST configuration-table entry with this VendorGuid, or NULL.
// The caller makes sure gSmmDriverContext.Smst is set.
VOID *FindSmmConfigurationTable(const EFI_GUID *Guid);

EFI_STATUS EFIAPI UsbStandbyHandler(EFI_HANDLE DispatchHandle, const VOID *Context,
                                    VOID *CommBuffer, UINTN *CommBufferSize);
