// QEMU's port trace decoded: the one reading of trace.raw every judgment
// of the boot starts from.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>

#include "SioConfigAccess.h"
#include "SmmTestProtocol.h"
#include "TraceJudge.h"

namespace Judge {
namespace {

std::optional<std::uint64_t> NumberAfter(std::string_view Line, std::string_view Key) {
  const std::size_t At = Line.find(Key);
  if (At == std::string_view::npos) {
    return std::nullopt;
  }
  const std::size_t Start = At + Key.size();
  return ParseNumber(Line.substr(Start, Line.find(' ', Start) - Start));
}

std::uint16_t ApmPort(std::uint64_t Addr) {
  // Printed as the port, or as the offset into the two-port region.
  return static_cast<std::uint16_t>(Addr >= SmmTest::ApmControlPort ? Addr
                                                                      : SmmTest::ApmControlPort + Addr);
}

struct Identified {
  PortRegions Regions;
  std::array<std::size_t, 3> Reads;  // their trace positions
};

// The marker on the APM data port, then the first three debugcon reads after
// it, each of another region: 0x2E, 0x2F, the log port.
std::optional<Identified> IdentifyPorts(const std::vector<PortAccess> &Trace) {
  for (std::size_t I = 0; I < Trace.size(); ++I) {
    const PortAccess &A = Trace[I];
    if (A.Region != PortAccess::Device::Apm || !A.Write ||
        ApmPort(A.Addr) != SmmTest::ApmDataPort || A.Value != SmmTest::IdentifyPortsMarker) {
      continue;
    }
    Identified Found{};
    std::size_t Count = 0;
    for (std::size_t J = I + 1; J < Trace.size() && Count < Found.Reads.size(); ++J) {
      if (Trace[J].Region == PortAccess::Device::Debugcon && !Trace[J].Write) {
        Found.Reads[Count++] = J;
      }
    }
    if (Count < Found.Reads.size()) {
      continue;
    }
    Found.Regions = {Trace[Found.Reads[0]].Mr, Trace[Found.Reads[1]].Mr, Trace[Found.Reads[2]].Mr};
    const PortRegions &R = Found.Regions;
    if (R.Index != R.Data && R.Data != R.Log && R.Index != R.Log) {
      return Found;
    }
  }
  return std::nullopt;
}

PortEvent Access(const PortAccess &A, std::uint16_t Port) {
  return {A.Write ? PortEvent::Kind::Out : PortEvent::Kind::In, Port, A.Value, {}, A.LineNumber};
}

}  // namespace

std::optional<std::uint64_t> ParseNumber(std::string_view Token) {
  const std::string Text(Token);
  char *End = nullptr;
  const unsigned long long Value = std::strtoull(Text.c_str(), &End, 0);
  if (Text.empty() || Text[0] == '-' || End == nullptr || *End != 0) {
    return std::nullopt;
  }
  return Value;
}

std::vector<std::string_view> Words(std::string_view Line) {
  std::vector<std::string_view> Out;
  while (!Line.empty()) {
    const std::size_t Space = Line.find(' ');
    Out.push_back(Line.substr(0, Space));
    Line = Space == std::string_view::npos ? std::string_view() : Line.substr(Space + 1);
  }
  return Out;
}

std::string Hex2(unsigned Value) {
  char Text[8];
  std::snprintf(Text, sizeof(Text), "%02X", Value & 0xFFU);
  return Text;
}

std::optional<PortAccess> ParseTraceLine(std::string_view Line, std::size_t LineNumber) {
  const bool Write = Line.find("memory_region_ops_write ") != std::string_view::npos;
  const bool ReadLine = Line.find("memory_region_ops_read ") != std::string_view::npos;
  PortAccess A = {};
  // Debugcon and APM accesses are bytes; PM1a_CNT is a 16-bit register.
  std::uint64_t Width = 1;
  if (Line.find("name 'isa-debugcon'") != std::string_view::npos) {
    A.Region = PortAccess::Device::Debugcon;
  } else if (Line.find("name 'apm-io'") != std::string_view::npos) {
    A.Region = PortAccess::Device::Apm;
  } else if (Line.find("name 'acpi-cnt'") != std::string_view::npos) {
    A.Region = PortAccess::Device::Pm1Control;
    Width = 2;
  } else {
    return std::nullopt;
  }
  const auto Mr = NumberAfter(Line, " mr ");
  const auto Addr = NumberAfter(Line, " addr ");
  const auto Value = NumberAfter(Line, " value ");
  const auto Size = NumberAfter(Line, " size ");
  if (Write == ReadLine || !Mr || !Addr || !Value || !Size || *Size != Width ||
      *Value >= (1ULL << (8 * Width))) {
    return std::nullopt;
  }
  A.Write = Write;
  A.Mr = *Mr;
  A.Addr = *Addr;
  A.Value = static_cast<std::uint16_t>(*Value);
  A.LineNumber = LineNumber;
  return A;
}

std::vector<PortAccess> ReadTrace(std::istream &Trace) {
  std::vector<PortAccess> Accesses;
  std::string Line;
  for (std::size_t Number = 1; std::getline(Trace, Line); ++Number) {
    if (const auto Access = ParseTraceLine(Line, Number)) {
      Accesses.push_back(*Access);
    }
  }
  return Accesses;
}

DecodedTrace Decode(const std::vector<PortAccess> &Trace) {
  DecodedTrace T;
  const std::optional<Identified> Id = IdentifyPorts(Trace);
  if (Id) {
    T.Regions = Id->Regions;
  }
  std::string Text;
  for (std::size_t I = 0; I < Trace.size(); ++I) {
    const PortAccess &A = Trace[I];
    if (A.Region == PortAccess::Device::Apm) {
      T.Events.push_back(Access(A, ApmPort(A.Addr)));
    } else if (A.Region == PortAccess::Device::Pm1Control) {
      if (A.Write) {
        T.Events.push_back({PortEvent::Kind::Pm1Write, 0, A.Value, {}, A.LineNumber});
      }
    } else if (!Id || std::find(Id->Reads.begin(), Id->Reads.end(), I) != Id->Reads.end()) {
      // Unknown regions, and the identifying reads.
    } else if (A.Mr == Id->Regions.Log) {
      if (A.Write && A.Value == '\n') {
        T.Events.push_back({PortEvent::Kind::Log, 0, 0, Text, A.LineNumber});
        Text.clear();
      } else if (A.Write) {
        Text += static_cast<char>(A.Value);
      }
    } else if (A.Mr == Id->Regions.Index || A.Mr == Id->Regions.Data) {
      T.Events.push_back(Access(A, A.Mr == Id->Regions.Index ? SioIndexPort : SioDataPort));
    }
    if (Id && I == Id->Reads.back()) {
      T.AfterIdentifying = T.Events.size();
    }
  }
  if (!Text.empty()) {
    T.Events.push_back({PortEvent::Kind::Log, 0, 0, Text, Trace.back().LineNumber});
  }
  return T;
}

std::string EventText(const PortEvent &E) {
  switch (E.What) {
    case PortEvent::Kind::In:
      return "in " + Hex2(E.Port) + " " + Hex2(E.Value);
    case PortEvent::Kind::Out:
      return "out " + Hex2(E.Port) + " " + Hex2(E.Value);
    case PortEvent::Kind::Log:
      return "log " + E.Text;
    case PortEvent::Kind::Pm1Write:
      return "out PM1a_CNT " + Hex2(E.Value >> 8U) + Hex2(E.Value);
  }
  return "?";
}

}  // namespace Judge
