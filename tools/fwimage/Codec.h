// The compression algorithms sections use, each with its decoder and encoder,
// found by the GUID of a GUID_DEFINED section or the type byte of a
// COMPRESSION section. Adding an algorithm is a row in Codec.cpp's table.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Bytes.h"
#include "FirmwareVolume.h"
#include "Guid.h"

namespace fwimage {

// The preset that asks a codec for its smallest output, however slow: for a
// stream that no longer fits its place at the preset chosen.
constexpr uint32_t StrongestPreset = UINT32_MAX;

struct Codec {
  Compression Algorithm;
  const char *Name; // as the listing shows it
  // Decodes to exactly the size the stream states; Error above MaxSize or
  // when the stream does not decode.
  Bytes (*Decode)(ByteView Compressed, uint64_t MaxSize);
  // Encodes Data in the manner of the Original stream (its parameters, which
  // the firmware's decoder was sized for). Preset: 0-9, faster to smaller,
  // or StrongestPreset.
  Bytes (*Encode)(ByteView Data, ByteView Original, uint32_t Preset);
};

// nullptr for a GUID or a type no decoder is known for.
const Codec *CodecForGuid(const Guid &Definition);
const Codec *CodecForType(uint8_t CompressionType);
const Codec &CodecOf(Compression Algorithm);

struct OpenedStream {
  Bytes Data;
  const Codec *By = nullptr; // the algorithm that decoded it
};

// A section's stream decoded by the codec its GUID or type names. EFI 1.1
// and Tiano share compression type 0x01 (some vendors put Tiano streams
// there), so a stream EFI 1.1 refuses is tried as Tiano; By says which one
// decoded. Error, naming each reason, when none does.
OpenedStream OpenStream(const Codec &Named, ByteView Compressed, uint64_t MaxSize);

// Streams whose decoding is known: an edit decodes each stream it encodes to
// prove the round trip, and the parse that checks the edited image takes
// that result for the same bytes instead of decoding them again.
class KnownStreams {
public:
  void Add(const Codec &By, ByteView Compressed, std::shared_ptr<const Bytes> Decoded);
  // What By decoded from exactly these bytes; nullptr when not known.
  std::shared_ptr<const Bytes> Find(const Codec &By, ByteView Compressed) const;

private:
  struct Entry {
    const Codec *By;
    Bytes Compressed;
    std::shared_ptr<const Bytes> Decoded;
  };
  std::vector<Entry> Entries;
};

} // namespace fwimage
