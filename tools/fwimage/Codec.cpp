#include "Codec.h"

#include <algorithm>
#include <array>
#include <optional>

#include "EfiCompress.h"
#include "Ffs.h"
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

// The EFI variants have no parameters to keep: the firmware's decoder takes
// any stream of the variant.
template <EfiVariant Variant> Bytes EfiDecode(ByteView Compressed, uint64_t MaxSize) {
  return EfiDecompress(Compressed, Variant, MaxSize);
}
template <EfiVariant Variant> Bytes EfiEncode(ByteView Data, ByteView /*Original*/, uint32_t /*Preset*/) {
  return EfiCompress(Data, Variant);
}

// A function-local table: the GUIDs it holds are built at run time.
const std::array<CodecRow, 4> &Table() {
  static const std::array<CodecRow, 4> Rows{{
      {{Compression::Lzma, "LZMA", LzmaDecode, LzmaEncodeLike}, guids::Lzma, std::nullopt},
      {{Compression::LzmaX86, "LZMA x86", LzmaX86Decode, LzmaX86EncodeLike}, guids::LzmaX86, std::nullopt},
      {{Compression::Tiano, EfiVariantName(EfiVariant::Tiano), EfiDecode<EfiVariant::Tiano>,
        EfiEncode<EfiVariant::Tiano>},
       guids::Tiano,
       std::nullopt},
      {{Compression::Efi11, EfiVariantName(EfiVariant::Efi11), EfiDecode<EfiVariant::Efi11>,
        EfiEncode<EfiVariant::Efi11>},
       std::nullopt,
       ffs::CompressionStandard},
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

void KnownStreams::Add(const Codec &By, ByteView Compressed, std::shared_ptr<const Bytes> Decoded) {
  Entries.push_back({&By, Bytes(Compressed.begin(), Compressed.end()), std::move(Decoded)});
}

std::shared_ptr<const Bytes> KnownStreams::Find(const Codec &By, ByteView Compressed) const {
  for (const Entry &E : Entries) {
    if (E.By == &By && std::equal(E.Compressed.begin(), E.Compressed.end(), Compressed.begin(), Compressed.end())) {
      return E.Decoded;
    }
  }
  return nullptr;
}

OpenedStream OpenStream(const Codec &Named, ByteView Compressed, uint64_t MaxSize) {
  if (Named.Algorithm != Compression::Efi11) {
    return {Named.Decode(Compressed, MaxSize), &Named};
  }
  EfiDecoded Either = EfiDecompressEither(Compressed, MaxSize);
  return {std::move(Either.Data),
          &CodecOf(Either.Variant == EfiVariant::Tiano ? Compression::Tiano : Compression::Efi11)};
}

} // namespace fwimage
