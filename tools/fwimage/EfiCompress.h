// The compression of EFI_COMPRESSION_SECTION (section type 0x01, compression
// type 0x01, "EFI 1.1") and of the Tiano GUID-defined section: an 8-byte
// header (UINT32 compressed size, UINT32 original size), then blocks of
// Huffman-coded literals and LZ77 matches, bits taken from the most
// significant end of each byte.
#pragma once

#include <cstdint>
#include <vector>

#include "Bytes.h"

namespace fwimage {

// One block layout; Tiano has a 512 KiB window instead of 8 KiB, so its
// position-code count is stored in 5 bits instead of 4.
enum class EfiVariant { Efi11, Tiano };

namespace efi {
constexpr size_t CompressedSizeOffset = 0;
constexpr size_t OriginalSizeOffset = 4;
constexpr size_t HeaderSize = 8;

// Huffman code lengths for the frequencies, none above 16 bits: the
// encoder's per-block tables (exposed for tests). 0 for unused symbols.
std::vector<uint8_t> LimitedCodeLengths(const std::vector<uint32_t> &Freq);
} // namespace efi

// "EFI 1.1" or "Tiano", as messages and listings name them.
const char *EfiVariantName(EfiVariant Variant);

struct EfiHeader {
  uint32_t CompressedSize = 0; // the stream after the header
  uint32_t OriginalSize = 0;
};

// Throws Error when Compressed is shorter than the header.
EfiHeader ReadEfiHeader(ByteView Compressed);

// Decodes to exactly the header's original size. Throws Error (one line)
// when that size is above MaxSize (checked before anything is allocated),
// the header's compressed size is above what follows it, or the stream is
// malformed: a code table that is no complete prefix code or has a length
// above 16, a block of 0 symbols, a match reaching before the start of the
// data or past the original size, the stream running past its compressed
// size. Bytes after the stream (section padding) are ignored.
Bytes EfiDecompress(ByteView Compressed, EfiVariant Variant, uint64_t MaxSize);

struct EfiDecoded {
  Bytes Data;
  EfiVariant Variant = EfiVariant::Efi11;
};

// EFI 1.1 first, Tiano when that fails: some vendors put Tiano streams in
// type-0x01 sections. Throws Error naming both reasons when neither decodes.
EfiDecoded EfiDecompressEither(ByteView Compressed, uint64_t MaxSize);

// A stream either decoder (and the firmware's) reads back to Data. Throws
// Error when Data is larger than the header's 32-bit size field holds.
Bytes EfiCompress(ByteView Data, EfiVariant Variant);

} // namespace fwimage
