// The OVMF test application: loads the board drivers from memory into the
// real DXE core, plays the platform parts OVMF lacks, and prints one line per
// check on the console. The host side (run-ovmf.sh) reads those lines.
//
// Line kinds (first word): SCENARIO, INFO (boot-report material), PASS,
// FAIL (with ": detail"), DONE (the run reached its end).
#pragma once

#include "Uefi/Uefi.h"

struct TestApp {
  EFI_HANDLE ImageHandle;
  EFI_SYSTEM_TABLE *SystemTable;
  EFI_BOOT_SERVICES *BootServices;
  UINTN Passed;
  UINTN Failed;
};
extern TestApp gApp;

// ---- Text without a C library ------------------------------------------
// A line under construction; overlong text is cut, never overrun.
class Line {
 public:
  static constexpr UINTN Capacity = 240;
  Line &Str(const CHAR8 *Text);
  Line &Quoted(const CHAR8 *Text);  // "text", non-printing bytes as \xNN
  Line &Dec(UINT64 Value);
  Line &Hex(UINT64 Value, UINTN Digits = 0);  // 0x-prefixed, at least Digits
  Line &Status(EFI_STATUS Status);             // a name where we know one
  Line &Guid(const EFI_GUID &Guid);
  Line &Wide(const CHAR16 *Text);  // UCS-2, non-ASCII as '?'
  const CHAR8 *Text() const { return Buffer; }
  UINTN Length() const { return Used; }

 private:
  Line &Char(CHAR8 C);
  CHAR8 Buffer[Capacity + 1] = {};
  UINTN Used = 0;
};

bool TextEqual(const CHAR8 *A, const CHAR8 *B);  // NULL equals only NULL

// ---- Console ------------------------------------------------------------
VOID Emit(const Line &L);  // one console line

// ---- Checks -------------------------------------------------------------
// One PASS/FAIL line each; the detail is printed only on failure.
bool Check(const CHAR8 *Name, bool Condition, const Line &Detail);
bool Check(const CHAR8 *Name, bool Condition, const CHAR8 *Detail = "");
VOID Info(const Line &L);

// ---- Scenarios ----------------------------------------------------------
// A scenario states one situation on the real firmware and checks it. It
// belongs to a set; the runner chooses the sets for one QEMU run.
struct Scenario {
  const CHAR8 *Set;
  const CHAR8 *Name;
  VOID (*Run)();
};
extern const Scenario ScenarioTable[];
extern const UINTN ScenarioCount;

// Scenario functions, one file per concern.
VOID NicProtocolScenario();
VOID RelabelScenario();
VOID RelabelRiserScenario();
VOID RelabelRiserFlagClearScenario();
VOID SuperIoScenario();
VOID SuperIoNoVariableScenario();
VOID SmbiosNoRiserScenario();
VOID SmbiosRiserScenario();
VOID ExpanderSmbusFirstScenario();
VOID ExpanderStringsFirstScenario();
VOID SmmDriverOutsideSmramScenario();
VOID SmmDriverWithoutSmmScenario();

// ---- Run selection --------------------------------------------------------
// The comma-separated set names the runner passed in, or NULL (then the
// default set runs). Read from QEMU's firmware configuration device.
const CHAR8 *SelectedSets();
// The text of a named fw_cfg file (`-fw_cfg name=<FileName>,string=...`), up
// to its first NUL or newline, cut to Capacity - 1 characters; its length,
// 0 when there is no such file (or no fw_cfg device).
UINTN ReadFwCfgText(const CHAR8 *FileName, CHAR8 *Out, UINTN Capacity);
bool SetSelected(const CHAR8 *Sets, const CHAR8 *Set);
inline constexpr CHAR8 DefaultSet[] = "board-setup";
