// Test bench only: what the platform plays in each scenario, on the DXE
// side. The DXE stand-in driver plays it; the application holds the driver's
// work against it. (The scenarios themselves, and what the SMM side plays,
// come from the build's list: BenchScenarios.h.)
#pragma once

#include "DispatchBoot.h"
#include "StandIns.h"

struct DxeScenario {
  Bench::ScenarioId Id;
  bool RiserHob;        // a riser-card HOB in the HOB list
  UINT8 RiserFlag;      // its first data byte
  const PcdValue *Pcd;  // the dynamic PCD values of the board's tokens
  UINTN PcdCount;
  bool SetupVariable;   // a "Setup" variable is stored
  UINT8 Device2Setting; // its bytes 5265 and 5266
  UINT8 Device3Setting;
  bool SmbusFirst;      // the SMBus controller arrives before the string protocol
  UINT8 ExpanderInputs; // what the expander at 0x38 answers
};

// The DXE side of the scenario by name, or NULL.
const DxeScenario *FindDxeScenario(const CHAR8 *Name);
// The name QEMU passed in (fw_cfg), the default one without it. Out holds
// DispatchBoot::MaxScenarioName + 1 characters.
const CHAR8 *ScenarioName(CHAR8 *Out);

// The "Setup" variable as the form stores it, and where the two Super I/O
// settings sit in it.
inline constexpr UINTN SetupVariableSize = 5349;
inline constexpr UINTN Device2SettingOffset = 5265;
inline constexpr UINTN Device3SettingOffset = 5266;
inline constexpr CHAR16 SetupVariableName[] = u"Setup";
inline constexpr UINT32 SetupVariableAttributes =
    EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;
