#include "Bytes.h"

#include <cinttypes>
#include <cstdio>

namespace fwimage {

std::string Hex(uint64_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof Text, "0x%" PRIX64, Value);
  return Text;
}

} // namespace fwimage
