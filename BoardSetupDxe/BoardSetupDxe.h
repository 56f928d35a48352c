// BoardSetupDxe: tailors the generic firmware to this board.
//
// Installs:  BoardNicInfoProtocol (at entry, on a handle of its own).
// Waits for: SetupStringProtocol (relabel the Setup form; expander labels),
//            EFI_SMBUS_HC_PROTOCOL (expander labels), the Super I/O trigger
//            (logical devices 2 and 3), the SMBIOS trigger (riser slot record).
// Calls:     PCD_PROTOCOL.Get32, SetupStringProtocol, EFI_SMBUS_HC_PROTOCOL,
//            EFI_SMBIOS_PROTOCOL, GetVariable("Setup").
// Touches:   Super I/O ports 0x2E/0x2F, PCIe configuration space at
//            0xC0000000 and the onboard NICs' registers.
#pragma once

#include "BoardNicInfoProtocol.h"
#include "Uefi/Uefi.h"

// Driver-wide state: written at entry or on first use, only read afterwards.
struct BoardSetupGlobals {
  EFI_SYSTEM_TABLE *SystemTable;
  EFI_BOOT_SERVICES *BootServices;
  EFI_RUNTIME_SERVICES *RuntimeServices;
  VOID *HobList;      // NULL until found in the configuration table
  PCD_PROTOCOL *Pcd;  // NULL until located
};
extern BoardSetupGlobals gBoardSetup;

extern "C" EFI_STATUS EFIAPI BoardSetupDxeEntry(EFI_HANDLE ImageHandle,
                                                EFI_SYSTEM_TABLE *SystemTable);

// Shared services.
VOID *GetHobList();
EFI_HOB_GUID_TYPE *FindGuidHob(const EFI_GUID *Name);
BOOLEAN RiserFitted();
PCD_PROTOCOL *GetPcdProtocol();
VOID RegisterProtocolCallback(EFI_EVENT_NOTIFY Function, const EFI_GUID *Protocol);

// Notification functions.
VOID EFIAPI SetupRelabelCallback(EFI_EVENT Event, VOID *Context);
VOID EFIAPI ExpanderPresenceCallback(EFI_EVENT Event, VOID *Context);
VOID EFIAPI SioDeviceCallback(EFI_EVENT Event, VOID *Context);
VOID EFIAPI SmbiosRiserSlotCallback(EFI_EVENT Event, VOID *Context);

// BoardNicInfoProtocol.
extern const BOARD_NIC_INFO_PROTOCOL gBoardNicInfo;
BOOLEAN EFIAPI AlwaysFalse();
EFI_STATUS EFIAPI GetNicMacAddresses(UINT8 *First, NicMacRecord *Second);
EFI_STATUS ReadNicMac(UINT16 PciAddress, NicMacRecord *Record);
