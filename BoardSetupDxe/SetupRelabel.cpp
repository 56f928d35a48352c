// Makes the generic Setup form describe this board: hide 21 items, name the
// option-ROM options after the real slots, rewrite 54 labels. Runs once.
#include "BoardSetupDxe.h"
#include "BoardTables.h"
#include "SetupStringProtocol.h"

VOID EFIAPI SetupRelabelCallback(EFI_EVENT Event, VOID *Context) {
  (VOID) Context;
  gBoardSetup.BootServices->CloseEvent(Event);

  VOID *Interface = nullptr;
  if (EFI_ERROR(gBoardSetup.BootServices->LocateProtocol(&SetupStringProtocolGuid, nullptr,
                                                         &Interface)) ||
      Interface == nullptr) {
    return;
  }
  const auto *Strings = static_cast<const SETUP_STRING_PROTOCOL *>(Interface);

  for (const UINT16 *Id = SetupHideList; *Id != 0; ++Id) {
    Strings->HideString(SetupFormName, *Id);
  }

  const BOOLEAN Riser = RiserFitted();
  // Without the PCD protocol no slot can be shown as enabled: the rows are
  // left as the form defines them.
  const PCD_PROTOCOL *Pcd = GetPcdProtocol();
  if (Pcd != nullptr) {
    for (UINTN Row = 0; Row < sizeof(OpromSlotTable) / sizeof(OpromSlotTable[0]); ++Row) {
      const OpromSlotRow &Slot = OpromSlotTable[Row];
      if (Pcd->Get32(Slot.PcdToken) == 0 || Slot.Prompt == nullptr) {
        continue;
      }
      const bool RiserText = Riser && Row == OpromRiserRow;
      Strings->SetString(SetupFormName, Slot.PromptId, RiserText ? OpromRiserPrompt : Slot.Prompt);
      Strings->SetString(SetupFormName, Slot.HelpId, RiserText ? OpromRiserHelp : Slot.Help);
    }
  }

  for (const SetupLabelRow &Row : SetupLabelTable) {
    Strings->SetString(SetupFormName, Row.StringId, Row.Label);
  }
}
