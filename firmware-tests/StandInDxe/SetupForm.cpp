// The stand-in's Setup form in the HII database (SetupForm.h): built here
// byte by byte from the page table, published twice (the driver's form and
// the copy as shipped), and kept in step with what the SetupStringProtocol
// stand-in is told: a set goes through EFI_HII_STRING_PROTOCOL.SetString, a
// hide rebuilds the form package with the statement under SUPPRESS_IF TRUE.
#include "SetupForm.h"
#include "TestApp.h"

namespace {

constexpr EFI_STRING_ID LanguageNameId = 1;  // the printable language name
constexpr CHAR8 LanguageName[] = "English";
constexpr EFI_STRING_ID FirstOwnId = 2;      // our own texts, below the board's IDs
constexpr UINTN MaxItems = 128;
constexpr UINTN MaxPages = 16;
constexpr UINTN MaxStrings = 2 * MaxItems + MaxPages + 3;
constexpr UINTN MaxHidden = 64;
constexpr UINTN MaxText = 127;
constexpr UINTN PackageCapacity = 12 * 1024;

// Appends little-endian bytes; an overflow is remembered, never written.
struct Writer {
  UINT8 *Buffer;
  UINTN Used;
  bool Overflow;

  VOID Bytes(const VOID *Data, UINTN Size) {
    if (Used + Size > PackageCapacity) {
      Overflow = true;
      return;
    }
    const auto *Source = static_cast<const UINT8 *>(Data);
    for (UINTN I = 0; I < Size; ++I) {
      Buffer[Used + I] = Source[I];
    }
    Used += Size;
  }
  template <typename T>
  VOID Put(const T &Value) { Bytes(&Value, sizeof(Value)); }
  VOID Patch32(UINTN At, UINT32 Value) {
    if (!Overflow) {
      for (UINTN I = 0; I < 4; ++I) {
        Buffer[At + I] = static_cast<UINT8>(Value >> (8 * I));
      }
    }
  }
};

struct FormString {
  EFI_STRING_ID Id;
  const CHAR8 *Text;
  bool Shipped;  // a title: the copy's ends in ShippedTitleSuffix
};

// The IDs every statement uses, fixed once: board IDs as they are, our own
// texts numbered from FirstOwnId in page order.
struct Layout {
  EFI_STRING_ID FormsetTitle;
  EFI_STRING_ID PageTitle[MaxPages];
  EFI_STRING_ID Prompt[MaxItems];  // items of every page, in order
  FormString Strings[MaxStrings];
  UINTN StringCount;
};

Layout gLayout;
UINT8 gPackage[PackageCapacity];
UINT16 gHidden[MaxHidden];
UINTN gHiddenCount;
SetupFormRecord gForm;
EFI_HII_DATABASE_PROTOCOL *gDatabase;
EFI_HII_STRING_PROTOCOL *gStrings;

VOID AddString(EFI_STRING_ID Id, const CHAR8 *Text, bool Title = false) {
  if (gLayout.StringCount < MaxStrings) {
    gLayout.Strings[gLayout.StringCount++] = {Id, Text, Title};
  }
}

bool BuildLayout() {
  EFI_STRING_ID Own = FirstOwnId;
  gLayout.StringCount = 0;
  AddString(LanguageNameId, LanguageName);
  gLayout.FormsetTitle = Own++;
  AddString(gLayout.FormsetTitle, "Setup", true);
  UINTN Item = 0;
  for (UINTN P = 0; P < SetupFormPageCount && P < MaxPages; ++P) {
    const FormPage &Page = SetupFormPages[P];
    gLayout.PageTitle[P] = Own++;
    AddString(gLayout.PageTitle[P], Page.Title, true);
    for (UINTN I = 0; I < Page.Count && Item < MaxItems; ++I, ++Item) {
      const FormItem &It = Page.Items[I];
      gLayout.Prompt[Item] = It.Prompt != 0 ? It.Prompt : Own++;
      AddString(gLayout.Prompt[Item], It.Text);
      if (It.Value != 0) {
        AddString(It.Value, It.ValueText);
      }
    }
  }
  // Blocks go in ID order; an ID twice, or our own IDs reaching the board's,
  // would make a form that shows the wrong text.
  for (UINTN I = 1; I < gLayout.StringCount; ++I) {
    for (UINTN J = I; J > 0 && gLayout.Strings[J - 1].Id > gLayout.Strings[J].Id; --J) {
      const FormString T = gLayout.Strings[J];
      gLayout.Strings[J] = gLayout.Strings[J - 1];
      gLayout.Strings[J - 1] = T;
    }
  }
  bool Unique = gLayout.StringCount < MaxStrings && Item < MaxItems &&
                SetupFormPageCount <= MaxPages;
  for (UINTN I = 1; I < gLayout.StringCount; ++I) {
    Unique = Unique && gLayout.Strings[I - 1].Id < gLayout.Strings[I].Id;
  }
  return Unique;
}

VOID PutAscii(Writer &W, const CHAR8 *Text) {
  for (const CHAR8 *C = Text; C != nullptr && *C != '\0'; ++C) {
    W.Put(static_cast<CHAR16>(static_cast<UINT8>(*C) < 0x80 ? *C : '?'));
  }
}

VOID PutStringPackage(Writer &W, bool Shipped) {
  const UINTN Start = W.Used;
  EFI_HII_STRING_PACKAGE_HDR Header{};
  Header.HdrSize = sizeof(Header) + sizeof(SetupFormLanguage);
  Header.StringInfoOffset = Header.HdrSize;
  Header.LanguageName = LanguageNameId;
  W.Put(Header);
  W.Put(SetupFormLanguage);
  EFI_STRING_ID Next = 1;
  for (UINTN I = 0; I < gLayout.StringCount; ++I) {
    const FormString &S = gLayout.Strings[I];
    if (S.Id > Next) {
      W.Put(EFI_HII_SIBT_SKIP2);
      W.Put(static_cast<UINT16>(S.Id - Next));
    }
    W.Put(EFI_HII_SIBT_STRING_UCS2);
    PutAscii(W, S.Text);
    PutAscii(W, Shipped && S.Shipped ? ShippedTitleSuffix : nullptr);
    W.Put(static_cast<CHAR16>(0));
    Next = static_cast<EFI_STRING_ID>(S.Id + 1);
  }
  W.Put(EFI_HII_SIBT_END);
  W.Patch32(Start, HiiPackageHeader(static_cast<UINT32>(W.Used - Start), EFI_HII_PACKAGE_STRINGS));
}

constexpr EFI_IFR_OP_HEADER Op(UINT8 Code, UINTN Length, bool Scope = false) {
  return {Code, static_cast<UINT8>(Length | (Scope ? EFI_IFR_SCOPE : 0))};
}

bool Hidden(UINT16 Id) {
  for (UINTN I = 0; Id != 0 && I < gHiddenCount; ++I) {
    if (gHidden[I] == Id) {
      return true;
    }
  }
  return false;
}

VOID PutFormPackage(Writer &W, const EFI_GUID &Formset) {
  const UINTN Start = W.Used;
  W.Put(EFI_HII_PACKAGE_HEADER{});
  W.Put(EFI_IFR_FORM_SET{Op(EFI_IFR_FORM_SET_OP, sizeof(EFI_IFR_FORM_SET), true), Formset,
                         gLayout.FormsetTitle, 0, 1, EFI_HII_PLATFORM_SETUP_FORMSET_GUID});
  const EFI_IFR_OP_HEADER End = Op(EFI_IFR_END_OP, sizeof(EFI_IFR_OP_HEADER));
  UINTN Item = 0;
  for (UINTN P = 0; P < SetupFormPageCount && P < MaxPages; ++P) {
    const FormPage &Page = SetupFormPages[P];
    W.Put(EFI_IFR_FORM{Op(EFI_IFR_FORM_OP, sizeof(EFI_IFR_FORM), true), SetupFormId(P),
                       gLayout.PageTitle[P]});
    for (UINTN I = 0; I < Page.Count && Item < MaxItems; ++I, ++Item) {
      const FormItem &It = Page.Items[I];
      const bool Suppressed = Hidden(It.Prompt) || Hidden(It.Value);
      if (Suppressed) {
        W.Put(Op(EFI_IFR_SUPPRESS_IF_OP, sizeof(EFI_IFR_OP_HEADER), true));
        W.Put(Op(EFI_IFR_TRUE_OP, sizeof(EFI_IFR_OP_HEADER)));
      }
      const EFI_IFR_STATEMENT_HEADER Statement{gLayout.Prompt[Item], It.Value};
      if (It.Heading) {
        W.Put(EFI_IFR_SUBTITLE{Op(EFI_IFR_SUBTITLE_OP, sizeof(EFI_IFR_SUBTITLE)), Statement, 0});
      } else {
        W.Put(EFI_IFR_TEXT{Op(EFI_IFR_TEXT_OP, sizeof(EFI_IFR_TEXT)), Statement, It.Value});
      }
      if (Suppressed) {
        W.Put(End);
      }
    }
    W.Put(End);  // the form
  }
  W.Put(End);    // the formset
  W.Patch32(Start, HiiPackageHeader(static_cast<UINT32>(W.Used - Start), EFI_HII_PACKAGE_FORMS));
}

// A package list in gPackage: the form package, the string package unless
// only the form is renewed, END. NULL when it does not fit.
const EFI_HII_PACKAGE_LIST_HEADER *BuildList(const EFI_GUID &Formset, bool Shipped,
                                             bool WithStrings) {
  Writer W{gPackage, 0, false};
  W.Put(EFI_HII_PACKAGE_LIST_HEADER{Formset, 0});
  PutFormPackage(W, Formset);
  if (WithStrings) {
    PutStringPackage(W, Shipped);
  }
  W.Put(EFI_HII_PACKAGE_HEADER{HiiPackageHeader(sizeof(EFI_HII_PACKAGE_HEADER), EFI_HII_PACKAGE_END)});
  W.Patch32(offsetof(EFI_HII_PACKAGE_LIST_HEADER, PackageLength), static_cast<UINT32>(W.Used));
  return W.Overflow ? nullptr : reinterpret_cast<const EFI_HII_PACKAGE_LIST_HEADER *>(gPackage);
}

VOID Failed(EFI_STATUS Status, UINT16 Id) {
  if (gForm.Failed++ == 0) {
    gForm.FirstFailure = Status;
    gForm.FirstFailedId = Id;
  }
}

EFI_STATUS Publish(const EFI_GUID &Formset, bool Shipped, EFI_HII_HANDLE *Handle) {
  const EFI_HII_PACKAGE_LIST_HEADER *List = BuildList(Formset, Shipped, true);
  if (List == nullptr) {
    return EFI_BUFFER_TOO_SMALL;
  }
  gForm.PackageLength = List->PackageLength;
  return gDatabase->NewPackageList(gDatabase, List, nullptr, Handle);
}

}  // namespace

VOID PublishSetupForm() {
  EFI_BOOT_SERVICES *Bs = gApp.BootServices;
  VOID *Database = nullptr;
  VOID *Strings = nullptr;
  gForm.Published = Bs->LocateProtocol(&EFI_HII_DATABASE_PROTOCOL_GUID, nullptr, &Database);
  if (!EFI_ERROR(gForm.Published)) {
    gForm.Published = Bs->LocateProtocol(&EFI_HII_STRING_PROTOCOL_GUID, nullptr, &Strings);
  }
  gDatabase = static_cast<EFI_HII_DATABASE_PROTOCOL *>(Database);
  gStrings = static_cast<EFI_HII_STRING_PROTOCOL *>(Strings);
  if (!EFI_ERROR(gForm.Published) && !BuildLayout()) {
    gForm.Published = EFI_INVALID_PARAMETER;
  }
  if (!EFI_ERROR(gForm.Published)) {
    gForm.Published = Publish(ShippedFormsetGuid, true, &gForm.Shipped);
  }
  if (!EFI_ERROR(gForm.Published)) {
    gForm.Published = Publish(SetupFormsetGuid, false, &gForm.Setup);
  }
  EFI_HANDLE Handle = nullptr;
  Bs->InstallProtocolInterface(&Handle, &SetupFormRecordGuid, EFI_NATIVE_INTERFACE, &gForm);
}

// The SetupStringProtocol stand-in's calls, on the driver's form.
VOID SetupFormHide(UINT16 StringId) {
  if (gForm.Setup == nullptr) {
    return;
  }
  if (gHiddenCount == MaxHidden) {
    Failed(EFI_OUT_OF_RESOURCES, StringId);
    return;
  }
  gHidden[gHiddenCount++] = StringId;
  const EFI_HII_PACKAGE_LIST_HEADER *List = BuildList(SetupFormsetGuid, false, false);
  const EFI_STATUS Status = List == nullptr ? EFI_BUFFER_TOO_SMALL
                                            : gDatabase->UpdatePackageList(gDatabase, gForm.Setup, List);
  if (EFI_ERROR(Status)) {
    Failed(Status, StringId);
  } else {
    ++gForm.Hides;
  }
}

VOID SetupFormSet(UINT16 StringId, const CHAR8 *Text) {
  if (gForm.Setup == nullptr) {
    return;
  }
  static CHAR16 Wide[MaxText + 1];
  UINTN N = 0;
  for (; Text != nullptr && Text[N] != '\0' && N < MaxText; ++N) {
    Wide[N] = static_cast<UINT8>(Text[N]) < 0x80 ? Text[N] : '?';
  }
  Wide[N] = 0;
  const EFI_STATUS Status =
      gStrings->SetString(gStrings, gForm.Setup, StringId, SetupFormLanguage, Wide, nullptr);
  if (EFI_ERROR(Status)) {
    Failed(Status, StringId);
  } else {
    ++gForm.Sets;
  }
}
