// SmmTraceJudge: judges the SMM part of one dispatch boot on the host.
//
// usage: SmmTraceJudge (--work DIR | --trace TRACE --serial SERIAL) --scenario NAME
//                      [--burst N] [--matrix full|none]
//   --work     a run-dispatch.sh work folder: DIR/trace.raw and DIR/serial.log
//   --trace    QEMU's memory_region_ops lines of 'isa-debugcon' and 'apm-io'
//   --serial   the serial console; an OVMF exception dump there fails the run
//   --scenario a scenario of the bench's list: with or without SMM, with
//              or without the platform service
//   --burst    SMIs the back-to-back run must show (default 1000; 0 where
//              the scenario has no platform service)
//   --matrix   none: judge what the trace holds without requiring every case
//              (for excerpts)
// Prints "INFO smm-trace: ...", "PASS smm-trace.<name>" and
// "FAIL smm-trace.<name>: detail" lines. Exit 0: all passed; 1: a check
// failed; 2: bad usage or unreadable input.
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <string>

#include "TraceJudge.h"

namespace {

constexpr int ExitPassed = 0;
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;

int Usage(const std::string &Why) {
  std::cerr << "SmmTraceJudge: " << Why << "\n"
            << "usage: SmmTraceJudge (--work DIR | --trace TRACE --serial SERIAL)"
               " --scenario NAME [--burst N] [--matrix full|none]\n";
  return ExitUsage;
}

void Print(const SmmJudge::Check &C) {
  if (C.Passed) {
    std::cout << "PASS smm-trace." << C.Name << "\n";
  } else {
    std::cout << "FAIL smm-trace." << C.Name << ": " << C.Detail << "\n";
  }
}

}  // namespace

int main(int Argc, char **Argv) {
  std::map<std::string, std::string> Args;
  for (int I = 1; I < Argc; I += 2) {
    const std::string Key = Argv[I];
    if (Key != "--work" && Key != "--trace" && Key != "--serial" && Key != "--scenario" &&
        Key != "--burst" && Key != "--matrix") {
      return Usage("unknown argument " + Key);
    }
    if (I + 1 >= Argc) {
      return Usage(Key + " needs a value");
    }
    Args[Key] = Argv[I + 1];
  }
  if (Args.count("--work") != 0) {
    // run-dispatch.sh's names for the raw filtered trace and the console.
    Args.try_emplace("--trace", Args["--work"] + "/trace.raw");
    Args.try_emplace("--serial", Args["--work"] + "/serial.log");
  }
  for (const char *Required : {"--trace", "--serial", "--scenario"}) {
    if (Args.count(Required) == 0) {
      return Usage(std::string("missing ") + Required);
    }
  }
  const std::optional<SmmJudge::Options> Known = SmmJudge::DefaultOptions(Args["--scenario"]);
  if (!Known) {
    return Usage("no scenario " + Args["--scenario"] + " in the bench's list");
  }
  SmmJudge::Options Options = *Known;
  if (Args.count("--burst") != 0) {
    char *End = nullptr;
    Options.Burst = std::strtoul(Args["--burst"].c_str(), &End, 10);
    if (Args["--burst"].empty() || *End != 0) {
      return Usage("--burst needs a number");
    }
  }
  if (Args.count("--matrix") != 0) {
    if (Args["--matrix"] != "full" && Args["--matrix"] != "none") {
      return Usage("--matrix is full or none");
    }
    Options.FullMatrix = Args["--matrix"] == "full";
  }

  std::ifstream TraceFile(Args["--trace"]);
  std::ifstream SerialFile(Args["--serial"]);
  if (!TraceFile) {
    return Usage("cannot read " + Args["--trace"]);
  }
  if (!SerialFile) {
    return Usage("cannot read " + Args["--serial"]);
  }
  std::vector<SmmJudge::PortAccess> Trace;
  std::string Line;
  for (std::size_t Number = 1; std::getline(TraceFile, Line); ++Number) {
    if (const auto Access = SmmJudge::ParseTraceLine(Line, Number)) {
      Trace.push_back(*Access);
    }
  }

  const std::optional<std::string> Dump = SmmJudge::FindExceptionDump(SerialFile);
  const SmmJudge::Verdict Verdict = SmmJudge::JudgeTrace(Trace, Options);
  for (const std::string &Info : Verdict.Info) {
    std::cout << "INFO smm-trace: " << Info << "\n";
  }
  Print({"no-exception-dump", !Dump.has_value(), Dump.value_or("")});
  for (const SmmJudge::Check &C : Verdict.Checks) {
    Print(C);
  }
  return Dump.has_value() || Verdict.Failed() ? ExitFailed : ExitPassed;
}
