// The host's judge of a dispatch boot's port trace: QEMU's memory_region_ops
// lines of the isa-debugcon devices (0x2E, 0x2F, the log port), apm-io and
// acpi-cnt, decoded once (PortTrace.cpp) and judged twice over: the boot as
// a whole (BootChecks.cpp: the port files, the DXE part's Super I/O
// accesses, the power-off, the serial console) and every SMI of its SMM
// part against the board's rules for the USB standby handler
// (TraceJudge.cpp).
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

namespace Judge {

// ---- The trace, decoded (PortTrace.cpp) -----------------------------------

// One line of the trace that concerns us.
struct PortAccess {
  enum class Device : std::uint8_t { Debugcon, Apm, Pm1Control };
  Device Region;
  bool Write;
  std::uint64_t Mr;     // the region object: tells debugcon devices apart
  std::uint64_t Addr;   // as QEMU prints it (the port, or an offset)
  std::uint16_t Value;  // a byte; PM1a_CNT's a word
  std::size_t LineNumber;
};

// Nullopt for lines of other regions, other events or a shape we do not know.
std::optional<PortAccess> ParseTraceLine(std::string_view Line, std::size_t LineNumber);
std::vector<PortAccess> ReadTrace(std::istream &Trace);

// What the boot did on the watched ports, in order.
struct PortEvent {
  enum class Kind : std::uint8_t { In, Out, Log, Pm1Write };
  Kind What;
  std::uint16_t Port;     // In, Out: 0x2E, 0x2F or an APM port
  std::uint16_t Value;    // In, Out: the byte; Pm1Write: the word
  std::string Text;       // Log: the line, without its newline
  std::size_t LineNumber; // in the trace (Log: of its last byte)
};

struct PortRegions {
  std::uint64_t Index = 0;
  std::uint64_t Data = 0;
  std::uint64_t Log = 0;
};

// The debugcon regions all have one name: the application tells them apart
// by writing the marker to the APM data port, then reading 0x2E, 0x2F and
// the log port once each. Those three reads are the judge's, not the boot's:
// they are left out of Events. Without them only APM and PM1a_CNT accesses
// are decoded.
struct DecodedTrace {
  std::optional<PortRegions> Regions;
  std::vector<PortEvent> Events;
  std::size_t AfterIdentifying = 0;  // the first event after the identifying reads
};
DecodedTrace Decode(const std::vector<PortAccess> &Trace);

// "out 2E 87", "in 2F FD", "out B2 5B", "log <line>", "out PM1a_CNT 2001".
std::string EventText(const PortEvent &E);

// ---- Verdicts -----------------------------------------------------------------

struct Check {
  std::string Name;
  bool Passed;
  std::string Detail;  // why it failed
};

struct Verdict {
  std::vector<std::string> Info;
  std::vector<Check> Checks;
  bool Failed() const;
  // A check that passes when Problems is empty; the first few are its detail.
  void Add(const std::string &Name, const std::vector<std::string> &Problems);
};

// ---- The boot as a whole (BootChecks.cpp) ---------------------------------

// What a boot leaves beside its trace (run-dispatch.sh's work folder).
struct BootFiles {
  std::string Port2E;          // every byte written to 0x2E, as the debugcon file holds it
  std::string Port2F;
  std::string ExpectedSuperIo; // the scenario's lines of expected/superio
};

// The DXE part's Super I/O accesses: those before the application's
// PHASE smm line.
std::vector<PortEvent> DxeSuperIo(const DecodedTrace &Trace);
// ports-agree (the trace's writes to 0x2E and 0x2F are the files' bytes),
// dxe-superio (the DXE part's accesses are the expected ones) and
// powered-off (the last PM1a_CNT write sets SLP_EN: with -no-reboot a reset
// exits QEMU just as quietly).
void JudgeBoot(Verdict &V, const DecodedTrace &Trace, const BootFiles &Files);

// The first OVMF exception dump in a serial log, its lines joined with " | ",
// or nullopt when there is none.
std::optional<std::string> FindExceptionDump(std::istream &Serial);

// ---- The SMM part (TraceJudge.cpp) -----------------------------------------

struct Options {
  bool Smm = true;              // the firmware has SMM: the application raises SMIs
  bool Registered = true;       // the handler is registered, so SMIs run it
  std::size_t Burst = 1000;     // SMIs between "TRACE burst begin" and "end"
  bool FullMatrix = true;       // every case at both events, both CommBuffers, both phases
};
// The defaults for a scenario of the bench's list (BenchScenarios.h): no
// burst where nothing is registered, no SMI at all without SMM. Nullopt for
// a name the list does not have.
std::optional<Options> DefaultOptions(const std::string &Scenario);

// ports-identified, then every SMI held to the handler's rules.
Verdict JudgeSmis(const DecodedTrace &Trace, const Options &Options);

// ---- Text helpers the parts share ---------------------------------------------
// A whole token as an unsigned number (0x-prefixed: hex), or nullopt.
std::optional<std::uint64_t> ParseNumber(std::string_view Token);
// The words of a line, split at single spaces.
std::vector<std::string_view> Words(std::string_view Line);
std::string Hex2(unsigned Value);  // two upper-case hex digits

}  // namespace Judge
