// TraceJudge: judges one dispatch boot's port trace and serial console on
// the host.
//
// usage: TraceJudge --scenario NAME (--work DIR --expected DIR | --trace TRACE --serial SERIAL)
//                   [--burst N] [--matrix full|none]
//   --scenario a scenario of the bench's list: with or without SMM, with
//              or without the platform service
//   --work     a whole boot, run-dispatch.sh's work folder: DIR/trace.raw,
//              DIR/serial.log and the debugcon files DIR/port2e.bin and
//              DIR/port2f.bin. Judges the boot as a whole too, the DXE part's
//              Super I/O accesses against EXPECTED/NAME.superio (--expected,
//              the build's expected/ folder), and writes the decoded trace
//              (DIR/ports.trace) and those accesses (DIR/superio-dxe.trace)
//   --trace    an excerpt: QEMU's memory_region_ops lines of 'isa-debugcon'
//              and 'apm-io'; only the SMM part and the console are judged
//   --serial   the serial console; an OVMF exception dump there fails the run
//   --burst    SMIs the back-to-back run must show (default 1000; 0 where
//              the scenario has no platform service)
//   --matrix   none: judge what the trace holds without requiring every case
//              (for excerpts)
// Prints "INFO trace: ...", "PASS trace.<name>" and "FAIL trace.<name>:
// detail" lines. Exit 0: all passed; 1: a check failed; 2: bad usage or
// unreadable input.
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <string>

#include "TraceJudge.h"

namespace {

constexpr int ExitPassed = 0;
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;

int Usage(const std::string &Why) {
  std::cerr << "TraceJudge: " << Why << "\n"
            << "usage: TraceJudge --scenario NAME (--work DIR --expected DIR | --trace TRACE"
               " --serial SERIAL) [--burst N] [--matrix full|none]\n";
  return ExitUsage;
}

void Print(const Judge::Check &C) {
  if (C.Passed) {
    std::cout << "PASS trace." << C.Name << "\n";
  } else {
    std::cout << "FAIL trace." << C.Name << ": " << C.Detail << "\n";
  }
}

std::optional<std::string> ReadFile(const std::string &Path) {
  std::ifstream In(Path, std::ios::binary);
  if (!In) {
    return std::nullopt;
  }
  return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

bool WriteLines(const std::string &Path, const std::vector<Judge::PortEvent> &Events) {
  std::ofstream Out(Path);
  for (const Judge::PortEvent &E : Events) {
    Out << Judge::EventText(E) << "\n";
  }
  return static_cast<bool>(Out);
}

}  // namespace

int main(int Argc, char **Argv) {
  std::map<std::string, std::string> Args;
  for (int I = 1; I < Argc; I += 2) {
    const std::string Key = Argv[I];
    if (Key != "--work" && Key != "--expected" && Key != "--trace" && Key != "--serial" &&
        Key != "--scenario" && Key != "--burst" && Key != "--matrix") {
      return Usage("unknown argument " + Key);
    }
    if (I + 1 >= Argc) {
      return Usage(Key + " needs a value");
    }
    Args[Key] = Argv[I + 1];
  }
  const bool WholeBoot = Args.count("--work") != 0;
  if (WholeBoot != (Args.count("--expected") != 0)) {
    return Usage("--work and --expected go together");
  }
  if (WholeBoot) {
    // run-dispatch.sh's names for the raw filtered trace and the console.
    Args.try_emplace("--trace", Args["--work"] + "/trace.raw");
    Args.try_emplace("--serial", Args["--work"] + "/serial.log");
  }
  for (const char *Required : {"--trace", "--serial", "--scenario"}) {
    if (Args.count(Required) == 0) {
      return Usage(std::string("missing ") + Required);
    }
  }
  const std::optional<Judge::Options> Known = Judge::DefaultOptions(Args["--scenario"]);
  if (!Known) {
    return Usage("no scenario " + Args["--scenario"] + " in the bench's list");
  }
  Judge::Options Options = *Known;
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
  const Judge::DecodedTrace Trace = Judge::Decode(Judge::ReadTrace(TraceFile));

  Judge::Verdict Boot;
  if (WholeBoot) {
    const std::string &Work = Args["--work"];
    Judge::BootFiles Files;
    for (const auto &[Path, Into] :
         {std::pair{Work + "/port2e.bin", &Files.Port2E}, std::pair{Work + "/port2f.bin", &Files.Port2F},
          std::pair{Args["--expected"] + "/" + Args["--scenario"] + ".superio", &Files.ExpectedSuperIo}}) {
      const std::optional<std::string> Text = ReadFile(Path);
      if (!Text) {
        return Usage("cannot read " + Path);
      }
      *Into = *Text;
    }
    if (!WriteLines(Work + "/ports.trace", Trace.Events) ||
        !WriteLines(Work + "/superio-dxe.trace", Judge::DxeSuperIo(Trace))) {
      return Usage("cannot write the decoded trace into " + Work);
    }
    Judge::JudgeBoot(Boot, Trace, Files);
  }

  const std::optional<std::string> Dump = Judge::FindExceptionDump(SerialFile);
  const Judge::Verdict Smis = Judge::JudgeSmis(Trace, Options);
  for (const std::string &Info : Smis.Info) {
    std::cout << "INFO trace: " << Info << "\n";
  }
  Print({"no-exception-dump", !Dump.has_value(), Dump.value_or("")});
  for (const Judge::Verdict &V : {std::cref(Boot), std::cref(Smis)}) {
    for (const Judge::Check &C : V.Checks) {
      Print(C);
    }
  }
  return Dump.has_value() || Boot.Failed() || Smis.Failed() ? ExitFailed : ExitPassed;
}
