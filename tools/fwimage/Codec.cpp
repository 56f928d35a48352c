#include "Codec.h"

#include <array>
#include <optional>

#include "Lzma.h"

namespace fwimage {

namespace {

// Where a codec is named: by a GUID_DEFINED section's GUID, or by a
// COMPRESSION section's type byte.
struct CodecRow {
  Codec Entry;
  std::optional<Guid> Definition;
  std::optional<uint8_t> CompressionType;
};

// A function-local table: the GUIDs it holds are built at run time.
const std::array<CodecRow, 1> &Table() {
  static const std::array<CodecRow, 1> Rows{{
      {{Compression::Lzma, "LZMA", LzmaDecode, LzmaEncodeLike}, guids::Lzma, std::nullopt},
  }};
  return Rows;
}

} // namespace

const Codec *CodecForGuid(const Guid &Definition) {
  for (const CodecRow &Row : Table()) {
    if (Row.Definition == Definition) {
      return &Row.Entry;
    }
  }
  return nullptr;
}

const Codec *CodecForType(uint8_t CompressionType) {
  for (const CodecRow &Row : Table()) {
    if (Row.CompressionType == CompressionType) {
      return &Row.Entry;
    }
  }
  return nullptr;
}

const Codec &CodecOf(Compression Algorithm) {
  for (const CodecRow &Row : Table()) {
    if (Row.Entry.Algorithm == Algorithm) {
      return Row.Entry;
    }
  }
  throw Error("no codec for a stream the parser decoded");
}

} // namespace fwimage
