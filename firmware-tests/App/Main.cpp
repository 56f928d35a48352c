// The test application's entry: choose the scenario sets, run them in table
// order, report, and power the machine off so QEMU exits.
#include "TestApp.h"

TestApp gApp;
extern const CHAR8 *gCurrentScenario;

extern "C" EFI_STATUS EFIAPI TestAppEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  gApp.ImageHandle = ImageHandle;
  gApp.SystemTable = SystemTable;
  gApp.BootServices = SystemTable->BootServices;
  // The boot manager arms a watchdog for boot options; a slow emulated run
  // must end by our own shutdown or the host's time limit, not a reset.
  gApp.BootServices->SetWatchdogTimer(0, 0, 0, nullptr);

  const CHAR8 *Sets = SelectedSets();
  if (Sets == nullptr) {
    Sets = DefaultSet;
  }
  Line Start;
  Start.Str("sets ").Str(Sets).Str(", firmware ");
  Start.Wide(SystemTable->FirmwareVendor).Str(" rev ").Hex(SystemTable->FirmwareRevision);
  Info(Start);

  UINTN Ran = 0;
  for (UINTN I = 0; I < ScenarioCount; ++I) {
    const Scenario &S = ScenarioTable[I];
    if (!SetSelected(Sets, S.Set)) {
      continue;
    }
    Line Title;
    Title.Str("SCENARIO ").Str(S.Name).Str(" (").Str(S.Set).Str(")");
    Emit(Title);
    gCurrentScenario = S.Name;
    S.Run();
    ++Ran;
  }
  gCurrentScenario = "app";
  Check("scenarios-selected", Ran != 0, Line().Str("no scenario in sets ").Str(Sets));

  Line Done;
  Done.Str("DONE ").Dec(gApp.Passed).Str(" passed, ").Dec(gApp.Failed).Str(" failed");
  Emit(Done);
  SystemTable->RuntimeServices->ResetSystem(EfiResetShutdown, EFI_SUCCESS, 0, nullptr);
  return EFI_SUCCESS;
}
