// Load time: capture the service tables, publish the NIC protocol, arm the
// protocol-arrival notifications, return. All board work happens later.
#include "BoardSetupDxe.h"
#include "SetupStringProtocol.h"

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

  return EFI_SUCCESS;
}
