// HII: package lists, the string and form packages (IFR), the HII database
// and string protocols and the form browser. Our own definitions, written
// from the published UEFI layouts; every HII structure is packed (no padding,
// multi-byte fields unaligned) and every size is asserted below.
#pragma once

#include "Uefi/Base.h"

using EFI_HII_HANDLE = VOID *;
using EFI_STRING_ID = UINT16;
using EFI_FORM_ID = UINT16;

#pragma pack(push, 1)

// ---- Package list and packages ----------------------------------------------
struct EFI_HII_PACKAGE_LIST_HEADER {
  EFI_GUID PackageListGuid;
  UINT32 PackageLength;  // this header and every package, the END package too
};

// Length (24 bits, this header included) and Type (8 bits) in one word.
struct EFI_HII_PACKAGE_HEADER {
  UINT32 LengthAndType;
};
inline constexpr UINT32 HiiPackageHeader(UINT32 Length, UINT8 Type) {
  return (Length & 0xFFFFFFU) | (static_cast<UINT32>(Type) << 24);
}
inline constexpr UINT8 EFI_HII_PACKAGE_FORMS = 0x02;
inline constexpr UINT8 EFI_HII_PACKAGE_STRINGS = 0x04;
inline constexpr UINT8 EFI_HII_PACKAGE_END = 0xDF;

// ---- String package -----------------------------------------------------------
// Followed by the NUL-terminated language (RFC 4646), then the string blocks.
// String IDs count from 1 in block order; LanguageName names a string of the
// package itself (by convention ID 1, the printable language name).
struct EFI_HII_STRING_PACKAGE_HDR {
  EFI_HII_PACKAGE_HEADER Header;
  UINT32 HdrSize;           // this header and the language
  UINT32 StringInfoOffset;  // = HdrSize
  CHAR16 LanguageWindow[16];
  EFI_STRING_ID LanguageName;
};
inline constexpr UINT8 EFI_HII_SIBT_END = 0x00;
inline constexpr UINT8 EFI_HII_SIBT_STRING_UCS2 = 0x14;  // NUL-terminated UCS-2 text
inline constexpr UINT8 EFI_HII_SIBT_SKIP2 = 0x21;        // UINT16 count of IDs skipped

// ---- Form package: IFR opcodes --------------------------------------------------
// LengthAndScope: the opcode's whole length in bits 0-6, Scope in bit 7 (the
// opcode opens a scope an END closes).
struct EFI_IFR_OP_HEADER {
  UINT8 OpCode;
  UINT8 LengthAndScope;
};
inline constexpr UINT8 EFI_IFR_SCOPE = 0x80;
inline constexpr UINT8 EFI_IFR_FORM_OP = 0x01;
inline constexpr UINT8 EFI_IFR_SUBTITLE_OP = 0x02;
inline constexpr UINT8 EFI_IFR_TEXT_OP = 0x03;
inline constexpr UINT8 EFI_IFR_SUPPRESS_IF_OP = 0x0A;
inline constexpr UINT8 EFI_IFR_FORM_SET_OP = 0x0E;
inline constexpr UINT8 EFI_IFR_END_OP = 0x29;
inline constexpr UINT8 EFI_IFR_TRUE_OP = 0x46;

struct EFI_IFR_STATEMENT_HEADER {
  EFI_STRING_ID Prompt;
  EFI_STRING_ID Help;
};

// One class GUID follows the flags (Flags = 1: the class-GUID count).
struct EFI_IFR_FORM_SET {
  EFI_IFR_OP_HEADER Header;
  EFI_GUID Guid;
  EFI_STRING_ID FormSetTitle;
  EFI_STRING_ID Help;
  UINT8 Flags;
  EFI_GUID ClassGuid;
};

struct EFI_IFR_FORM {
  EFI_IFR_OP_HEADER Header;
  EFI_FORM_ID FormId;
  EFI_STRING_ID FormTitle;
};

struct EFI_IFR_SUBTITLE {
  EFI_IFR_OP_HEADER Header;
  EFI_IFR_STATEMENT_HEADER Statement;
  UINT8 Flags;
};

struct EFI_IFR_TEXT {
  EFI_IFR_OP_HEADER Header;
  EFI_IFR_STATEMENT_HEADER Statement;
  EFI_STRING_ID TextTwo;  // right-hand text, 0 for none
};

#pragma pack(pop)

// Formsets of this class are what SendForm shows by default and Device
// Manager lists.
inline constexpr EFI_GUID EFI_HII_PLATFORM_SETUP_FORMSET_GUID = {
    0x93039971, 0x8545, 0x4B04, {0xB4, 0x5E, 0x32, 0xEB, 0x83, 0x26, 0x04, 0x0E}};

// ---- EFI_HII_DATABASE_PROTOCOL --------------------------------------------------
inline constexpr EFI_GUID EFI_HII_DATABASE_PROTOCOL_GUID = {
    0xEF9FC172, 0xA1B2, 0x4693, {0xB3, 0x27, 0x6D, 0x32, 0xFC, 0x41, 0x60, 0x42}};

struct EFI_HII_DATABASE_PROTOCOL;
// The database copies the list; DriverHandle may be NULL (no callbacks).
using EFI_HII_DATABASE_NEW_PACK = EFI_STATUS(EFIAPI *)(const EFI_HII_DATABASE_PROTOCOL *This,
                                                       const EFI_HII_PACKAGE_LIST_HEADER *List,
                                                       EFI_HANDLE DriverHandle,
                                                       EFI_HII_HANDLE *Handle);
// Packages of the types the new list holds replace the list's packages of
// those types; the others stay.
using EFI_HII_DATABASE_UPDATE_PACK = EFI_STATUS(EFIAPI *)(const EFI_HII_DATABASE_PROTOCOL *This,
                                                          EFI_HII_HANDLE Handle,
                                                          const EFI_HII_PACKAGE_LIST_HEADER *List);

struct EFI_HII_DATABASE_PROTOCOL {
  EFI_HII_DATABASE_NEW_PACK NewPackageList;
  VOID *RemovePackageList;
  EFI_HII_DATABASE_UPDATE_PACK UpdatePackageList;
  VOID *ListPackageLists;
  VOID *ExportPackageLists;
  VOID *RegisterPackageNotify;
  VOID *UnregisterPackageNotify;
  VOID *FindKeyboardLayouts;
  VOID *GetKeyboardLayout;
  VOID *SetKeyboardLayout;
  VOID *GetPackageListHandle;
};

// ---- EFI_HII_STRING_PROTOCOL ----------------------------------------------------
inline constexpr EFI_GUID EFI_HII_STRING_PROTOCOL_GUID = {
    0x0FD96974, 0x23AA, 0x4CDC, {0xB9, 0xCB, 0x98, 0xD1, 0x77, 0x50, 0x32, 0x2A}};

struct EFI_HII_STRING_PROTOCOL;
// GetString takes the language before the list, SetString after the ID.
using EFI_HII_GET_STRING = EFI_STATUS(EFIAPI *)(const EFI_HII_STRING_PROTOCOL *This,
                                                const CHAR8 *Language, EFI_HII_HANDLE List,
                                                EFI_STRING_ID StringId, CHAR16 *String,
                                                UINTN *StringSize, VOID **FontInfo);
using EFI_HII_SET_STRING = EFI_STATUS(EFIAPI *)(const EFI_HII_STRING_PROTOCOL *This,
                                                EFI_HII_HANDLE List, EFI_STRING_ID StringId,
                                                const CHAR8 *Language, const CHAR16 *String,
                                                const VOID *FontInfo);

struct EFI_HII_STRING_PROTOCOL {
  VOID *NewString;
  EFI_HII_GET_STRING GetString;
  EFI_HII_SET_STRING SetString;
  VOID *GetLanguages;
  VOID *GetSecondaryLanguages;
};

// ---- EFI_FORM_BROWSER2_PROTOCOL -------------------------------------------------
inline constexpr EFI_GUID EFI_FORM_BROWSER2_PROTOCOL_GUID = {
    0xB9D4C360, 0xBCFB, 0x4F9B, {0x92, 0x98, 0x53, 0xC1, 0x36, 0x98, 0x22, 0x58}};

struct EFI_FORM_BROWSER2_PROTOCOL;
// Shows each handle's formset until the user leaves it; NULL screen: the
// whole console.
using EFI_SEND_FORM2 = EFI_STATUS(EFIAPI *)(const EFI_FORM_BROWSER2_PROTOCOL *This,
                                            EFI_HII_HANDLE *Handles, UINTN HandleCount,
                                            const EFI_GUID *FormSetGuid, EFI_FORM_ID FormId,
                                            const VOID *ScreenDimensions, UINTN *ActionRequest);

struct EFI_FORM_BROWSER2_PROTOCOL {
  EFI_SEND_FORM2 SendForm;
  VOID *BrowserCallback;
};

static_assert(sizeof(EFI_HII_PACKAGE_LIST_HEADER) == 20);
static_assert(sizeof(EFI_HII_PACKAGE_HEADER) == 4);
static_assert(HiiPackageHeader(4, EFI_HII_PACKAGE_END) == 0xDF000004U);
static_assert(sizeof(EFI_HII_STRING_PACKAGE_HDR) == 46);
static_assert(offsetof(EFI_HII_STRING_PACKAGE_HDR, LanguageWindow) == 12 &&
              offsetof(EFI_HII_STRING_PACKAGE_HDR, LanguageName) == 44);
static_assert(sizeof(EFI_IFR_OP_HEADER) == 2 && sizeof(EFI_IFR_STATEMENT_HEADER) == 4);
static_assert(sizeof(EFI_IFR_FORM_SET) == 39 && offsetof(EFI_IFR_FORM_SET, FormSetTitle) == 18 &&
              offsetof(EFI_IFR_FORM_SET, Flags) == 22 && offsetof(EFI_IFR_FORM_SET, ClassGuid) == 23);
static_assert(sizeof(EFI_IFR_FORM) == 6 && sizeof(EFI_IFR_SUBTITLE) == 7);
static_assert(sizeof(EFI_IFR_TEXT) == 8 && offsetof(EFI_IFR_TEXT, TextTwo) == 6);
static_assert(offsetof(EFI_HII_DATABASE_PROTOCOL, UpdatePackageList) == 0x10 &&
              sizeof(EFI_HII_DATABASE_PROTOCOL) == 0x58);
static_assert(offsetof(EFI_HII_STRING_PROTOCOL, SetString) == 0x10);
static_assert(sizeof(EFI_FORM_BROWSER2_PROTOCOL) == 0x10);
