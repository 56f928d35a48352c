// The SMM part of the dispatch boot, in the order a board meets it: the load,
// the handler at S5 entry and at the power button during boot, the OS taking
// over (ExitBootServices), the same SMIs at runtime, a burst of them, and the
// power-off. After ExitBootServices only port I/O, the stand-in's report and
// the runtime services are used.
#include "DispatchApp.h"
#include "SmmBench.h"
#include "SmmHandlerChecks.h"

namespace {

// The memory map only has to reach ExitBootServices: a fixed buffer keeps
// its own allocation from changing the map it describes.
constexpr UINTN MemoryMapBytes = 64 * 1024;
alignas(8) UINT8 gMemoryMap[MemoryMapBytes];

// The firmware's own ExitBootServices events may change the map between our
// GetMemoryMap and the call; a second try with a fresh key is the rule.
EFI_STATUS ExitBootServices(UINTN *Attempts) {
  EFI_BOOT_SERVICES *Bs = gApp.BootServices;
  EFI_STATUS Status = EFI_INVALID_PARAMETER;
  for (*Attempts = 1; *Attempts <= 2; ++*Attempts) {
    UINTN Size = sizeof(gMemoryMap);
    UINTN MapKey = 0;
    UINTN DescriptorSize = 0;
    UINT32 DescriptorVersion = 0;
    Status = Bs->GetMemoryMap(&Size, gMemoryMap, &MapKey, &DescriptorSize, &DescriptorVersion);
    if (EFI_ERROR(Status)) {
      return Status;
    }
    Status = Bs->ExitBootServices(gApp.ImageHandle, MapKey);
    if (Status != EFI_INVALID_PARAMETER) {
      return Status;
    }
  }
  *Attempts = 2;
  return Status;
}

[[noreturn]] VOID Halt() {
  for (;;) {
    __asm__ __volatile__("cli; hlt");
  }
}

// Long enough for QEMU to act on the PM1a_CNT write before we call it a failure.
constexpr UINTN PowerOffWaitRounds = 100000000;

}  // namespace

[[noreturn]] VOID RunSmmHandlerPhase() {
  using namespace SmmBench;
  const BootScenario S = ReadScenario();
  const SmmTest::Report *Report = FindReport(gApp.SystemTable);
  constexpr Section Smm{"smm"};
  Smm.Check("standin-report", Report != nullptr, "no SMM stand-in report in the system table");
  if (Report != nullptr) {
    CheckLoad({"smm-load"}, Report, S);
  }
  if (S.DriverInVolume) {
    CheckSmmDriverOutsideSmram({"smm-outside-smram"});
  }
  if (Report != nullptr) {
    RunHandlerRows({"smm-boot"}, Report, S, "boot");
  }

  constexpr Section OsHandover{"smm-exit"};
  const AcpiPower Acpi = ReadAcpiPower(gApp.SystemTable);
  OsHandover.Check("acpi-s5", Acpi.Found, Line().Str(Acpi.Problem));
  OsHandover.Info(Line().Str("PM1a_CNT ").Hex(Acpi.Pm1aControlPort).Str(", PM timer ")
                      .Hex(Acpi.PmTimerPort).Str(" (mask ").Hex(Acpi.PmTimerMask).Str(")")
                      .Str(", SLP_TYP for S5 from the DSDT's \\_S5: ").Dec(Acpi.S5SleepType));
  UINTN Attempts = 0;
  const EFI_STATUS Exit = ExitBootServices(&Attempts);
  OsHandover.Check("exit-boot-services", Exit == EFI_SUCCESS,
                   Line().Str("ExitBootServices returned ").Status(Exit).Str(" after ")
                       .Dec(Attempts).Str(" attempts"));
  OsHandover.Info(Line().Str("ExitBootServices: ").Status(Exit).Str(", attempt ").Dec(Attempts));

  if (Exit == EFI_SUCCESS && Report != nullptr) {
    RunHandlerRows({"smm-runtime"}, Report, S, "runtime");
    RunBurst({"smm-burst"}, Report, S, Acpi);
  }

  EmitDone();
  if (Acpi.Found) {
    EnterS5(Acpi);
  } else {
    gApp.SystemTable->RuntimeServices->ResetSystem(EfiResetShutdown, EFI_SUCCESS, 0, nullptr);
  }
  for (volatile UINTN Round = 0; Round < PowerOffWaitRounds; Round = Round + 1) {
  }
  constexpr Section Power{"smm-power"};
  Power.Check("powered-off", false, "still running after the PM1a_CNT write");
  Halt();
}
