// Test bench only: the Setup form the DXE stand-in owns in the dispatch boot.
// OVMF has no board Setup, so the stand-in publishes one in the HII database:
// the pages the board's string IDs belong to, each ID at its own number with
// a plainly generic text of the stand-in's (never the board's). Its
// SetupStringProtocol writes the driver's texts into that form (SetString
// through the HII string protocol, a hide withdraws the statement), and an
// untouched copy of the same form stays as the platform ships it. The
// application shows both with the firmware's form browser.
#pragma once

#include "TestApp.h"
#include "Uefi/Hii.h"

struct FormItem {
  UINT16 Prompt;        // a board string ID; 0: a prompt of the stand-in's own (Text)
  const CHAR8 *Text;    // the prompt's generic text
  UINT16 Value;         // a board string ID shown as the right-hand text, 0: none
  const CHAR8 *ValueText;
  bool Heading;         // a subtitle line, not a text line
};

struct FormPage {
  const CHAR8 *Name;    // in file names: setup-<name>-before.png
  const CHAR8 *Title;
  const FormItem *Items;
  UINTN Count;
};

extern const FormPage SetupFormPages[];
extern const UINTN SetupFormPageCount;
// The form of page Index (FormId 0 means "the first form" to the browser).
inline constexpr EFI_FORM_ID SetupFormId(UINTN Index) { return static_cast<EFI_FORM_ID>(Index + 1); }

// The two formsets: the driver's and the untouched copy.
inline constexpr EFI_GUID SetupFormsetGuid = {
    0x5E1A8D1C, 0x2B6F, 0x4C3E, {0x9A, 0x41, 0x7D, 0x0C, 0x55, 0x3B, 0xE2, 0x10}};
inline constexpr EFI_GUID ShippedFormsetGuid = {
    0x5E1A8D1C, 0x2B6F, 0x4C3E, {0x9A, 0x41, 0x7D, 0x0C, 0x55, 0x3B, 0xE2, 0x11}};
inline constexpr CHAR8 SetupFormLanguage[] = "en-US";
inline constexpr CHAR8 ShippedTitleSuffix[] = " (as shipped)";  // the copy's titles

// What the stand-in published and how the driver's calls reached the form,
// as a protocol of its own (interface: this record).
inline constexpr EFI_GUID SetupFormRecordGuid = {
    0x5E1A8D1C, 0x2B6F, 0x4C3E, {0x9A, 0x41, 0x7D, 0x0C, 0x55, 0x3B, 0xE2, 0x12}};
struct SetupFormRecord {
  EFI_HII_HANDLE Setup;    // the driver's form
  EFI_HII_HANDLE Shipped;  // the untouched copy
  EFI_STATUS Published;    // NewPackageList of both
  UINT32 PackageLength;    // one package list, as published
  UINTN Sets;              // SetString calls that reached the HII string protocol
  UINTN Hides;             // statements withdrawn (form package rebuilt)
  UINTN Failed;            // calls the HII database refused
  EFI_STATUS FirstFailure;
  UINT16 FirstFailedId;
};

// The DXE stand-in's side (StandInDxe/SetupForm.cpp): publishes both
// formsets and this record, at its entry; the SetupStringProtocol stand-in
// hands on every hide and set.
VOID PublishSetupForm();
VOID SetupFormHide(UINT16 StringId);
VOID SetupFormSet(UINT16 StringId, const CHAR8 *Text);

// The application's side (App/SetupPages.cpp): when the runner asks for
// pictures (fw_cfg opt/board-tests/pictures), every page before and after,
// through the form browser. Section "pages".
struct DxeScenario;
VOID ShowSetupPages(const Section &Sec, const DxeScenario &S);
