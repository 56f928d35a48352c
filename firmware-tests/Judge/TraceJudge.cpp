// The SMM trace judge: splits the port trace into SMIs and holds each one to
// the handler's rules. See TraceJudge.h for what the trace holds.
#include "TraceJudge.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <utility>

#include "DispatchBoot.h"
#include "SioConfigAccess.h"
#include "SmmTestProtocol.h"

namespace SmmJudge {
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

// ---- Trace lines ------------------------------------------------------------

// A whole token as an unsigned number (0x-prefixed: hex), or nullopt.
std::optional<std::uint64_t> ParseNumber(std::string_view Token) {
  const std::string Text(Token);
  char *End = nullptr;
  const unsigned long long Value = std::strtoull(Text.c_str(), &End, 0);
  if (Text.empty() || Text[0] == '-' || End == nullptr || *End != 0) {
    return std::nullopt;
  }
  return Value;
}

// The words of a line, split at single spaces.
std::vector<std::string_view> Words(std::string_view Line) {
  std::vector<std::string_view> Out;
  while (!Line.empty()) {
    const std::size_t Space = Line.find(' ');
    Out.push_back(Line.substr(0, Space));
    Line = Space == std::string_view::npos ? std::string_view() : Line.substr(Space + 1);
  }
  return Out;
}

std::optional<std::uint64_t> NumberAfter(std::string_view Line, std::string_view Key) {
  const std::size_t At = Line.find(Key);
  if (At == std::string_view::npos) {
    return std::nullopt;
  }
  const std::size_t Start = At + Key.size();
  return ParseNumber(Line.substr(Start, Line.find(' ', Start) - Start));
}

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

std::string Hex2(unsigned Value) {
  char Text[8];
  std::snprintf(Text, sizeof(Text), "%02X", Value & 0xFFU);
  return Text;
}

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

std::uint16_t ApmPort(std::uint64_t Addr) {
  // Printed as the port, or as the offset into the two-port region.
  return static_cast<std::uint16_t>(Addr >= SmmTest::ApmControlPort ? Addr
                                                                      : SmmTest::ApmControlPort + Addr);
}

struct PortRegions {
  std::uint64_t Index = 0;
  std::uint64_t Data = 0;
  std::uint64_t Log = 0;
  std::size_t After = 0;  // the trace position after the identifying reads
};

// The application writes the marker to the APM data port, then reads 0x2E,
// 0x2F and the log port once each.
std::optional<PortRegions> IdentifyPorts(const std::vector<PortAccess> &Trace) {
  for (std::size_t I = 0; I < Trace.size(); ++I) {
    const PortAccess &A = Trace[I];
    if (A.Region != PortAccess::Device::Apm || !A.Write ||
        ApmPort(A.Addr) != SmmTest::ApmDataPort || A.Value != SmmTest::IdentifyPortsMarker) {
      continue;
    }
    std::vector<std::uint64_t> Reads;
    std::size_t J = I + 1;
    for (; J < Trace.size() && Reads.size() < 3; ++J) {
      if (Trace[J].Region == PortAccess::Device::Debugcon && !Trace[J].Write) {
        Reads.push_back(Trace[J].Mr);
      }
    }
    if (Reads.size() == 3 && Reads[0] != Reads[1] && Reads[1] != Reads[2] &&
        Reads[0] != Reads[2]) {
      return PortRegions{Reads[0], Reads[1], Reads[2], J};
    }
  }
  return std::nullopt;
}

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
  explicit Walker(const PortRegions &Regions) : R(Regions) {}

  Walk Run(const std::vector<PortAccess> &Trace) {
    for (std::size_t I = R.After; I < Trace.size(); ++I) {
      const PortAccess &A = Trace[I];
      if (A.Region == PortAccess::Device::Apm) {
        Apm(A);
      } else if (A.Mr == R.Log) {
        if (A.Write && A.Value == '\n') {
          LogLine(A.LineNumber);
          Text.clear();
        } else if (A.Write) {
          Text += static_cast<char>(A.Value);
        }
      } else if (A.Mr == R.Index || A.Mr == R.Data) {
        SuperIo(A);
      }
    }
    return std::move(W);
  }

 private:
  Smi *OpenSmi() { return Open ? &W.Smis.back() : nullptr; }

  void Apm(const PortAccess &A) {
    if (!A.Write) {
      return;
    }
    if (ApmPort(A.Addr) == SmmTest::ApmDataPort) {
      if (Open && A.Value == SmmTest::RequestConsumed) {
        W.Smis.back().Ended = true;
        Open = false;
      } else if (!Open) {
        PendingCase = A.Value;
      }
      return;
    }
    if (A.Value != SmmTest::BoardTestCommand) {
      return;  // OVMF's own SMM communication
    }
    Smi S;
    S.Case = PendingCase;
    S.Phase = Phase;
    S.Usb = Usb;
    S.Burst = InBurst;
    S.Line = A.LineNumber;
    W.Smis.push_back(S);
    Open = true;
  }

  void SuperIo(const PortAccess &A) {
    const std::uint16_t Port = A.Mr == R.Index ? SioIndexPort : SioDataPort;
    const Step S = A.Write ? Write(Port, A.Value) : Read(Port, A.Value);
    if (Smi *Current = OpenSmi()) {
      Current->Steps.push_back(S);
    } else if (SmmPhase) {
      W.Stray.push_back(Describe({S}) + " at trace line " + std::to_string(A.LineNumber));
    }
  }

  void LogLine(std::size_t LineNumber) {
    const std::string_view Line = Text;
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

  const PortRegions &R;
  Walk W;
  std::string Text;
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

void Add(Verdict &V, const std::string &Name, const std::vector<std::string> &Problems) {
  V.Checks.push_back({Name, Problems.empty(), Joined(Problems, MismatchesShown)});
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

std::optional<PortAccess> ParseTraceLine(std::string_view Line, std::size_t LineNumber) {
  const bool Write = Line.find("memory_region_ops_write ") != std::string_view::npos;
  const bool ReadLine = Line.find("memory_region_ops_read ") != std::string_view::npos;
  PortAccess A = {};
  if (Line.find("name 'isa-debugcon'") != std::string_view::npos) {
    A.Region = PortAccess::Device::Debugcon;
  } else if (Line.find("name 'apm-io'") != std::string_view::npos) {
    A.Region = PortAccess::Device::Apm;
  } else {
    return std::nullopt;
  }
  const auto Mr = NumberAfter(Line, " mr ");
  const auto Addr = NumberAfter(Line, " addr ");
  const auto Value = NumberAfter(Line, " value ");
  const auto Size = NumberAfter(Line, " size ");
  if (Write == ReadLine || !Mr || !Addr || !Value || !Size || *Size != 1 || *Value > 0xFF) {
    return std::nullopt;
  }
  A.Write = Write;
  A.Mr = *Mr;
  A.Addr = *Addr;
  A.Value = static_cast<std::uint8_t>(*Value);
  A.LineNumber = LineNumber;
  return A;
}

std::optional<Options> DefaultOptions(const std::string &Scenario) {
  const Bench::Scenario *Known = DispatchBoot::FindScenario(Scenario.c_str());
  if (Known == nullptr) {
    return std::nullopt;
  }
  Options O;
  O.Smm = Known->Smm;
  O.PlatformService = Known->Smm && Known->PlatformService;
  if (!O.PlatformService) {
    O.Burst = NoBurstScenarioSmis;
  }
  O.FullMatrix = O.Smm;
  return O;
}

bool Verdict::Failed() const {
  for (const Check &C : Checks) {
    if (!C.Passed) {
      return true;
    }
  }
  return false;
}

Verdict JudgeTrace(const std::vector<PortAccess> &Trace, const Options &Opt) {
  Verdict V;
  const std::optional<PortRegions> Regions = IdentifyPorts(Trace);
  V.Checks.push_back({"ports-identified", Regions.has_value(),
                      "no identifying reads of 0x2E, 0x2F and the log port after the marker"});
  if (!Regions) {
    return V;
  }
  const Walk W = Walker(*Regions).Run(Trace);
  const bool Registered = Opt.PlatformService;

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

  Add(V, "smis-complete", Unended);
  Add(V, "sequences", Mismatches);
  Add(V, "events-identical", Differences(W.Smis, false));
  Add(V, "phases-identical", Differences(W.Smis, true));

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
  Add(V, "burst-identical", BurstProblems);

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
  Add(V, "coverage", Coverage);
  Add(V, "no-stray-access", W.Stray);
  return V;
}

std::optional<std::string> FindExceptionDump(std::istream &Serial) {
  constexpr std::size_t DumpLinesShown = 6;
  std::string Line;
  std::string Dump;
  std::size_t Taken = 0;
  while (std::getline(Serial, Line)) {
    // The console is a terminal: escape sequences and carriage returns.
    std::string Clean;
    for (std::size_t I = 0; I < Line.size(); ++I) {
      if (Line[I] == '\x1b') {
        while (I < Line.size() && !std::isalpha(static_cast<unsigned char>(Line[I]))) {
          ++I;
        }
        continue;
      }
      if (Line[I] != '\r') {
        Clean += Line[I];
      }
    }
    if (Taken == 0) {
      if (Clean.find("!!!!") == std::string::npos ||
          Clean.find("Exception") == std::string::npos) {
        continue;
      }
    }
    if (Clean.empty()) {
      continue;
    }
    if (Taken != 0) {
      Dump += " | ";
    }
    Dump += Clean;
    if (++Taken == DumpLinesShown) {
      break;
    }
  }
  if (Taken == 0) {
    return std::nullopt;
  }
  return Dump;
}

}  // namespace SmmJudge
