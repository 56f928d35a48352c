// The Setup pages as a person sees them: each page of the stand-in's form,
// as shipped and after the driver's work, shown by the firmware's own form
// browser (SendForm) when the runner asks for pictures. Before each page the
// log gets what the screen must show, statement by statement, from the board
// expectations and the scenario (never from what the driver did), then
// "PAGE <name> <before|after>": the runner takes the picture, checks the
// screen and presses Esc, which ends SendForm.
#include "BoardExpectations.h"
#include "DispatchScenarios.h"
#include "SetupForm.h"


namespace {

constexpr CHAR8 PicturesFile[] = "opt/board-tests/pictures";
constexpr CHAR8 Before[] = "before";
constexpr CHAR8 After[] = "after";

UINT32 PcdValueOf(const DxeScenario &S, UINTN Token) {
  for (UINTN I = 0; I < S.PcdCount; ++I) {
    if (S.Pcd[I].Token == Token) {
      return S.Pcd[I].Value;
    }
  }
  return 0;
}

bool IsHidden(UINT16 Id) {
  for (UINT16 H : Expect::Hidden) {
    if (H == Id) {
      return true;
    }
  }
  return false;
}

// What the board's driver must have written to Id in this scenario, or NULL.
const CHAR8 *BoardText(const DxeScenario &S, UINT16 Id) {
  for (const Expect::Label &L : Expect::Labels) {
    if (L.Id == Id) {
      return L.Text;
    }
  }
  const bool Riser = S.RiserHob && S.RiserFlag != 0;
  for (UINTN Row = 0; Row < Expect::OpromRows; ++Row) {
    const Expect::OpromRow &R = Expect::Oprom[Row];
    if (R.Prompt == nullptr || PcdValueOf(S, R.Token) == 0) {
      continue;
    }
    const bool RiserText = Riser && Row == Expect::RiserRow;
    if (Id == R.PromptId) {
      return RiserText ? Expect::RiserPrompt : R.Prompt;
    }
    if (Id == R.PromptId + 1) {
      return RiserText ? Expect::RiserHelp : R.Help;
    }
  }
  for (UINTN Bit = 0; Bit < Expect::ExpanderLabelCount; ++Bit) {
    if (Expect::ExpanderLabels[Bit] == Id) {
      return ((S.ExpanderInputs >> Bit) & 1) != 0 ? Expect::ExpanderHigh : Expect::ExpanderLow;
    }
  }
  return nullptr;
}

const CHAR8 *Shown(const DxeScenario &S, UINT16 Id, const CHAR8 *Generic, bool Driven) {
  const CHAR8 *Board = Driven && Id != 0 ? BoardText(S, Id) : nullptr;
  return Board != nullptr ? Board : Generic;
}

// "SHOW <page> <state> <kind>|<prompt>|<right-hand text>", the title, then
// one line per statement on screen, in form order.
VOID EmitExpected(const DxeScenario &S, const FormPage &Page, bool Driven) {
  Emit(Line().Str("SHOW ").Str(Page.Name).Str(" ").Str(Driven ? After : Before).Str(" title|")
           .Str(Page.Title).Str(Driven ? "" : ShippedTitleSuffix).Str("|"));
  for (UINTN I = 0; I < Page.Count; ++I) {
    const FormItem &It = Page.Items[I];
    if (Driven && (IsHidden(It.Prompt) || IsHidden(It.Value))) {
      continue;
    }
    Line L;
    L.Str("SHOW ").Str(Page.Name).Str(" ").Str(Driven ? After : Before).Str(" ")
        .Str(It.Heading ? "heading|" : "text|").Str(Shown(S, It.Prompt, It.Text, Driven)).Str("|");
    if (It.Value != 0) {
      L.Str(Shown(S, It.Value, It.ValueText, Driven));
    }
    Emit(L);
  }
}

// Every ID the driver hides or writes has exactly one statement.
bool FormHolds(UINT16 Id) {
  UINTN Seen = 0;
  for (UINTN P = 0; P < SetupFormPageCount; ++P) {
    for (UINTN I = 0; I < SetupFormPages[P].Count; ++I) {
      const FormItem &It = SetupFormPages[P].Items[I];
      Seen += (It.Prompt == Id ? 1 : 0) + (It.Value == Id ? 1 : 0);
    }
  }
  return Seen == 1;
}

VOID CheckFormCoversBoard(const Section &Sec) {
  UINTN Missing = 0;
  UINT16 First = 0;
  auto Need = [&](UINT16 Id) {
    if (!FormHolds(Id) && Missing++ == 0) {
      First = Id;
    }
  };
  for (UINT16 Id : Expect::Hidden) {
    Need(Id);
  }
  for (const Expect::OpromRow &R : Expect::Oprom) {
    Need(R.PromptId);
    Need(static_cast<UINT16>(R.PromptId + 1));
  }
  for (const Expect::Label &L : Expect::Labels) {
    Need(L.Id);
  }
  for (UINT16 Id : Expect::ExpanderLabels) {
    Need(Id);
  }
  Sec.Check("form-holds-board-ids", Missing == 0,
            Line().Dec(Missing).Str(" IDs not on exactly one statement, first ").Hex(First, 4));
}

const SetupFormRecord *LocateForm(const Section &Sec) {
  VOID *Interface = nullptr;
  const EFI_STATUS Status =
      gApp.BootServices->LocateProtocol(&SetupFormRecordGuid, nullptr, &Interface);
  const auto *Form = static_cast<const SetupFormRecord *>(Interface);
  const bool Published = !EFI_ERROR(Status) && Form != nullptr && !EFI_ERROR(Form->Published);
  Sec.Check("form-published", Published,
            Line().Str("record ").Status(Status).Str(", NewPackageList ")
                .Status(Form != nullptr ? Form->Published : EFI_NOT_FOUND));
  return Published ? Form : nullptr;
}

}  // namespace

VOID ShowSetupPages(const Section &Sec, const DxeScenario &S) {
  CHAR8 Wanted[2];
  if (ReadFwCfgText(PicturesFile, Wanted, sizeof(Wanted)) == 0) {
    return;
  }
  CheckFormCoversBoard(Sec);
  const SetupFormRecord *Form = LocateForm(Sec);
  if (Form == nullptr) {
    return;
  }
  Sec.Info(Line().Str("Setup form in the HII database: ").Dec(SetupFormPageCount).Str(" pages, ")
               .Dec(Form->PackageLength)
               .Str(" bytes a package list; the driver's calls reached it: ")
               .Dec(Form->Sets).Str(" SetString, ").Dec(Form->Hides).Str(" hides, ")
               .Dec(Form->Failed).Str(" refused"));
  Sec.Check("driver-calls-reached-form", Form->Failed == 0 && Form->Hides == Expect::HiddenCount,
            Line().Dec(Form->Failed).Str(" refused, first ").Hex(Form->FirstFailedId, 4).Str(": ")
                .Status(Form->FirstFailure));

  VOID *Interface = nullptr;
  const EFI_STATUS Located =
      gApp.BootServices->LocateProtocol(&EFI_FORM_BROWSER2_PROTOCOL_GUID, nullptr, &Interface);
  const auto *Browser = static_cast<const EFI_FORM_BROWSER2_PROTOCOL *>(Interface);
  if (!Sec.Check("form-browser", !EFI_ERROR(Located) && Browser != nullptr,
                 Line().Str("LocateProtocol ").Status(Located))) {
    return;
  }
  UINTN Shown = 0;
  EFI_STATUS Worst = EFI_SUCCESS;
  for (UINTN P = 0; P < SetupFormPageCount; ++P) {
    for (UINTN Pass = 0; Pass < 2; ++Pass) {
      const bool Driven = Pass == 1;
      const FormPage &Page = SetupFormPages[P];
      EmitExpected(S, Page, Driven);
      Emit(Line().Str("PAGE ").Str(Page.Name).Str(" ").Str(Driven ? After : Before));
      EFI_HII_HANDLE Handle = Driven ? Form->Setup : Form->Shipped;
      UINTN Action = 0;
      const EFI_STATUS Status =
          Browser->SendForm(Browser, &Handle, 1, Driven ? &SetupFormsetGuid : &ShippedFormsetGuid,
                            SetupFormId(P), nullptr, &Action);
      Shown += EFI_ERROR(Status) ? 0 : 1;
      Worst = EFI_ERROR(Status) ? Status : Worst;
    }
  }
  Sec.Check("pages-shown", Shown == 2 * SetupFormPageCount,
            Line().Dec(Shown).Str(" of ").Dec(2 * SetupFormPageCount).Str(" SendForm calls: ")
                .Status(Worst));
}
