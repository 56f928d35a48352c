// What every image of the bench shares (the stand-in drivers and the
// application): the image's own handles, text without a C library, and the
// check lines on the log port (DebugconLog.cpp) that run-dispatch.sh reads.
//
// Line kinds (first word): INFO (boot-report material), PASS, FAIL (with
// ": detail"), PHASE, TRACE (for the judge), DONE (the boot reached its end).
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

// ---- The log --------------------------------------------------------------
VOID Emit(const Line &L);  // one line on the log port

// ---- Checks -------------------------------------------------------------
// The lines of one section of the boot ("relabel", "smm-boot", ...), handed
// to whatever checks in it: a check is one PASS/FAIL line named
// "<section>.<name>", the detail printed only on failure; an INFO line is
// "INFO <section>: text".
struct Section {
  const CHAR8 *Name;
  bool Check(const CHAR8 *CheckName, bool Condition, const Line &Detail) const;
  bool Check(const CHAR8 *CheckName, bool Condition, const CHAR8 *Detail = "") const;
  VOID Info(const Line &L) const;
};

// ---- fw_cfg -----------------------------------------------------------------
// The text of a named fw_cfg file (`-fw_cfg name=<FileName>,string=...`), up
// to its first NUL or newline, cut to Capacity - 1 characters; its length,
// 0 when there is no such file (or no fw_cfg device).
UINTN ReadFwCfgText(const CHAR8 *FileName, CHAR8 *Out, UINTN Capacity);
