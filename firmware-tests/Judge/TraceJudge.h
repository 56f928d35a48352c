// The host's judge of the SMM part of a dispatch boot: QEMU's port trace
// (memory_region_ops read/write lines of the isa-debugcon devices and of
// apm-io, in order) against the board's rules for the USB standby handler,
// and the serial console against OVMF's exception dumps.
//
// The trace carries everything in one order: the application's TRACE lines
// on the log port (phase, "UsbSupport" contents, burst), the case byte and
// the command on the APM ports that raise each SMI, the SMM stand-in's gate
// calls (TRACE gate lines, written from SMM) and the handler's Super I/O
// accesses, then the stand-in's "consumed" byte that ends the SMI.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace SmmJudge {

// One line of the trace that concerns us.
struct PortAccess {
  enum class Device : std::uint8_t { Debugcon, Apm };
  Device Region;
  bool Write;
  std::uint64_t Mr;    // the region object: tells debugcon devices apart
  std::uint64_t Addr;  // as QEMU prints it (the port, or an offset)
  std::uint8_t Value;
  std::size_t LineNumber;
};

// NULLopt for lines of other regions, other events or a shape we do not know.
std::optional<PortAccess> ParseTraceLine(std::string_view Line, std::size_t LineNumber);

struct Options {
  bool Smm = true;              // the firmware has SMM: the application raises SMIs
  bool PlatformService = true;  // the handler is registered, so SMIs run it
  std::size_t Burst = 1000;     // SMIs between "TRACE burst begin" and "end"
  bool FullMatrix = true;       // every case at both events, both CommBuffers, both phases
};
// The defaults for a scenario of the bench's list (BenchScenarios.h): no
// burst where nothing is registered, no SMI at all without SMM. Nullopt for
// a name the list does not have.
std::optional<Options> DefaultOptions(const std::string &Scenario);

struct Check {
  std::string Name;
  bool Passed;
  std::string Detail;  // why it failed
};

struct Verdict {
  std::vector<std::string> Info;
  std::vector<Check> Checks;
  bool Failed() const;
};

Verdict JudgeTrace(const std::vector<PortAccess> &Trace, const Options &Options);

// The first OVMF exception dump in a serial log, its lines joined with " | ",
// or nullopt when there is none.
std::optional<std::string> FindExceptionDump(std::istream &Serial);

}  // namespace SmmJudge
