// LZMA in the classic ".lzma" layout firmware uses for its compressed FV
// sections: 5 property bytes, the uncompressed size as UINT64 LE, the stream.
#pragma once

#include <cstdint>

#include "Bytes.h"

namespace fwimage {

namespace lzma {
constexpr size_t PropertiesSize = 5;
constexpr size_t SizeFieldOffset = PropertiesSize;
constexpr size_t HeaderSize = PropertiesSize + 8;
// A header that does not state the size; firmware decoders need a real one.
constexpr uint64_t SizeUnknown = ~0ULL;
} // namespace lzma

uint64_t LzmaStatedSize(ByteView Compressed);

// Decodes to exactly the stated size. Throws Error when the header states no
// size or more than MaxSize, or the stream does not decode to that size.
Bytes LzmaDecode(ByteView Compressed, uint64_t MaxSize);

// Encodes with the lc/lp/pb and dictionary size of an existing header (the
// firmware's decoder was sized for them) and writes the real size into the
// header. Preset: liblzma's 0-9, or StrongestPreset (Codec.h).
Bytes LzmaEncodeLike(ByteView Data, ByteView OriginalHeader, uint32_t Preset);

// The same layout over the x86 branch-converted data (the "LZMA F86"
// GUID-defined section): call and jump targets were made absolute before
// compression, and are made relative again after it.
Bytes LzmaX86Decode(ByteView Compressed, uint64_t MaxSize);
Bytes LzmaX86EncodeLike(ByteView Data, ByteView OriginalHeader, uint32_t Preset);

} // namespace fwimage
