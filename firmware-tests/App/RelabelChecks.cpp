// Setup form relabeling: what the string stand-in recorded at one arrival
// of the protocol, held against what the form must say.
#include "RelabelChecks.h"
#include "BoardExpectations.h"

namespace {

using Kind = SetupStringOp::Kind;

struct ExpectedOp {
  Kind K;
  UINT16 Id;
  const CHAR8 *Text;
};

constexpr UINTN MaxExpected = Expect::HiddenCount + 2 * Expect::OpromRows + Expect::LabelCount;

// The relabel callback's writes among those recorded at one arrival: the
// expander's labels are left out (the expander callback shares the arrival
// when the SMBus controller came first, and has checks of its own).
struct RelabelOps {
  const SetupStringOp *Ops[SetupStringLog::MaxOps];
  UINTN Count;
};

VOID CollectRelabelOps(UINTN Recorded, RelabelOps &Out) {
  Out.Count = 0;
  for (UINTN I = 0; I < Recorded && I < SetupStringLog::MaxOps; ++I) {
    const SetupStringOp &Op = SetupStringStandIn::Op(I);
    if (!Expect::IsExpanderLabel(Op.Id)) {
      Out.Ops[Out.Count++] = &Op;
    }
  }
}

UINT32 ChosenValue(const RelabelCase &C, UINTN Token) {
  for (UINTN I = 0; I < C.PcdCount; ++I) {
    if (C.Pcd[I].Token == Token) {
      return C.Pcd[I].Value;
    }
  }
  return 0;
}

// The form's view of one relabel run: hides, then the option-ROM pairs of
// rows whose token reads non-zero, then every label.
UINTN BuildExpected(const RelabelCase &C, ExpectedOp *Out) {
  UINTN N = 0;
  for (UINT16 Id : Expect::Hidden) {
    Out[N++] = {Kind::Hide, Id, nullptr};
  }
  const bool Riser = C.RiserHob && C.RiserFlag != 0;
  for (UINTN Row = 0; Row < Expect::OpromRows; ++Row) {
    const Expect::OpromRow &R = Expect::Oprom[Row];
    if (ChosenValue(C, R.Token) == 0 || R.Prompt == nullptr) {
      continue;
    }
    const bool RiserText = Riser && Row == Expect::RiserRow;
    Out[N++] = {Kind::Set, R.PromptId, RiserText ? Expect::RiserPrompt : R.Prompt};
    Out[N++] = {Kind::Set, R.HelpId, RiserText ? Expect::RiserHelp : R.Help};
  }
  for (const Expect::Label &L : Expect::Labels) {
    Out[N++] = {Kind::Set, L.Id, L.Text};
  }
  return N;
}

Line &Describe(Line &L, Kind K, UINT16 Id, const CHAR8 *Text) {
  if (K == Kind::Hide) {
    return L.Str("hide ").Hex(Id, 4);
  }
  return L.Str("set ").Hex(Id, 4).Str(" ").Quoted(Text);
}

bool Matches(const SetupStringOp &Got, const ExpectedOp &Want) {
  return Got.K == Want.K && Got.Id == Want.Id &&
         (Want.K == Kind::Hide || TextEqual(Got.Text, Want.Text));
}

// Compares ops [From, From + Count) of the relabel callback with Want; the
// first difference is the detail.
bool CheckRange(const Section &Sec, const CHAR8 *Name, const RelabelOps &Ops, UINTN From,
                const ExpectedOp *Want, UINTN Count) {
  for (UINTN I = 0; I < Count; ++I) {
    const UINTN At = From + I;
    Line Detail;
    Detail.Str("op ").Dec(At).Str(": want ");
    Describe(Detail, Want[I].K, Want[I].Id, Want[I].Text);
    if (At >= Ops.Count) {
      return Sec.Check(Name, false, Detail.Str(", got nothing"));
    }
    const SetupStringOp &Got = *Ops.Ops[At];
    if (!Matches(Got, Want[I])) {
      Detail.Str(", got ");
      return Sec.Check(Name, false, Describe(Detail, Got.K, Got.Id, Got.Text));
    }
  }
  return Sec.Check(Name, true);
}

// Every write, for the boot report.
VOID ReportOps(const Section &Sec, const RelabelOps &Ops) {
  for (UINTN I = 0; I < Ops.Count; ++I) {
    const SetupStringOp &Op = *Ops.Ops[I];
    Line L;
    Sec.Info(Describe(L, Op.K, Op.Id, Op.Text));
  }
}

// Everything recorded ran at TPL_NOTIFY, from the driver, for the form
// "Setup": the firmware's dispatch called the driver's callback, which
// called us.
VOID CheckCallContext(const Section &Sec) {
  UINTN WrongTpl = 0, WrongForm = 0;
  EFI_TPL SeenTpl = 0;
  for (UINTN I = 0; I < SetupStringStandIn::Count(); ++I) {
    const SetupStringOp &Op = SetupStringStandIn::Op(I);
    if (Op.Tpl != TPL_NOTIFY) {
      ++WrongTpl;
      SeenTpl = Op.Tpl;
    }
    WrongForm += TextEqual(Op.Form, Expect::FormName) ? 0 : 1;
  }
  Sec.Check("ran-at-tpl-notify", WrongTpl == 0,
            Line().Dec(WrongTpl).Str(" calls at TPL ").Dec(SeenTpl));
  Sec.Check("no-firmware-calls", SetupStringStandIn::FirmwareCalls() == 0,
            Line().Dec(SetupStringStandIn::FirmwareCalls()).Str(" calls from outside our drivers"));
  Sec.Check("form-name-setup", WrongForm == 0,
            Line().Dec(WrongForm).Str(" calls for another form"));
}

// The callback's Get32 calls are the PCD reads [From, Until).
VOID CheckPcdReads(const Section &Sec, UINTN From, UINTN Until) {
  bool InOrder = Until - From == Expect::OpromRows;
  for (UINTN Row = 0; InOrder && Row < Expect::OpromRows; ++Row) {
    InOrder = PcdStandIn::ReadToken(From + Row) == Expect::Oprom[Row].Token;
  }
  Sec.Check("pcd-read-per-row", InOrder,
            Line().Dec(Until - From).Str(" reads, first ").Dec(PcdStandIn::ReadToken(From)));
}

// The CPU x16 slot's pair, on its own: the one place a riser shows.
VOID CheckRow3(const Section &Sec, const RelabelCase &C, const RelabelOps &Ops) {
  const Expect::OpromRow &Row = Expect::Oprom[Expect::RiserRow];
  const bool Riser = C.RiserHob && C.RiserFlag != 0;
  const CHAR8 *WantPrompt = Riser ? Expect::RiserPrompt : Row.Prompt;
  const CHAR8 *WantHelp = Riser ? Expect::RiserHelp : Row.Help;
  const CHAR8 *Prompt = nullptr;
  const CHAR8 *Help = nullptr;
  for (UINTN I = 0; I < Ops.Count; ++I) {
    const SetupStringOp &Op = *Ops.Ops[I];
    if (Op.K == Kind::Set && Op.Id == Row.PromptId) {
      Prompt = Op.Text;
    } else if (Op.K == Kind::Set && Op.Id == Row.HelpId) {
      Help = Op.Text;
    }
  }
  if (ChosenValue(C, Row.Token) == 0) {
    Sec.Check("row3-untouched", Prompt == nullptr && Help == nullptr, "row 3 written with token 0");
    return;
  }
  Sec.Check(Riser ? "row3-riser-text" : "row3-plain-text",
            TextEqual(Prompt, WantPrompt) && TextEqual(Help, WantHelp),
            Line().Str("got ").Quoted(Prompt).Str(" / ").Quoted(Help));
}

}  // namespace

VOID CheckRelabelArrival(const Section &Sec, const RelabelCase &C, UINTN Recorded, UINTN PcdFrom,
                         UINTN PcdUntil) {
  RelabelOps Ops;
  CollectRelabelOps(Recorded, Ops);
  ExpectedOp Want[MaxExpected];
  const UINTN Total = BuildExpected(C, Want);
  const UINTN Pairs = Total - Expect::HiddenCount - Expect::LabelCount;
  Sec.Check("callback-ran-on-arrival", Recorded != 0, "no string call during the installation");
  CheckCallContext(Sec);
  CheckRange(Sec, "hides", Ops, 0, Want, Expect::HiddenCount);
  CheckRange(Sec, "option-rom-pairs", Ops, Expect::HiddenCount, Want + Expect::HiddenCount, Pairs);
  CheckRange(Sec, "labels", Ops, Expect::HiddenCount + Pairs, Want + Expect::HiddenCount + Pairs,
             Expect::LabelCount);
  Sec.Check("nothing-else-written", Ops.Count == Total && !SetupStringStandIn::Overflowed(),
            Line().Dec(Ops.Count).Str(" calls, want ").Dec(Total));
  CheckRow3(Sec, C, Ops);
  CheckPcdReads(Sec, PcdFrom, PcdUntil);
  ReportOps(Sec, Ops);
}
