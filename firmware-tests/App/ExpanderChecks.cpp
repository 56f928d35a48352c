// Expander presence labels: the one device read and the eight labels, over
// what the SMBus and string stand-ins recorded.
#include "ExpanderChecks.h"
#include "BoardExpectations.h"
#include "Uefi/Smbus.h"

namespace {

using Kind = SetupStringOp::Kind;

// Recorded writes to the expander's labels, in call order.
UINTN LabelOps(const SetupStringOp **Out, UINTN Max) {
  UINTN N = 0;
  for (UINTN I = 0; I < SetupStringStandIn::Count(); ++I) {
    const SetupStringOp &Op = SetupStringStandIn::Op(I);
    if (Expect::IsExpanderLabel(Op.Id)) {
      if (N < Max) {
        Out[N] = &Op;
      }
      ++N;
    }
  }
  return N;
}

}  // namespace

UINTN ExpanderLabelOpCount() { return LabelOps(nullptr, 0); }

VOID CheckExpanderRead(const Section &Sec) {
  const UINTN Reads = SmbusStandIn::Count();
  Sec.Check("one-device-read", Reads == 1, Line().Dec(Reads).Str(" Execute calls, want 1"));
  if (Reads == 0) {
    return;
  }
  const SmbusCall &C = SmbusStandIn::Call(0);
  Sec.Info(Line().Str("Execute(address word ").Hex(C.AddressWord).Str(", command ").Dec(C.Command)
               .Str(", operation ").Dec(C.Operation).Str(", PEC ").Dec(C.PecCheck).Str(", *Length ")
               .Dec(C.LengthIn).Str(", byte in ").Hex(C.BufferIn, 2).Str(") at TPL ").Dec(C.Tpl));
  Sec.Check("address-0x38", C.AddressWord == Expect::ExpanderAddress,
            Line().Str("address word ").Hex(C.AddressWord));
  Sec.Check("command-0", C.Command == 0, Line().Str("command ").Dec(C.Command));
  Sec.Check("read-byte", C.Operation == EfiSmbusReadByte,
            Line().Str("operation ").Dec(C.Operation));
  Sec.Check("pec-off", C.PecCheck == FALSE, Line().Str("PecCheck ").Dec(C.PecCheck));
  Sec.Check("length-1", C.HasLength && C.LengthIn == 1,
            C.HasLength ? Line().Str("*Length ").Dec(C.LengthIn) : Line().Str("Length NULL"));
  Sec.Check("buffer-zeroed", C.HasBuffer && C.BufferIn == 0,
            C.HasBuffer ? Line().Str("byte in ").Hex(C.BufferIn, 2) : Line().Str("Buffer NULL"));
  Sec.Check("read-at-tpl-notify", C.Tpl == TPL_NOTIFY, Line().Str("TPL ").Dec(C.Tpl));
}

// Bit 0 first, one label per bit, each exactly once.
VOID CheckExpanderLabels(const Section &Sec, UINT8 Inputs) {
  const SetupStringOp *Ops[Expect::ExpanderLabelCount] = {};
  const UINTN N = LabelOps(Ops, Expect::ExpanderLabelCount);
  bool Right = N == Expect::ExpanderLabelCount;
  Line Detail;
  Detail.Dec(N).Str(" label writes");
  bool Context = true;
  for (UINTN Bit = 0; Bit < Expect::ExpanderLabelCount && Bit < N; ++Bit) {
    const SetupStringOp &Op = *Ops[Bit];
    const CHAR8 *Want = ((Inputs >> Bit) & 1) != 0 ? Expect::ExpanderHigh : Expect::ExpanderLow;
    Sec.Info(Line().Str("set ").Hex(Op.Id, 4).Str(" ").Quoted(Op.Text));
    if (Right && (Op.K != Kind::Set || Op.Id != Expect::ExpanderLabels[Bit] ||
                  !TextEqual(Op.Text, Want))) {
      Right = false;
      Detail.Str("; bit ").Dec(Bit).Str(": want set ").Hex(Expect::ExpanderLabels[Bit], 4)
          .Str(" ").Quoted(Want).Str(", got ").Str(Op.K == Kind::Set ? "set " : "hide ")
          .Hex(Op.Id, 4).Str(" ").Quoted(Op.Text);
    }
    Context = Context && Op.Tpl == TPL_NOTIFY && TextEqual(Op.Form, Expect::FormName);
  }
  Sec.Check("labels", Right, Detail);
  Sec.Check("labels-at-tpl-notify-on-setup", Context, "a label write at another TPL or form");
}
