// The dispatch boot's log: every line goes to the isa-debugcon on the log
// port, byte by byte, which works before the console exists (the stand-in
// runs during dispatch), inside SMM, and after ExitBootServices alike.
#include "DispatchBoot.h"
#include "Hal/IoAccess.h"
#include "TestApp.h"

VOID Emit(const Line &L) {
  for (UINTN I = 0; I < L.Length(); ++I) {
    IoWrite8(DispatchBoot::LogPort, static_cast<UINT8>(L.Text()[I]));
  }
  IoWrite8(DispatchBoot::LogPort, '\n');
}
