// What the SMM part of the dispatch application shares between its files:
// the stand-in's report, raising one SMI, the TRACE lines for the host judge,
// and the ACPI facts the power-off and the timing need.
#pragma once

#include "SmmTestProtocol.h"
#include "TestApp.h"

namespace SmmBench {

// ---- The stand-in (SmmBench.cpp) ------------------------------------------
// The report the SMM stand-in published, or NULL (no stand-in, or not one of
// ours). SMM writes it behind the compiler's back: RaiseSmi is the barrier
// after which it is read again.
const SmmTest::Report *FindReport(EFI_SYSTEM_TABLE *SystemTable);
// Writes the request to the APM ports and waits until the stand-in has
// handled it. FALSE when no SMI came back with that request handled; after
// one that never came back, FALSE at once.
bool RaiseSmi(const SmmTest::Report *Report, UINT8 Request);
// "TRACE <Text>" on the log port.
VOID Trace(const Line &Text);

// ---- The boot scenario (fw_cfg) -----------------------------------------------
// The name QEMU passed in (the default one without it), as the stand-ins
// read it too, and whether its SMM side has the platform service.
struct BootScenario {
  CHAR8 Name[DispatchBoot::MaxScenarioName + 1];
  bool PlatformService;  // the SMM stand-in installs SmmPlatformServiceProtocol
  bool DriverInVolume;   // UsbSupportS5Smm's file is in the image
  // The SMM core loads the driver and its handler is registered.
  bool Registered() const { return PlatformService && DriverInVolume; }
};
BootScenario ReadScenario();

// ---- ACPI (AcpiPower.cpp) --------------------------------------------------
struct AcpiPower {
  bool Found;             // FADT and DSDT read, \_S5 found
  UINT16 Pm1aControlPort;
  UINT16 PmTimerPort;
  UINT32 PmTimerMask;     // 24 or 32 bits
  UINT8 S5SleepType;      // SLP_TYPa of \_S5
  const CHAR8 *Problem;   // why not Found
};
// Reads the FADT and the DSDT through the system table (before
// ExitBootServices; the tables stay where they are afterwards).
AcpiPower ReadAcpiPower(EFI_SYSTEM_TABLE *SystemTable);
UINT32 ReadPmTimer(const AcpiPower &Acpi);
inline constexpr UINT64 PmTimerHz = 3579545;  // the ACPI PM timer's fixed rate
// Writes SLP_TYP | SLP_EN to PM1a_CNT; returns only if the machine did not
// power off.
VOID EnterS5(const AcpiPower &Acpi);

// ---- Checks (SmmLoadChecks.cpp, SmmHandlerCases.cpp) -----------------------
// The load as the stand-in saw it.
VOID CheckLoad(const Section &Sec, const SmmTest::Report *Report, const BootScenario &S);
// One phase of handler SMIs: every "UsbSupport" and gate row at both events
// with both CommBuffers. Phase names the check group ("boot", "runtime").
VOID RunHandlerRows(const Section &Sec, const SmmTest::Report *Report, const BootScenario &S,
                    const CHAR8 *Phase);
// 1,000 SMIs back to back with the SMM pool watched, timed by the PM timer.
VOID RunBurst(const Section &Sec, const SmmTest::Report *Report, const BootScenario &S,
              const AcpiPower &Acpi);

}  // namespace SmmBench
