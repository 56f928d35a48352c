// Load time: capture the service tables, publish the NIC protocol, arm the
// protocol-arrival notifications, return. All board work happens later.
#include "BoardSetupDxe.h"
#include "BoardTriggers.h"
#include "SetupStringProtocol.h"
#include "Uefi/Smbus.h"

BoardSetupGlobals gBoardSetup;

VOID RegisterProtocolCallback(EFI_EVENT_NOTIFY Function, const EFI_GUID *Protocol) {
  EFI_GUID Guid = *Protocol;
  EFI_EVENT Event = nullptr;
  EFI_STATUS Status = gBoardSetup.BootServices->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_NOTIFY,
                                                            Function, nullptr, &Event);
  if (EFI_ERROR(Status)) {
    return;
  }
  // The key is never needed again: callbacks locate what they need.
  VOID *Registration = nullptr;
  gBoardSetup.BootServices->RegisterProtocolNotify(&Guid, Event, &Registration);
}

namespace {

// The trigger protocols are only waited for, each at the priority its
// callback runs at.
VOID ArmTrigger(EFI_TPL Tpl, EFI_EVENT_NOTIFY Function, const EFI_GUID *Trigger) {
  EFI_EVENT Event = nullptr;
  if (EFI_ERROR(gBoardSetup.BootServices->CreateEvent(EVT_NOTIFY_SIGNAL, Tpl, Function, nullptr,
                                                      &Event))) {
    return;
  }
  VOID *Registration = nullptr;
  gBoardSetup.BootServices->RegisterProtocolNotify(Trigger, Event, &Registration);
}

}  // namespace

extern "C" EFI_STATUS EFIAPI BoardSetupDxeEntry(EFI_HANDLE ImageHandle,
                                                EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  gBoardSetup.SystemTable = SystemTable;
  gBoardSetup.BootServices = SystemTable->BootServices;
  gBoardSetup.RuntimeServices = SystemTable->RuntimeServices;

  // A handle of its own, not the image handle; a failure only means other
  // drivers cannot find the protocol, so the notifications are armed anyway.
  EFI_HANDLE NicHandle = nullptr;
  gBoardSetup.BootServices->InstallProtocolInterface(
      &NicHandle, &BoardNicInfoProtocolGuid, EFI_NATIVE_INTERFACE,
      const_cast<BOARD_NIC_INFO_PROTOCOL *>(&gBoardNicInfo));

  RegisterProtocolCallback(SetupRelabelCallback, &SetupStringProtocolGuid);
  // The expander labels need both protocols, which arrive in either order.
  RegisterProtocolCallback(ExpanderPresenceCallback, &EFI_SMBUS_HC_PROTOCOL_GUID);
  RegisterProtocolCallback(ExpanderPresenceCallback, &SetupStringProtocolGuid);
  ArmTrigger(TPL_NOTIFY, SioDeviceCallback, &SioTriggerProtocolGuid);
  // Below the others: SMBIOS work can wait for the TPL_NOTIFY callbacks.
  ArmTrigger(TPL_CALLBACK, SmbiosRiserSlotCallback, &SmbiosTriggerProtocolGuid);

  return EFI_SUCCESS;
}
