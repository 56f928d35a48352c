// fwimage: the EFI 1.1 / Tiano decoder on the compressed sections of real FSP
// images (judged against UEFIExtract's decoding of them), on streams written
// bit by bit here, and on every malformed input it must refuse.
#include <gtest/gtest.h>
#include <lzma.h>

#include <ctime>
#include <functional>
#include <iostream>
#include <map>

#include "EfiCompress.h"
#include "Ffs.h"
#include "FileIo.h"
#include "FwImageTestImages.h"
#include "Lzma.h"

using namespace fwimage;
using fwtest::ReasonOf;

namespace {

// EFI_COMPRESSION_SECTION after the common section header.
constexpr size_t UncompressedLengthOffset = 4;
constexpr size_t CompressionTypeOffset = 8;
constexpr size_t CompressionSectionHeaderSize = 9;
constexpr uint8_t StandardCompression = 0x01;
constexpr uint64_t Limit = 64ULL << 20;

// A stream written field by field, most significant bit first.
class StreamWriter {
public:
  StreamWriter &Put(unsigned Width, uint32_t Value) {
    for (unsigned I = Width; I-- > 0;) {
      if (Bits % 8 == 0) {
        Data.push_back(0);
      }
      Data.back() = static_cast<uint8_t>(Data.back() | ((Value >> I) & 1) << (7 - Bits % 8));
      ++Bits;
    }
    return *this;
  }

  Bytes Finish(uint32_t OriginalSize) const {
    Bytes Out(efi::HeaderSize + Data.size());
    WriteLe(&Out[efi::CompressedSizeOffset], Data.size(), sizeof(uint32_t));
    WriteLe(&Out[efi::OriginalSizeOffset], OriginalSize, sizeof(uint32_t));
    std::copy(Data.begin(), Data.end(), Out.begin() + efi::HeaderSize);
    return Out;
  }

private:
  Bytes Data;
  size_t Bits = 0;
};

constexpr unsigned Efi11PositionBits = 4;
constexpr unsigned TianoPositionBits = 5;

// Block header: 16-bit symbol count, then the extra set (5-bit count), the
// char/length set (9-bit count) and the position set. A count of 0 names the
// set's only symbol in the next field of the same width.
StreamWriter &SingleSymbolTables(StreamWriter &W, unsigned Symbols, unsigned CSymbol, unsigned PositionBits,
                                 unsigned PSymbol) {
  return W.Put(16, Symbols).Put(5, 0).Put(5, 0).Put(9, 0).Put(9, CSymbol).Put(PositionBits, 0).Put(PositionBits,
                                                                                                   PSymbol);
}

// "A" then a 3-byte match one byte back: char/length codes 'A' = 0 and
// length-3 = 1, written through an extra set whose symbols 2 (a run of 20 +
// 9 bits unused) and 3 (length 1) are coded 0 and 1.
Bytes LiteralThenMatch(uint32_t OriginalSize, unsigned PositionBits) {
  StreamWriter W;
  W.Put(16, 2);
  W.Put(5, 4).Put(3, 0).Put(3, 0).Put(3, 1).Put(2, 0).Put(3, 1); // extra lengths 0 0 1 (no skip) 1
  W.Put(9, 257);                                                 // char/length lengths up to symbol 256
  W.Put(1, 0).Put(9, 'A' - 20).Put(1, 1);                        // 65 unused, 'A' length 1
  W.Put(1, 0).Put(9, 256 - 'A' - 1 - 20).Put(1, 1);              // up to 255 unused, 256 length 1
  W.Put(PositionBits, 0).Put(PositionBits, 0);                   // one position: distance 1
  W.Put(1, 0).Put(1, 1);
  return W.Finish(OriginalSize);
}

TEST(FwImageEfiDecompress, DecodesStreamsWrittenBitByBit) {
  EXPECT_EQ(EfiDecompress(LiteralThenMatch(4, Efi11PositionBits), EfiVariant::Efi11, Limit), Bytes(4, 'A'));
  EXPECT_EQ(EfiDecompress(LiteralThenMatch(4, TianoPositionBits), EfiVariant::Tiano, Limit), Bytes(4, 'A'));
  // The position count's width is all that tells the variants apart here.
  const EfiDecoded Tiano = EfiDecompressEither(LiteralThenMatch(4, TianoPositionBits), Limit);
  EXPECT_EQ(Tiano.Variant, EfiVariant::Tiano);
  EXPECT_EQ(Tiano.Data, Bytes(4, 'A'));
  EXPECT_EQ(EfiDecompressEither(LiteralThenMatch(4, Efi11PositionBits), Limit).Variant, EfiVariant::Efi11);

  // Single-symbol sets cost no bits: 256 is a match of 3, position 2 + 1 bit
  // a distance of 3 (with a 0 bit), 509 the longest match (256 bytes).
  StreamWriter W;
  SingleSymbolTables(W, 3, 'x', Efi11PositionBits, 0);
  SingleSymbolTables(W, 1, 256, Efi11PositionBits, 2).Put(1, 0);
  SingleSymbolTables(W, 1, 509, Efi11PositionBits, 0);
  Bytes Expected(3 + 3 + 256, 'x');
  EXPECT_EQ(EfiDecompress(W.Finish(static_cast<uint32_t>(Expected.size())), EfiVariant::Efi11, Limit), Expected);

  // Nothing to decode reads nothing, and bytes after the stream are padding.
  EXPECT_TRUE(EfiDecompress(StreamWriter().Finish(0), EfiVariant::Efi11, Limit).empty());
  Bytes Padded = LiteralThenMatch(4, Efi11PositionBits);
  Padded.resize(Padded.size() + 3, 0xFF);
  EXPECT_EQ(EfiDecompress(Padded, EfiVariant::Efi11, Limit), Bytes(4, 'A'));
}

TEST(FwImageEfiDecompress, RefusesMalformedHeadersAndStreams) {
  const auto Efi11 = [](const Bytes &In) { return ReasonOf([&] { EfiDecompress(In, EfiVariant::Efi11, Limit); }); };
  const auto Refused = [&](const Bytes &In, const char *Reason) {
    const std::string Got = Efi11(In);
    EXPECT_NE(Got.find(Reason), std::string::npos) << Got;
    EXPECT_EQ(Got.find('\n'), std::string::npos) << Got;
  };
  Refused({1, 0, 0, 0, 1, 0, 0}, "shorter than its 8-byte header");
  Bytes Huge = LiteralThenMatch(4, Efi11PositionBits);
  WriteLe(Huge.data() + efi::OriginalSizeOffset, 0xFFFFFFFF, sizeof(uint32_t));
  Refused(Huge, "states 0xFFFFFFFF bytes, above the 0x4000000-byte limit");
  Bytes Long = LiteralThenMatch(4, Efi11PositionBits);
  WriteLe(Long.data() + efi::CompressedSizeOffset, Long.size() - efi::HeaderSize + 1, sizeof(uint32_t));
  Refused(Long, "only 0x");
  // The stream must end inside its stated size, not in the bytes after it.
  Bytes Short = LiteralThenMatch(4, Efi11PositionBits);
  WriteLe(Short.data() + efi::CompressedSizeOffset, Short.size() - efi::HeaderSize - 1, sizeof(uint32_t));
  Refused(Short, "EFI 1.1 compressed data: the stream runs past its compressed size");

  Refused(StreamWriter().Put(16, 0).Finish(1), "a block of 0 symbols");
  Refused(LiteralThenMatch(3, Efi11PositionBits), "a match at offset 0x1 runs past the original size 0x3");
  StreamWriter MatchFirst;
  Refused(SingleSymbolTables(MatchFirst, 1, 256, Efi11PositionBits, 0).Finish(3),
          "a match at offset 0x0 reaches 0x1 bytes back, before the start of the data");

  // Extra-set lengths that leave part of the code space unused, or overfill it.
  Refused(StreamWriter().Put(16, 1).Put(5, 2).Put(3, 1).Put(3, 2).Finish(1),
          "extra-set code lengths do not form a complete prefix code");
  Refused(StreamWriter().Put(16, 1).Put(5, 3).Put(3, 1).Put(3, 1).Put(3, 1).Put(2, 0).Finish(1),
          "extra-set code lengths do not form a complete prefix code");
  // Length 17: "111" and ten 1 bits.
  Refused(StreamWriter().Put(16, 1).Put(5, 1).Put(3, 7).Put(10, 0x3FF).Finish(1), "extra-set code length above 16");
  Refused(StreamWriter().Put(16, 1).Put(5, 20).Finish(1), "extra-set table counts 20 symbols, above its 19");
  Refused(StreamWriter().Put(16, 1).Put(5, 0).Put(5, 19).Finish(1), "extra-set table's only symbol 19 is above its 18");
  Refused(StreamWriter().Put(16, 1).Put(5, 0).Put(5, 0).Put(9, 511).Finish(1),
          "char/length table counts 511 symbols, above its 510");
  Refused(StreamWriter().Put(16, 1).Put(5, 0).Put(5, 0).Put(9, 0).Put(9, 510).Finish(1),
          "char/length table's only symbol 510 is above its 509");
  // A run of 20 unused symbols in a table of 19 (extra set: symbol 2 only).
  Refused(StreamWriter().Put(16, 1).Put(5, 0).Put(5, 2).Put(9, 19).Put(9, 0).Finish(1),
          "char/length table's run of 20 unused symbols passes its count 19");
  // A position table with no codes, used by a match.
  StreamWriter NoPositions;
  NoPositions.Put(16, 2).Put(5, 0).Put(5, 0).Put(9, 0).Put(9, 256).Put(4, 1).Put(3, 0);
  Refused(NoPositions.Finish(3), "a block codes a symbol with a table that has no codes");

  const std::string Neither = ReasonOf([] { EfiDecompressEither(StreamWriter().Put(16, 0).Finish(1), Limit); });
  EXPECT_NE(Neither.find("EFI 1.1 compressed data: a block of 0 symbols; as Tiano compressed data: a block of 0"),
            std::string::npos)
      << Neither;
}

// The EFI 1.1 sections of two FSP images: where each section header sits,
// its stated size, and the PE32 section body UEFIExtract decoded from it
// (size and CRC-32).
struct RealSection {
  const char *Image;
  size_t Offset;
  uint32_t OriginalSize;
  uint32_t PeSize;
  uint32_t PeCrc;
};

constexpr RealSection RealSections[] = {
    {"Braswell-Fsp.fd", 0x25C98, 5350, 5312, 0x2307E6FE},  {"Kabylake-Fsp.fd", 0x2010, 20262, 20224, 0x326775C4},
    {"Kabylake-Fsp.fd", 0x4FD8, 1998, 1920, 0xBB1BBA87},   {"Kabylake-Fsp.fd", 0x5470, 47908, 47840, 0x6FF32656},
    {"Kabylake-Fsp.fd", 0xC3D0, 10122, 10080, 0x154851D8}, {"Kabylake-Fsp.fd", 0xDD9C, 145638, 145600, 0xCDEB2536},
    {"Kabylake-Fsp.fd", 0x21B10, 1386, 1344, 0x2D819EF6},  {"Kabylake-Fsp.fd", 0x21E48, 4846, 4800, 0xC0C86AB7},
    {"Kabylake-Fsp.fd", 0x22A90, 7754, 7712, 0x3CBD550C},  {"Kabylake-Fsp.fd", 0x23E70, 1822, 1760, 0x4FDE771C},
};

// The stream of a compression section (header and stream), with its stated size checked.
Bytes RealStream(const RealSection &S, uint32_t &StatedSize) {
  const Bytes Image = ReadFile(std::string(FWIMAGE_SOURCE_DIR) + "/tests/real-images/" + S.Image);
  const size_t Size = ReadU24(Image, S.Offset);
  EXPECT_EQ(Image.at(S.Offset + ffs::SectionTypeOffset), ffs::SectionCompression);
  EXPECT_EQ(Image.at(S.Offset + CompressionTypeOffset), StandardCompression);
  StatedSize = ReadU32(Image, S.Offset + UncompressedLengthOffset);
  return {Image.begin() + static_cast<std::ptrdiff_t>(S.Offset + CompressionSectionHeaderSize),
          Image.begin() + static_cast<std::ptrdiff_t>(S.Offset + Size)};
}

TEST(FwImageEfiDecompress, DecodesRealFspSectionsAsUefiExtractDoes) {
  for (const RealSection &S : RealSections) {
    SCOPED_TRACE(std::string(S.Image) + " " + Hex(S.Offset));
    uint32_t StatedSize = 0;
    const Bytes Stream = RealStream(S, StatedSize);
    EXPECT_EQ(StatedSize, S.OriginalSize);
    const EfiDecoded Decoded = EfiDecompressEither(Stream, Limit);
    EXPECT_EQ(Decoded.Variant, EfiVariant::Efi11);
    ASSERT_EQ(Decoded.Data.size(), S.OriginalSize);
    // A PE32 section holding an "MZ" image comes first.
    EXPECT_EQ(Decoded.Data[ffs::SectionTypeOffset], 0x10);
    EXPECT_EQ(ReadU24(Decoded.Data, 0), S.PeSize + ffs::SectionHeaderSize);
    EXPECT_EQ(Decoded.Data[ffs::SectionHeaderSize], 'M');
    EXPECT_EQ(Decoded.Data[ffs::SectionHeaderSize + 1], 'Z');
    EXPECT_EQ(lzma_crc32(Decoded.Data.data() + ffs::SectionHeaderSize, S.PeSize, 0), S.PeCrc);
    // The 5-bit position count of Tiano misreads every one of them.
    EXPECT_NE(ReasonOf([&] { EfiDecompress(Stream, EfiVariant::Tiano, Limit); }).find("Tiano compressed data: "),
              std::string::npos);
    // Cut short, the stream runs out before the data does.
    Bytes Cut(Stream.begin(), Stream.end() - 16);
    WriteLe(Cut.data() + efi::CompressedSizeOffset, Cut.size() - efi::HeaderSize, sizeof(uint32_t));
    EXPECT_NE(ReasonOf([&] { EfiDecompress(Cut, EfiVariant::Efi11, Limit); }).find("runs past its compressed size"),
              std::string::npos);
  }
}

} // namespace

namespace {

Bytes ProjectFile(const char *Path) { return ReadFile(std::string(FWIMAGE_SOURCE_DIR) + "/" + Path); }

// Deterministic pseudo-random bytes (xorshift).
Bytes Noise(size_t Size, uint32_t Seed) {
  Bytes Out(Size);
  for (uint8_t &B : Out) {
    Seed ^= Seed << 13;
    Seed ^= Seed >> 17;
    Seed ^= Seed << 5;
    B = static_cast<uint8_t>(Seed);
  }
  return Out;
}

Bytes Text() {
  std::string Out;
  const char *Words[] = {"volume ", "section ", "firmware ", "compressed ", "the ", "of ", "a ", "header\n"};
  const Bytes Pick = Noise(4000, 3);
  for (const uint8_t P : Pick) {
    Out += Words[P % 8];
  }
  return {Out.begin(), Out.end()};
}

TEST(FwImageEfiCompress, RoundTripsVariedDataInBothVariants) {
  const std::vector<std::pair<std::string, Bytes>> Inputs = {
      {"empty", {}},
      {"one byte", {0x5A}},
      {"two bytes", {0, 0xFF}},
      {"1 MiB of zeros", Bytes(1 << 20, 0)},
      {"noise", Noise(100000, 1)},
      {"text", Text()},
      {"EfiCompress.cpp", ProjectFile("tools/fwimage/EfiCompress.cpp")},
  };
  std::map<std::string, size_t> Efi11Size;
  for (const auto &[Name, Data] : Inputs) {
    for (const EfiVariant Variant : {EfiVariant::Efi11, EfiVariant::Tiano}) {
      SCOPED_TRACE(Name + " as " + EfiVariantName(Variant));
      const Bytes Stream = EfiCompress(Data, Variant);
      if (Variant == EfiVariant::Efi11) {
        Efi11Size[Name] = Stream.size();
      }
      const EfiHeader Header = ReadEfiHeader(Stream);
      EXPECT_EQ(Header.OriginalSize, Data.size());
      EXPECT_EQ(Header.CompressedSize, Stream.size() - efi::HeaderSize);
      EXPECT_EQ(EfiDecompress(Stream, Variant, Limit), Data);
    }
  }
  // Sizes any LZ77 + Huffman coder must reach: runs cost next to nothing,
  // noise costs little more than itself.
  EXPECT_LT(Efi11Size["1 MiB of zeros"], 4200u);
  EXPECT_LT(Efi11Size["noise"], 100000u * 101 / 100);
}

// Fibonacci weights make the deepest optimal code: 25 symbols, 24 levels.
// Limited to 16 bits, the lengths still fill the code space exactly (the
// decoder takes nothing else), and the most frequent symbols stay shortest.
TEST(FwImageEfiCompress, LimitsCodeLengthsTo16Bits) {
  std::vector<uint32_t> Freq = {0};
  for (uint32_t A = 1, B = 1; Freq.size() < 26; B += A, A = B - A) {
    Freq.push_back(A);
  }
  const std::vector<uint8_t> Lengths = efi::LimitedCodeLengths(Freq);
  ASSERT_EQ(Lengths.size(), Freq.size());
  EXPECT_EQ(Lengths[0], 0);
  uint32_t Space = 0;
  for (size_t S = 1; S < Freq.size(); ++S) {
    EXPECT_GE(Lengths[S], 1);
    EXPECT_LE(Lengths[S], 16);
    EXPECT_LE(Lengths[S], Lengths[S - 1] == 0 ? 16 : Lengths[S - 1]) << S;
    Space += 1U << (16 - Lengths[S]);
  }
  EXPECT_EQ(Space, 1U << 16);
  // Unlimited, the code needs no change: lengths 1, 2, ... below 16 levels.
  const std::vector<uint8_t> Shallow = efi::LimitedCodeLengths({1, 1, 2, 4, 8});
  EXPECT_EQ(Shallow, (std::vector<uint8_t>{4, 4, 3, 2, 1}));
}

// Noise repeated 64 KiB later: only Tiano's window reaches back that far.
TEST(FwImageEfiCompress, TianoReachesPastTheEfi11Window) {
  Bytes Data = Noise(0x10000, 9);
  Data.insert(Data.end(), Data.begin(), Data.end());
  const Bytes Efi11 = EfiCompress(Data, EfiVariant::Efi11);
  const Bytes Tiano = EfiCompress(Data, EfiVariant::Tiano);
  EXPECT_GT(Efi11.size(), Data.size() * 99 / 100);
  EXPECT_LT(Tiano.size(), Data.size() * 52 / 100);
  const EfiDecoded Decoded = EfiDecompressEither(Tiano, Limit);
  EXPECT_EQ(Decoded.Variant, EfiVariant::Tiano);
  EXPECT_EQ(Decoded.Data, Data);
  // The same noise within 8 KiB: both reach it.
  Bytes Near = Noise(0x1000, 9);
  Near.insert(Near.end(), Near.begin(), Near.end());
  EXPECT_LT(EfiCompress(Near, EfiVariant::Efi11).size(), Near.size() * 52 / 100);
}

// The FSP sections again: re-encoded, they decode back, about as small as
// the vendor's encoder made them.
TEST(FwImageEfiCompress, ReencodesRealSectionsNearTheirOriginalSize) {
  size_t Original = 0;
  size_t Ours = 0;
  for (const RealSection &S : RealSections) {
    SCOPED_TRACE(std::string(S.Image) + " " + Hex(S.Offset));
    uint32_t StatedSize = 0;
    const Bytes Stream = RealStream(S, StatedSize);
    const Bytes Data = EfiDecompress(Stream, EfiVariant::Efi11, Limit);
    const Bytes Again = EfiCompress(Data, EfiVariant::Efi11);
    EXPECT_EQ(EfiDecompress(Again, EfiVariant::Efi11, Limit), Data);
    Original += efi::HeaderSize + ReadEfiHeader(Stream).CompressedSize;
    Ours += Again.size();
  }
  EXPECT_LT(Ours, Original * 101 / 100);
}

} // namespace

namespace {

// x86 code stand-in: noise with a CALL (E8, 32-bit displacement) every 64
// bytes, the displacement small and positive.
Bytes WithCalls(size_t Size) {
  Bytes Out = Noise(Size, 13);
  for (size_t At = 0; At + 5 <= Size; At += 64) {
    Out[At] = 0xE8;
    WriteLe(&Out[At + 1], 0x1000 + At % 0x300, sizeof(uint32_t));
  }
  return Out;
}

// A header as firmware builds write it: lc 3, lp 0, pb 2, 16 MiB dictionary.
Bytes FirmwareLzmaHeader() { return {0x5D, 0x00, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}; }

TEST(FwImageLzmaX86, RoundTripsThroughTheBranchConverter) {
  for (const Bytes &Data : {Bytes{}, Bytes{0xE8}, WithCalls(0x11000), ProjectFile("tools/fwimage/Lzma.cpp")}) {
    const Bytes Stream = LzmaX86EncodeLike(Data, FirmwareLzmaHeader(), 6);
    EXPECT_EQ(Stream[0], 0x5D);
    EXPECT_LE(ReadU32(Stream, 1), 1U << 24);
    EXPECT_EQ(LzmaStatedSize(Stream), Data.size());
    EXPECT_EQ(LzmaX86Decode(Stream, Limit), Data);
  }
}

// Without the converter's second pass, a call at offset A with displacement
// D reads as the absolute target A + 5 + D.
TEST(FwImageLzmaX86, StoresCallsAsAbsoluteTargets) {
  const Bytes Data = WithCalls(0x1000);
  const Bytes Converted = LzmaDecode(LzmaX86EncodeLike(Data, FirmwareLzmaHeader(), 6), Limit);
  ASSERT_EQ(Converted.size(), Data.size());
  for (const size_t At : {size_t{0}, size_t{0x40}, size_t{0x800}, size_t{0xFC0}}) {
    EXPECT_EQ(ReadU32(Converted, At + 1), At + 5 + 0x1000 + At % 0x300) << Hex(At);
  }
  // And the plain coder's stream read through the converter turns the
  // displacements the other way.
  const Bytes Back = LzmaX86Decode(LzmaEncodeLike(Converted, FirmwareLzmaHeader(), 6), Limit);
  EXPECT_EQ(Back, Data);
}

TEST(FwImageLzmaX86, RefusesStreamsThatDoNotDecodeToTheirSize) {
  const Bytes Stream = LzmaX86EncodeLike(WithCalls(0x4000), FirmwareLzmaHeader(), 6);
  const auto Refused = [](const Bytes &In, const char *Reason) {
    const std::string Got = ReasonOf([&] { LzmaX86Decode(In, Limit); });
    EXPECT_NE(Got.find(Reason), std::string::npos) << Got;
  };
  Refused(Bytes(Stream.begin(), Stream.begin() + 12), "shorter than its 13-byte header");
  Bytes Big = Stream;
  WriteLe(&Big[lzma::SizeFieldOffset], Limit + 1, sizeof(uint64_t));
  Refused(Big, "above the 0x4000000-byte limit");
  Bytes Unknown = Stream;
  WriteLe(&Unknown[lzma::SizeFieldOffset], lzma::SizeUnknown, sizeof(uint64_t));
  Refused(Unknown, "states no uncompressed size");
  Refused(Bytes(Stream.begin(), Stream.end() - 8), "does not decode to its stated size");
  Bytes Longer = Stream;
  Longer.push_back(0);
  Refused(Longer, "left over");
  Bytes Shorter = Stream;
  WriteLe(&Shorter[lzma::SizeFieldOffset], 0x3FFF, sizeof(uint64_t));
  Refused(Shorter, "does not decode to its stated size 0x3FFF");
  // A dictionary of 4 GiB - 1 is never allocated for 16 KiB of data.
  Bytes HugeDictionary = Stream;
  std::fill_n(HugeDictionary.begin() + 1, sizeof(uint32_t), 0xFF);
  EXPECT_EQ(LzmaX86Decode(HugeDictionary, Limit), WithCalls(0x4000));
}

} // namespace

namespace {

// A .lzma stream as liblzma itself writes it for these lc/lp/pb and
// dictionary (an end marker after the data), with the real size in the
// header as firmware builds put it there.
Bytes LiblzmaStream(const Bytes &Data, uint32_t Lc, uint32_t Lp, uint32_t Pb, uint32_t Dictionary) {
  lzma_options_lzma Options{};
  EXPECT_FALSE(lzma_lzma_preset(&Options, 1));
  Options.lc = Lc;
  Options.lp = Lp;
  Options.pb = Pb;
  Options.dict_size = Dictionary;
  lzma_stream S = LZMA_STREAM_INIT;
  EXPECT_EQ(lzma_alone_encoder(&S, &Options), LZMA_OK);
  Bytes Out(Data.size() + Data.size() / 2 + 4096);
  S.next_in = Data.data();
  S.avail_in = Data.size();
  S.next_out = Out.data();
  S.avail_out = Out.size();
  EXPECT_EQ(lzma_code(&S, LZMA_FINISH), LZMA_STREAM_END);
  Out.resize(S.total_out);
  lzma_end(&S);
  WriteLe(&Out[lzma::SizeFieldOffset], Data.size(), sizeof(uint64_t));
  return Out;
}

// The properties byte: (pb * 5 + lp) * 9 + lc.
uint8_t PropertiesByte(uint32_t Lc, uint32_t Lp, uint32_t Pb) { return static_cast<uint8_t>((Pb * 5 + Lp) * 9 + Lc); }

uint32_t DictionaryOf(const Bytes &Stream) { return ReadU32(Stream, 1); }

// Text the literal coder's position and context bits change the coding of.
Bytes LiteralRich() {
  Bytes Data = Text();
  Data.resize(0xC00);
  const Bytes More = Noise(0x400, 7);
  Data.insert(Data.end(), More.begin(), More.end());
  return Data;
}

// OVMF's streams are all lc 3, lp 0, pb 2; other builds choose others, and
// liblzma takes any with lc + lp <= 4. Each decodes, and a re-encoding keeps
// them: the firmware's decoder was built for the original's.
TEST(FwImageLzma, EveryLcLpPbDecodesAndIsKeptByARecompression) {
  const Bytes Data = LiteralRich();
  for (uint32_t Lc = 0; Lc <= 4; ++Lc) {
    for (uint32_t Lp = 0; Lc + Lp <= 4 && Lp <= 2; ++Lp) {
      for (uint32_t Pb = 0; Pb <= 4; ++Pb) {
        SCOPED_TRACE("lc " + std::to_string(Lc) + " lp " + std::to_string(Lp) + " pb " + std::to_string(Pb));
        const Bytes Stream = LiblzmaStream(Data, Lc, Lp, Pb, 0x2000);
        ASSERT_EQ(Stream[0], PropertiesByte(Lc, Lp, Pb));
        EXPECT_EQ(LzmaDecode(Stream, Limit), Data);
        const Bytes Again = LzmaEncodeLike(Data, Stream, 0);
        EXPECT_EQ(Again[0], Stream[0]);
        EXPECT_EQ(LzmaDecode(Again, Limit), Data);
      }
    }
  }
  // lc + lp past 4, and a properties byte past pb 4, are no LZMA stream.
  for (const uint8_t Bad : {PropertiesByte(3, 2, 0), PropertiesByte(0, 0, 5)}) {
    Bytes Stream = LiblzmaStream(Data, 3, 0, 2, 0x2000);
    Stream[0] = Bad;
    EXPECT_NE(ReasonOf([&] { LzmaDecode(Stream, Limit); }).find("not ones a decoder takes"), std::string::npos)
        << Hex(Bad);
  }
}

// The recompressed stream's dictionary: the smallest power of two that holds
// the data, at least liblzma's 4 KiB, at most the original's.
TEST(FwImageLzma, RecompressionDictionaryHoldsTheDataWithinTheOriginals) {
  struct Case {
    size_t DataSize;
    uint32_t Original;
    uint32_t Written;
  };
  const Case Cases[] = {
      {0x10000, 1 << 24, 0x10000}, {0x10001, 1 << 24, 0x20000}, {0xFFFF, 1 << 24, 0x10000},
      {0x100, 1 << 24, 0x1000},    {0, 1 << 24, 0x1000},        {0x8000, 0x3000, 0x3000},
      {0x2000, 0x3000, 0x2000},    {0x2001, 0x3000, 0x3000},    {0x8000, 0, 0x1000},
      {0x8000, 0x1000, 0x1000},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(Hex(C.DataSize) + " bytes, original dictionary " + Hex(C.Original));
    const Bytes Data = Noise(C.DataSize, 11);
    Bytes Original = LiblzmaStream({1, 2, 3}, 3, 0, 2, 0x1000);
    WriteLe(&Original[1], C.Original, sizeof(uint32_t));
    const Bytes Stream = LzmaEncodeLike(Data, Original, 0);
    EXPECT_EQ(DictionaryOf(Stream), C.Written);
    EXPECT_EQ(LzmaDecode(Stream, Limit), Data);
  }
}

// Firmware decoders take the dictionary size as a bound on match distances
// only, and one below 4 KiB as 4 KiB: a stream whose matches reach back 4 KiB
// at most decodes under any header, a 4 GiB one included (nothing that large
// is allocated for it).
TEST(FwImageLzma, AnyDictionaryTheMatchesFitInDecodes) {
  const Bytes Data = LiteralRich();
  const Bytes Stream = LiblzmaStream(Data, 3, 0, 2, 0x1000);
  for (const uint32_t Dictionary : {0U, 1U, 0xFFFU, 0x1000U, 0x80000000U, 0xFFFFFFFFU}) {
    Bytes Changed = Stream;
    WriteLe(&Changed[1], Dictionary, sizeof(uint32_t));
    EXPECT_EQ(LzmaDecode(Changed, Limit), Data) << Hex(Dictionary);
  }
}

} // namespace

namespace {

// By hand, in an optimized build: decoding speed (MB/s of output) of the
// four FSP images, EFI 1.1 next to LZMA as firmware uses it. Not part of the
// suite: it measures, it does not judge.
//   FwImageTests --gtest_also_run_disabled_tests --gtest_filter='*DecodeSpeed*'
TEST(FwImageEfiCompress, DISABLED_DecodeSpeed) {
  Bytes Data;
  for (const char *Image : {"Braswell-Fsp.fd", "Kabylake-Fsp.fd", "PantherLake-Fsp.fd", "Whitley-Fsp.fd"}) {
    const Bytes File = ProjectFile((std::string("tests/real-images/") + Image).c_str());
    Data.insert(Data.end(), File.begin(), File.end());
  }
  const auto Time = [&](const char *Name, size_t StreamSize, const std::function<Bytes()> &Decode) {
    constexpr int Rounds = 5;
    // Processor time: the machine is shared, wall time would measure the others.
    const std::clock_t Start = std::clock();
    for (int I = 0; I < Rounds; ++I) {
      EXPECT_EQ(Decode().size(), Data.size());
    }
    const double Seconds = static_cast<double>(std::clock() - Start) / CLOCKS_PER_SEC;
    std::cout << Name << ": " << Data.size() << " bytes from " << StreamSize << ", "
              << static_cast<double>(Data.size()) * Rounds / Seconds / 1e6 << " MB/s\n";
  };
  const Bytes Efi11 = EfiCompress(Data, EfiVariant::Efi11);
  const Bytes Tiano = EfiCompress(Data, EfiVariant::Tiano);
  const Bytes Lzma = LzmaEncodeLike(Data, FirmwareLzmaHeader(), 6);
  Time("EFI 1.1", Efi11.size(), [&] { return EfiDecompress(Efi11, EfiVariant::Efi11, Limit); });
  Time("Tiano", Tiano.size(), [&] { return EfiDecompress(Tiano, EfiVariant::Tiano, Limit); });
  Time("LZMA (liblzma)", Lzma.size(), [&] { return LzmaDecode(Lzma, Limit); });
}

} // namespace
