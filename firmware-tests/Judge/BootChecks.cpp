// The boot as a whole, from its decoded trace and the files beside it: what
// QEMU's own debugcon files say, what the DXE part did on the Super I/O
// ports, how the boot ended, and OVMF's serial console.
#include <cctype>
#include <sstream>

#include "DispatchBoot.h"
#include "SioConfigAccess.h"
#include "TraceJudge.h"

namespace Judge {
namespace {

bool IsSuperIo(const PortEvent &E) {
  return (E.What == PortEvent::Kind::In || E.What == PortEvent::Kind::Out) &&
         (E.Port == SioIndexPort || E.Port == SioDataPort);
}

// The bytes the trace shows written to Port.
std::string Written(const DecodedTrace &Trace, std::uint16_t Port) {
  std::string Bytes;
  for (const PortEvent &E : Trace.Events) {
    if (E.What == PortEvent::Kind::Out && E.Port == Port) {
      Bytes += static_cast<char>(E.Value);
    }
  }
  return Bytes;
}

std::string AgreementProblem(const std::string &Traced, const std::string &File, std::uint16_t Port) {
  if (Traced == File) {
    return "";
  }
  std::size_t At = 0;
  while (At < Traced.size() && At < File.size() && Traced[At] == File[At]) {
    ++At;
  }
  return "0x" + Hex2(Port) + ": the trace shows " + std::to_string(Traced.size()) +
         " bytes written, the debugcon file holds " + std::to_string(File.size()) +
         ", first difference at byte " + std::to_string(At);
}

// Whitespace-separated words joined by single spaces.
std::string Normalized(const std::string &Text) {
  std::istringstream In(Text);
  std::string Word;
  std::string Out;
  while (In >> Word) {
    Out += (Out.empty() ? "" : " ") + Word;
  }
  return Out;
}

}  // namespace

std::vector<PortEvent> DxeSuperIo(const DecodedTrace &Trace) {
  const std::string Phase = std::string("PHASE ") + DispatchBoot::SmmPhase;
  std::vector<PortEvent> Dxe;
  for (const PortEvent &E : Trace.Events) {
    if (E.What == PortEvent::Kind::Log && E.Text == Phase) {
      break;
    }
    if (IsSuperIo(E)) {
      Dxe.push_back(E);
    }
  }
  return Dxe;
}

void JudgeBoot(Verdict &V, const DecodedTrace &Trace, const BootFiles &Files) {
  const std::string Unknown = "the trace's debugcon regions were not identified";
  std::vector<std::string> Agreement;
  if (!Trace.Regions) {
    Agreement.push_back(Unknown);
  }
  for (const auto &[Port, File] : {std::pair{SioIndexPort, &Files.Port2E},
                                   std::pair{SioDataPort, &Files.Port2F}}) {
    const std::string Problem = AgreementProblem(Written(Trace, Port), *File, Port);
    if (!Problem.empty()) {
      Agreement.push_back(Problem);
    }
  }
  V.Add("ports-agree", Agreement);

  std::string Got;
  for (const PortEvent &E : DxeSuperIo(Trace)) {
    Got += (Got.empty() ? "" : " ") + EventText(E);
  }
  const std::string Want = Normalized(Files.ExpectedSuperIo);
  V.Checks.push_back({"dxe-superio", Trace.Regions && Got == Want,
                      Trace.Regions ? "got '" + Got + "', want '" + Want + "'" : Unknown});

  const PortEvent *Last = nullptr;
  for (const PortEvent &E : Trace.Events) {
    if (E.What == PortEvent::Kind::Pm1Write) {
      Last = &E;
    }
  }
  V.Checks.push_back(
      {"powered-off", Last != nullptr && (Last->Value & DispatchBoot::Pm1SleepEnable) != 0,
       "QEMU exited without a power-off (last PM1a_CNT write: " +
           (Last != nullptr ? "0x" + Hex2(Last->Value >> 8U) + Hex2(Last->Value) : "none") +
           "): a reset or a crash"});
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
    // "!!!! X64 Exception Type - 0E(#PF - Page-Fault) ... !!!!", from DXE and SMM alike.
    const bool Opens = Clean.find("Exception Type") != std::string::npos ||
                       (Clean.find("!!!!") != std::string::npos &&
                        Clean.find("Exception") != std::string::npos);
    if ((Taken == 0 && !Opens) || Clean.empty()) {
      continue;
    }
    Dump += (Taken == 0 ? "" : " | ") + Clean;
    if (++Taken == DumpLinesShown) {
      break;
    }
  }
  if (Taken == 0) {
    return std::nullopt;
  }
  return Dump;
}

}  // namespace Judge
