// Little-endian access to byte buffers, every read bounds-checked: the image
// parser reads flash images from anywhere, so a field that points past its
// buffer is an input error, never a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace fwimage {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

// Every refusal carries a one-line reason; main() prints it and exits non-zero.
class Error : public std::runtime_error {
public:
  explicit Error(const std::string &Reason) : std::runtime_error(Reason) {}
};

inline void CheckRange(ByteView Data, size_t Offset, size_t Length, const char *What) {
  if (Offset > Data.size() || Length > Data.size() - Offset) {
    throw Error(std::string(What) + " runs past the end of its buffer");
  }
}

inline uint8_t ReadU8(ByteView Data, size_t Offset) {
  CheckRange(Data, Offset, 1, "field");
  return Data[Offset];
}

inline uint16_t ReadU16(ByteView Data, size_t Offset) {
  CheckRange(Data, Offset, 2, "field");
  return static_cast<uint16_t>(Data[Offset] | (Data[Offset + 1] << 8));
}

inline uint32_t ReadU24(ByteView Data, size_t Offset) {
  CheckRange(Data, Offset, 3, "field");
  return static_cast<uint32_t>(Data[Offset]) | (static_cast<uint32_t>(Data[Offset + 1]) << 8) |
         (static_cast<uint32_t>(Data[Offset + 2]) << 16);
}

inline uint32_t ReadU32(ByteView Data, size_t Offset) {
  CheckRange(Data, Offset, 4, "field");
  return static_cast<uint32_t>(ReadU16(Data, Offset)) |
         (static_cast<uint32_t>(ReadU16(Data, Offset + 2)) << 16);
}

inline uint64_t ReadU64(ByteView Data, size_t Offset) {
  CheckRange(Data, Offset, 8, "field");
  return static_cast<uint64_t>(ReadU32(Data, Offset)) |
         (static_cast<uint64_t>(ReadU32(Data, Offset + 4)) << 32);
}

inline void WriteLe(uint8_t *Out, uint64_t Value, size_t Width) {
  for (size_t I = 0; I < Width; ++I) {
    Out[I] = static_cast<uint8_t>(Value >> (8 * I));
  }
}

inline void AppendLe(Bytes &Out, uint64_t Value, size_t Width) {
  const size_t At = Out.size();
  Out.resize(At + Width);
  WriteLe(Out.data() + At, Value, Width);
}

inline size_t AlignUp(size_t Value, size_t Alignment) {
  return (Value + Alignment - 1) / Alignment * Alignment;
}

inline uint8_t Sum8(ByteView Data) {
  uint8_t Sum = 0;
  for (const uint8_t B : Data) {
    Sum = static_cast<uint8_t>(Sum + B);
  }
  return Sum;
}

// "0x1A2B": sizes and offsets in messages, as the listing prints them.
std::string Hex(uint64_t Value);
// Its digits, and a GUID's. The parser names the place of every item it reads
// and a listing prints every GUID: a digit table, no formatting call.
inline constexpr char HexDigits[] = "0123456789ABCDEF";
constexpr unsigned NibbleBits = 4;
constexpr uint8_t NibbleMask = 0xF;

} // namespace fwimage
