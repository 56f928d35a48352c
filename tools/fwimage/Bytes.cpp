#include "Bytes.h"

namespace fwimage {

std::string Hex(uint64_t Value) {
  char Text[2 + 2 * sizeof Value];
  size_t At = sizeof Text;
  do {
    Text[--At] = HexDigits[Value & NibbleMask];
    Value >>= NibbleBits;
  } while (Value != 0);
  Text[--At] = 'x';
  Text[--At] = '0';
  return std::string(Text + At, sizeof Text - At);
}

} // namespace fwimage
