#include "Guid.h"

#include <cstring>

namespace fwimage {

namespace {

// Registry-form field widths in hex digits, and whether the field is stored
// little-endian (the first three are).
struct GuidField {
  size_t Digits;
  bool LittleEndian;
};
constexpr std::array<GuidField, 5> GuidFields{{{8, true}, {4, true}, {4, true}, {4, false}, {12, false}}};

constexpr size_t TextSize = 36; // registry form

int HexDigit(char C) {
  if (C >= '0' && C <= '9') {
    return C - '0';
  }
  if (C >= 'a' && C <= 'f') {
    return C - 'a' + 10;
  }
  if (C >= 'A' && C <= 'F') {
    return C - 'A' + 10;
  }
  return -1;
}

} // namespace

std::optional<Guid> Guid::Parse(std::string_view Text) {
  if (Text.size() >= 2 && Text.front() == '{' && Text.back() == '}') {
    Text = Text.substr(1, Text.size() - 2);
  }
  Guid Result;
  size_t Pos = 0;
  size_t Out = 0;
  for (size_t F = 0; F < GuidFields.size(); ++F) {
    if (F != 0) {
      if (Pos >= Text.size() || Text[Pos] != '-') {
        return std::nullopt;
      }
      ++Pos;
    }
    const GuidField &Field = GuidFields[F];
    const size_t FieldBytes = Field.Digits / 2;
    if (Text.size() - Pos < Field.Digits) {
      return std::nullopt;
    }
    for (size_t I = 0; I < FieldBytes; ++I) {
      const int Hi = HexDigit(Text[Pos + 2 * I]);
      const int Lo = HexDigit(Text[Pos + 2 * I + 1]);
      if (Hi < 0 || Lo < 0) {
        return std::nullopt;
      }
      const size_t Index = Field.LittleEndian ? Out + FieldBytes - 1 - I : Out + I;
      Result.Bytes[Index] = static_cast<uint8_t>(Hi * 16 + Lo);
    }
    Pos += Field.Digits;
    Out += FieldBytes;
  }
  if (Pos != Text.size()) {
    return std::nullopt;
  }
  return Result;
}

Guid Guid::FromBytes(ByteView Data, size_t Offset) {
  CheckRange(Data, Offset, Size, "GUID");
  Guid Result;
  std::memcpy(Result.Bytes.data(), Data.data() + Offset, Size);
  return Result;
}

std::string Guid::ToString() const {
  std::string Text;
  Text.reserve(TextSize);
  size_t In = 0;
  for (size_t F = 0; F < GuidFields.size(); ++F) {
    if (F != 0) {
      Text += '-';
    }
    const GuidField &Field = GuidFields[F];
    const size_t FieldBytes = Field.Digits / 2;
    for (size_t I = 0; I < FieldBytes; ++I) {
      const size_t Index = Field.LittleEndian ? In + FieldBytes - 1 - I : In + I;
      Text += HexDigits[Bytes[Index] >> NibbleBits];
      Text += HexDigits[Bytes[Index] & NibbleMask];
    }
    In += FieldBytes;
  }
  return Text;
}

bool Guid::IsAll(uint8_t Value) const {
  for (const uint8_t B : Bytes) {
    if (B != Value) {
      return false;
    }
  }
  return true;
}

} // namespace fwimage
