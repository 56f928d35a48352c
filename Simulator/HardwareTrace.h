// One ordered trace of every port and memory-mapped access the drivers make.
#pragma once

#include <string>
#include <vector>

#include "Uefi/Base.h"

namespace Sim {

struct HwAccess {
  enum class Kind { IoRead, IoWrite, MmioRead, MmioWrite };
  Kind K;
  unsigned Width;  // bits
  UINT64 Address;
  UINT32 Value;

  bool IsPort() const { return K == Kind::IoRead || K == Kind::IoWrite; }
  bool IsWrite() const { return K == Kind::IoWrite || K == Kind::MmioWrite; }
  bool operator==(const HwAccess &) const = default;
};

inline HwAccess PortWrite(UINT16 Port, UINT8 Value) {
  return {HwAccess::Kind::IoWrite, 8, Port, Value};
}
inline HwAccess PortRead(UINT16 Port, UINT8 Value) {
  return {HwAccess::Kind::IoRead, 8, Port, Value};
}

std::string Describe(const HwAccess &A);

}  // namespace Sim
