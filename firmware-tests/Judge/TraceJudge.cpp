// The SMM part of the trace: split into SMIs, each one held to the
// handler's rules. See TraceJudge.h for what the trace holds.
#include "TraceJudge.h"

#include <cstdio>
#include <map>
#include <set>
#include <utility>

#include "DispatchBoot.h"
#include "SioConfigAccess.h"
#include "SmmTestProtocol.h"

namespace Judge {
namespace {

using SmmTest::Gate;

// The handler's target as the board's rules state it: logical device 7,
// register 0xED, whose bit 0 follows byte 48 of the 57-byte "UsbSupport".
constexpr std::uint8_t UsbStandbyDevice = 0x07;
constexpr std::uint8_t UsbStandbyRegister = 0xED;
constexpr std::uint8_t UsbStandbyBit = 0x01;
constexpr std::size_t UsbSupportSize = 57;
constexpr std::size_t UsbStandbyByte = 48;

constexpr std::size_t MismatchesShown = 3;
constexpr std::size_t NoBurstScenarioSmis = 0;

// ---- What happens inside one SMI ---------------------------------------------

struct Step {
  enum class Kind : std::uint8_t { Gate, Write, Read };
  Kind What;
  std::uint16_t Port;   // Write, Read: the Super I/O port
  std::uint8_t Value;   // Gate: the argument; Write, Read: the byte
  bool Ok;              // Gate: the call succeeded
  bool operator==(const Step &) const = default;
};

Step GateCall(std::uint8_t Argument, bool Ok) { return {Step::Kind::Gate, 0, Argument, Ok}; }
Step Write(std::uint16_t Port, std::uint8_t Value) { return {Step::Kind::Write, Port, Value, true}; }
Step Read(std::uint16_t Port, std::uint8_t Value) { return {Step::Kind::Read, Port, Value, true}; }

// "gate(1)ok 2E<87 ... 2F>FD ... gate(0)ok": '<' a byte written to a port,
// '>' a byte read from it.
std::string Describe(const std::vector<Step> &Steps) {
  if (Steps.empty()) {
    return "nothing";
  }
  std::string Text;
  for (const Step &S : Steps) {
    if (!Text.empty()) {
      Text += ' ';
    }
    switch (S.What) {
      case Step::Kind::Gate:
        Text += "gate(" + std::to_string(S.Value) + (S.Ok ? ")ok" : ")fail");
        break;
      case Step::Kind::Write:
        Text += Hex2(S.Port) + "<" + Hex2(S.Value);
        break;
      case Step::Kind::Read:
        Text += Hex2(S.Port) + ">" + Hex2(S.Value);
        break;
    }
  }
  return Text;
}

// The "UsbSupport" variable the application stored before the SMIs that
// follow (TRACE usb none | usb <size> [<byte 48>]).
struct UsbState {
  bool Known = false;
  bool Present = false;
  std::size_t Size = 0;
  unsigned Byte48 = 0;  // zero when the variable is too short to hold it

  // Cases a reader of the rules tells apart.
  std::string Class() const {
    if (!Present) {
      return "none";
    }
    if (Size > UsbSupportSize) {
      return "oversize";
    }
    if (Size <= UsbStandbyByte) {
      return "short";
    }
    return "byte48=" + std::to_string(Byte48);
  }
  std::string Text() const {
    if (!Known) {
      return "UsbSupport unknown";
    }
    if (!Present) {
      return "no UsbSupport";
    }
    std::string T = "UsbSupport " + std::to_string(Size) + " bytes";
    return Size > UsbStandbyByte ? T + ", byte 48 = " + std::to_string(Byte48) : T;
  }
};

std::optional<UsbState> ParseUsb(std::string_view Rest) {
  UsbState Usb;
  Usb.Known = true;
  if (Rest == "none") {
    return Usb;
  }
  // "<size> <byte 48>", or "<size>" alone when the variable has no byte 48.
  const std::vector<std::string_view> Fields = Words(Rest);
  const std::optional<std::uint64_t> Size =
      Fields.empty() ? std::nullopt : ParseNumber(Fields[0]);
  const std::optional<std::uint64_t> Byte48 =
      Fields.size() == 2 ? ParseNumber(Fields[1]) : std::optional<std::uint64_t>(0);
  if (!Size || !Byte48 || Fields.size() > 2 || (Fields.size() == 1) != (*Size <= UsbStandbyByte) ||
      *Byte48 > 0xFF) {
    return std::nullopt;
  }
  Usb.Present = true;
  Usb.Size = *Size;
  Usb.Byte48 = static_cast<unsigned>(*Byte48);
  return Usb;
}

const char *GateName(Gate G) {
  switch (G) {
    case Gate::Working:
      return "gate working";
    case Gate::Absent:
      return "no gate entry";
    case Gate::AcquireFails:
      return "gate(1) fails";
  }
  return "gate ?";
}

struct Smi {
  std::uint8_t Case = 0;
  std::string Phase;
  UsbState Usb;
  bool Burst = false;
  std::vector<Step> Steps;
  bool Ended = false;
  std::size_t Line = 0;

  bool Handler() const { return SmmTest::IsHandlerCase(Case); }
  SmmTest::HandlerCase Decoded() const { return SmmTest::Decode(Case); }
  std::string Where() const {
    std::string T = "SMI at trace line " + std::to_string(Line) + " (" + Phase;
    if (!Handler()) {
      return T + ", request 0x" + Hex2(Case) + ")";
    }
    const SmmTest::HandlerCase C = Decoded();
    T += C.TheEvent == SmmTest::Event::S5Entry ? ", S5 entry" : ", power button";
    T += C.TheComm == SmmTest::Comm::Junk ? ", junk CommBuffer" : ", NULL CommBuffer";
    return T + ", " + Usb.Text() + ", " + GateName(C.TheGate) + ")";
  }
};

std::uint8_t ApplyUsbStandby(unsigned Byte48, std::uint8_t Register) {
  switch (Byte48) {
    case 0:
      return static_cast<std::uint8_t>(Register & ~UsbStandbyBit);
    case 1:
      return static_cast<std::uint8_t>(Register | UsbStandbyBit);
    default:
      return Register;
  }
}

// Where the register read and its write-back sit in a full sequence.
constexpr std::size_t RegisterReadStep = 6;
constexpr std::size_t RegisterWriteStep = 8;

// What the rules say one handler SMI does. The register value read is the
// hardware's; only what is written back is the handler's to get right.
std::vector<Step> Expected(const Smi &S, bool Registered) {
  if (!S.Handler()) {
    return {};  // requests run no handler
  }
  const Gate G = S.Decoded().TheGate;
  if (!Registered || G == Gate::Absent) {
    return {};
  }
  if (G == Gate::AcquireFails) {
    return {GateCall(1, false)};
  }
  if (!S.Usb.Present || S.Usb.Size > UsbSupportSize) {
    return {GateCall(1, true), GateCall(0, true)};
  }
  std::uint8_t Value = 0;
  for (const Step &Step : S.Steps) {
    if (Step.What == Step::Kind::Read && Step.Port == SioDataPort) {
      Value = Step.Value;
      break;
    }
  }
  return {GateCall(1, true),
          Write(SioIndexPort, SioEnterKey),
          Write(SioIndexPort, SioEnterKey),
          Write(SioIndexPort, SioLogicalDeviceSelect),
          Write(SioDataPort, UsbStandbyDevice),
          Write(SioIndexPort, UsbStandbyRegister),
          Read(SioDataPort, Value),
          Write(SioIndexPort, UsbStandbyRegister),
          Write(SioDataPort, ApplyUsbStandby(S.Usb.Byte48, Value)),
          Write(SioIndexPort, SioExitKey),
          GateCall(0, true)};
}

// ---- Walking the trace ---------------------------------------------------------

struct Walk {
  std::vector<Smi> Smis;
  std::vector<std::string> Stray;  // port accesses and gate calls outside an SMI
  std::size_t BurstBegins = 0;
  std::vector<std::string> BadLines;
};

bool StartsWith(std::string_view Text, std::string_view Prefix) {
  return Text.substr(0, Prefix.size()) == Prefix;
}

class Walker {
 public:
  Walk Run(const DecodedTrace &Trace) {
    for (std::size_t I = Trace.AfterIdentifying; I < Trace.Events.size(); ++I) {
      const PortEvent &E = Trace.Events[I];
      if (E.What == PortEvent::Kind::Log) {
        LogLine(E.Text, E.LineNumber);
      } else if (E.What == PortEvent::Kind::Pm1Write) {
        continue;
      } else if (E.Port == SmmTest::ApmControlPort || E.Port == SmmTest::ApmDataPort) {
        Apm(E);
      } else {
        SuperIo(E);
      }
    }
    return std::move(W);
  }

 private:
  Smi *OpenSmi() { return Open ? &W.Smis.back() : nullptr; }

  void Apm(const PortEvent &E) {
    if (E.What != PortEvent::Kind::Out) {
      return;
    }
    if (E.Port == SmmTest::ApmDataPort) {
      if (Open && E.Value == SmmTest::RequestConsumed) {
        W.Smis.back().Ended = true;
        Open = false;
      } else if (!Open) {
        PendingCase = static_cast<std::uint8_t>(E.Value);
      }
      return;
    }
    if (E.Value != SmmTest::BoardTestCommand) {
      return;  // OVMF's own SMM communication
    }
    Smi S;
    S.Case = PendingCase;
    S.Phase = Phase;
    S.Usb = Usb;
    S.Burst = InBurst;
    S.Line = E.LineNumber;
    W.Smis.push_back(S);
    Open = true;
  }

  void SuperIo(const PortEvent &E) {
    const auto Value = static_cast<std::uint8_t>(E.Value);
    const Step S = E.What == PortEvent::Kind::Out ? Write(E.Port, Value) : Read(E.Port, Value);
    if (Smi *Current = OpenSmi()) {
      Current->Steps.push_back(S);
    } else if (SmmPhase) {
      W.Stray.push_back(Describe({S}) + " at trace line " + std::to_string(E.LineNumber));
    }
  }

  void LogLine(std::string_view Line, std::size_t LineNumber) {
    if (StartsWith(Line, "PHASE ")) {
      SmmPhase = SmmPhase || Line.substr(6) == DispatchBoot::SmmPhase;
      return;
    }
    if (!StartsWith(Line, "TRACE ")) {
      return;
    }
    const std::string_view Rest = Line.substr(6);
    const std::vector<std::string_view> Fields = Words(Rest);
    const std::optional<std::uint64_t> Argument =
        Fields.size() == 3 ? ParseNumber(Fields[1]) : std::nullopt;
    if (Fields.size() == 3 && Fields[0] == "gate" && Argument && *Argument <= 0xFF &&
        (Fields[2] == "ok" || Fields[2] == "fail")) {
      const Step S = GateCall(static_cast<std::uint8_t>(*Argument), Fields[2] == "ok");
      if (Smi *Current = OpenSmi()) {
        Current->Steps.push_back(S);
      } else {
        W.Stray.push_back(Describe({S}) + " outside an SMI, trace line " +
                          std::to_string(LineNumber));
      }
    } else if (StartsWith(Rest, "phase ")) {
      Phase = Rest.substr(6);
    } else if (StartsWith(Rest, "usb ")) {
      if (const std::optional<UsbState> Parsed = ParseUsb(Rest.substr(4))) {
        Usb = *Parsed;
      } else {
        W.BadLines.push_back(std::string(Line));
      }
    } else if (Rest == "burst begin") {
      InBurst = true;
      ++W.BurstBegins;
    } else if (Rest == "burst end") {
      InBurst = false;
    } else {
      W.BadLines.push_back(std::string(Line));
    }
  }

  Walk W;
  std::string Phase = "boot";
  UsbState Usb;
  bool InBurst = false;
  bool SmmPhase = false;
  bool Open = false;
  std::uint8_t PendingCase = 0;
};

// ---- Judging the SMIs --------------------------------------------------------------

std::string Joined(const std::vector<std::string> &Items, std::size_t Shown) {
  std::string Text;
  for (std::size_t I = 0; I < Items.size() && I < Shown; ++I) {
    Text += (I == 0 ? "" : "; ") + Items[I];
  }
  if (Items.size() > Shown) {
    Text += "; and " + std::to_string(Items.size() - Shown) + " more";
  }
  return Text;
}

// The handler cases a full run must show, in each phase, at both events
// with both CommBuffers.
struct Required {
  const char *UsbClass;  // nullptr: any
  Gate TheGate;
};
constexpr Required RequiredCases[] = {
    {"byte48=0", Gate::Working}, {"byte48=1", Gate::Working}, {"byte48=2", Gate::Working},
    {"short", Gate::Working},    {"none", Gate::Working},     {"oversize", Gate::Working},
    {nullptr, Gate::Absent},     {nullptr, Gate::AcquireFails},
};
constexpr const char *RequiredPhases[] = {"boot", "runtime"};

std::vector<std::string> MissingCases(const std::vector<Smi> &Smis) {
  std::set<std::string> Seen;
  for (const Smi &S : Smis) {
    if (S.Handler() && !S.Burst) {
      const SmmTest::HandlerCase C = S.Decoded();
      const std::string Tail = "/" + std::to_string(static_cast<int>(C.TheEvent)) + "/" +
                               std::to_string(static_cast<int>(C.TheComm)) + "/" +
                               std::to_string(static_cast<int>(C.TheGate));
      Seen.insert(S.Phase + "/" + S.Usb.Class() + Tail);
      Seen.insert(S.Phase + "/*" + Tail);
    }
  }
  std::vector<std::string> Missing;
  for (const char *Phase : RequiredPhases) {
    for (const Required &R : RequiredCases) {
      for (int Event = 0; Event < 2; ++Event) {
        for (int Comm = 0; Comm < 2; ++Comm) {
          const std::string Key = std::string(Phase) + "/" + (R.UsbClass ? R.UsbClass : "*") +
                                  "/" + std::to_string(Event) + "/" + std::to_string(Comm) + "/" +
                                  std::to_string(static_cast<int>(R.TheGate));
          if (Seen.count(Key) == 0) {
            Missing.push_back(std::string(Phase) + " " + (R.UsbClass ? R.UsbClass : "any") + " " +
                              GateName(R.TheGate) + (Event ? " power button" : " S5 entry") +
                              (Comm ? " junk" : " NULL"));
          }
        }
      }
    }
  }
  return Missing;
}

// Groups of SMIs that must show one and the same sequence.
std::vector<std::string> Differences(const std::vector<Smi> &Smis, bool AcrossPhases) {
  std::map<std::string, std::pair<std::string, const Smi *>> First;
  std::vector<std::string> Problems;
  for (const Smi &S : Smis) {
    if (!S.Handler() || S.Burst) {
      continue;
    }
    const std::string Key = (AcrossPhases ? "" : S.Phase + "/") + S.Usb.Class() + "/" +
                            GateName(S.Decoded().TheGate);
    const std::string Sequence = Describe(S.Steps);
    const auto [It, Inserted] = First.try_emplace(Key, Sequence, &S);
    if (!Inserted && It->second.first != Sequence) {
      Problems.push_back(S.Where() + " shows " + Sequence + ", " + It->second.second->Where() +
                         " showed " + It->second.first);
    }
  }
  return Problems;
}

// One S5-entry and one power-button SMI of the boot phase, as read, for
// the report.
void InfoExamples(Verdict &V, const std::vector<Smi> &Smis) {
  for (const SmmTest::Event Event : {SmmTest::Event::S5Entry, SmmTest::Event::PowerButton}) {
    for (const Smi &S : Smis) {
      if (S.Handler() && !S.Burst && S.Decoded().TheEvent == Event &&
          S.Decoded().TheGate == Gate::Working && S.Usb.Class() == "byte48=0") {
        std::string Bit;
        const std::vector<Step> Want = Expected(S, true);
        if (S.Steps == Want) {
          // The read and the write-back of register 0xED, from the expected shape.
          const std::uint8_t Before = Want[RegisterReadStep].Value;
          const std::uint8_t After = Want[RegisterWriteStep].Value;
          Bit = "; register 0xED " + Hex2(Before) + " -> " + Hex2(After) + ", bit 0 " +
                std::to_string(Before & UsbStandbyBit) + " -> " +
                std::to_string(After & UsbStandbyBit);
        }
        V.Info.push_back(S.Where() + ": " + Describe(S.Steps) + Bit);
        break;
      }
    }
  }
}

}  // namespace

// ---- Public ------------------------------------------------------------------------

std::optional<Options> DefaultOptions(const std::string &Scenario) {
  const Bench::Scenario *Known = DispatchBoot::FindScenario(Scenario.c_str());
  if (Known == nullptr) {
    return std::nullopt;
  }
  Options O;
  O.Smm = Known->Smm;
  O.Registered = Known->Smm && Known->PlatformService && Known->SmmDriverInVolume;
  if (!O.Registered) {
    O.Burst = NoBurstScenarioSmis;
  }
  O.FullMatrix = O.Smm;
  return O;
}

void Verdict::Add(const std::string &Name, const std::vector<std::string> &Problems) {
  Checks.push_back({Name, Problems.empty(), Joined(Problems, MismatchesShown)});
}

bool Verdict::Failed() const {
  for (const Check &C : Checks) {
    if (!C.Passed) {
      return true;
    }
  }
  return false;
}

Verdict JudgeSmis(const DecodedTrace &Trace, const Options &Opt) {
  Verdict V;
  const std::optional<PortRegions> &Regions = Trace.Regions;
  V.Checks.push_back({"ports-identified", Regions.has_value(),
                      "no identifying reads of 0x2E, 0x2F and the log port after the marker"});
  if (!Regions) {
    return V;
  }
  const Walk W = Walker().Run(Trace);
  const bool Registered = Opt.Registered;

  std::vector<std::string> Unended;
  std::vector<std::string> Mismatches;
  std::vector<const Smi *> Burst;
  std::map<std::string, std::size_t> PerPhase;
  for (const Smi &S : W.Smis) {
    if (!S.Ended) {
      Unended.push_back(S.Where() + " never ended (no consumed mark from the stand-in)");
    }
    if (!S.Handler() && S.Case != SmmTest::ReportLoad && S.Case != SmmTest::PoolWatchBegin &&
        S.Case != SmmTest::PoolWatchEnd) {
      Unended.push_back(S.Where() + ": not a case byte of the bench");
    }
    if (S.Handler() && !S.Usb.Known) {
      Mismatches.push_back(S.Where() + ": no TRACE usb line before it");
    }
    const std::vector<Step> Want = Expected(S, Registered);
    if (S.Steps != Want) {
      Mismatches.push_back(S.Where() + ": got " + Describe(S.Steps) + "; want " + Describe(Want));
    }
    if (S.Burst) {
      Burst.push_back(&S);
    } else if (S.Handler()) {
      ++PerPhase[S.Phase];
    }
  }
  for (const std::string &Line : W.BadLines) {
    Mismatches.push_back("TRACE line not understood: " + Line);
  }

  std::string Counts;
  for (const auto &[Phase, Count] : PerPhase) {
    Counts += ", " + Phase + " " + std::to_string(Count);
  }
  char RegionText[160];
  std::snprintf(RegionText, sizeof(RegionText),
                "port regions: 0x2E mr 0x%llx, 0x2F mr 0x%llx, log mr 0x%llx",
                static_cast<unsigned long long>(Regions->Index),
                static_cast<unsigned long long>(Regions->Data),
                static_cast<unsigned long long>(Regions->Log));
  V.Info.push_back(RegionText);
  V.Info.push_back(std::to_string(W.Smis.size()) + " SMIs of the bench" + Counts + ", burst " +
                   std::to_string(Burst.size()) + " (steps: '<' byte written to a port, '>' read)");
  InfoExamples(V, W.Smis);

  V.Add("smis-complete", Unended);
  V.Add("sequences", Mismatches);
  V.Add("events-identical", Differences(W.Smis, false));
  V.Add("phases-identical", Differences(W.Smis, true));

  std::vector<std::string> BurstProblems;
  if (Burst.size() != Opt.Burst || W.BurstBegins != (Opt.Burst != 0 ? 1U : 0U)) {
    BurstProblems.push_back(std::to_string(Burst.size()) + " SMIs in " +
                            std::to_string(W.BurstBegins) + " bursts, want " +
                            std::to_string(Opt.Burst) + (Opt.Burst != 0 ? " in one" : ""));
  }
  for (const Smi *S : Burst) {
    if (S->Steps != Burst.front()->Steps) {
      BurstProblems.push_back(S->Where() + " shows " + Describe(S->Steps) + ", the first " +
                              Describe(Burst.front()->Steps));
    }
  }
  V.Add("burst-identical", BurstProblems);

  std::vector<std::string> Coverage;
  if (Opt.FullMatrix) {
    Coverage = MissingCases(W.Smis);
    for (std::string &Missing : Coverage) {
      Missing.insert(0, "missing: ");
    }
  } else if (!Opt.Smm) {
    if (!W.Smis.empty()) {
      Coverage.push_back(std::to_string(W.Smis.size()) + " SMIs of the bench on a firmware without SMM");
    }
  } else if (PerPhase.empty()) {
    Coverage.push_back("no handler SMI at all");
  }
  V.Add("coverage", Coverage);
  V.Add("no-stray-access", W.Stray);
  return V;
}

}  // namespace Judge
