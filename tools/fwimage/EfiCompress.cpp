#include "EfiCompress.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace fwimage {

namespace {

// The char/length ("C") set: the 256 byte values, then match lengths
// MinMatch..MaxMatch.
constexpr unsigned ByteValues = 256;
constexpr unsigned MinMatch = 3;
constexpr unsigned MaxMatch = 256;
constexpr unsigned CSymbols = ByteValues + MaxMatch - MinMatch + 1;
constexpr unsigned CCountBits = 9;
constexpr unsigned CFastBits = 12;

// The extra ("T") set codes the C code lengths: a run of unused symbols
// (one; 3..18 with 4 more bits; 20..531 with 9 more bits), or a length 1..16.
constexpr unsigned TSymbols = 19;
constexpr unsigned TCountBits = 5;
constexpr unsigned TOneUnused = 0;
constexpr unsigned TShortRun = 1;
constexpr unsigned TLongRun = 2;
constexpr unsigned TLengthBase = 2; // symbol = length + 2
constexpr unsigned ShortRunBits = 4;
constexpr unsigned ShortRunMin = 3;
constexpr unsigned LongRunBits = 9;
constexpr unsigned LongRunMin = 20;
// After the third T length, 2 bits count the lengths after it that are 0.
constexpr unsigned TZeroSkipAt = 3;
constexpr unsigned TZeroSkipBits = 2;

// T and position ("P") code lengths: 3 bits for 0..6; from 7 on, "111"
// then a 1 bit for each length above 7 and a closing 0.
constexpr unsigned PtLengthBits = 3;
constexpr unsigned PtLengthEscape = 7;
constexpr unsigned PtFastBits = 8;
constexpr unsigned NoZeroSkip = ~0U;

constexpr unsigned MaxCodeLength = 16;
constexpr unsigned BlockSizeBits = 16;

// Position symbol s codes the distance-1 value 0 (s = 0), 1 (s = 1), or
// 2^(s-1) plus s-1 more bits.
struct VariantParams {
  unsigned WindowBits;
  unsigned PCountBits;
};

constexpr VariantParams ParamsOf(EfiVariant Variant) {
  return Variant == EfiVariant::Tiano ? VariantParams{19, 5} : VariantParams{13, 4};
}

// The decoder takes every position symbol the count field can name, as the
// firmware's decoders do; a match beyond the data so far is refused anyway.
constexpr unsigned PSymbolsAccepted(const VariantParams &P) { return (1U << P.PCountBits) - 1; }
constexpr unsigned PtSymbolsMax = std::max(TSymbols, PSymbolsAccepted(ParamsOf(EfiVariant::Tiano)));

// Grows the output in steps, so a header stating a large size over a short
// stream allocates in step with what the stream really produces.
constexpr size_t OutputStep = 1 << 20;

// -- Decoder ------------------------------------------------------------------

class BitReader {
public:
  explicit BitReader(ByteView In) : In(In), LimitBits(static_cast<uint64_t>(In.size()) * 8) {}

  // N in 1..32. Past the end the stream reads as zeros; consuming them fails.
  uint32_t Peek(unsigned N) {
    if (Avail < N) {
      Refill();
    }
    return static_cast<uint32_t>(Buffer >> (64 - N));
  }

  void Skip(unsigned N) {
    Buffer <<= N;
    Avail -= N;
    Used += N;
    if (Used > LimitBits) {
      throw Error("the stream runs past its compressed size");
    }
  }

  uint32_t Get(unsigned N) {
    if (N == 0) {
      return 0;
    }
    const uint32_t Value = Peek(N);
    Skip(N);
    return Value;
  }

private:
  void Refill() {
    while (Avail <= 56) {
      const uint64_t Byte = Next < In.size() ? In[Next] : 0;
      ++Next;
      Buffer |= Byte << (56 - Avail);
      Avail += 8;
    }
  }

  ByteView In;
  uint64_t LimitBits;
  uint64_t Used = 0;
  size_t Next = 0;
  uint64_t Buffer = 0; // unread bits at the top
  unsigned Avail = 0;
};

// A canonical prefix code: shorter codes first, equal lengths in symbol
// order. Codes up to FastBits long decode with one table look-up.
class HuffmanDecoder {
public:
  explicit HuffmanDecoder(unsigned FastBits) : FastBits(FastBits), Fast(size_t{1} << FastBits) {}

  // A block whose set holds one symbol codes it with zero bits.
  void SetSingle(unsigned Symbol) {
    Kind = KindSingle;
    SingleSymbol = Symbol;
  }

  void Build(const uint8_t *Lengths, unsigned Symbols, const char *What) {
    LengthCount.fill(0);
    for (unsigned S = 0; S < Symbols; ++S) {
      ++LengthCount[Lengths[S]];
    }
    uint32_t Space = 0;
    for (unsigned L = 1; L <= MaxCodeLength; ++L) {
      Space += static_cast<uint32_t>(LengthCount[L]) << (MaxCodeLength - L);
    }
    // No codes at all: the firmware's decoders accept a table the block
    // never uses (a block without matches, say); using it is refused.
    if (Space == 0) {
      Kind = KindEmpty;
      return;
    }
    if (Space != 1U << MaxCodeLength) {
      throw Error(std::string(What) + " code lengths do not form a complete prefix code");
    }
    Kind = KindTable;
    std::array<uint16_t, MaxCodeLength + 2> Offset{};
    for (unsigned L = 1; L <= MaxCodeLength; ++L) {
      Offset[L + 1] = static_cast<uint16_t>(Offset[L] + LengthCount[L]);
    }
    Sorted.resize(Offset[MaxCodeLength + 1]);
    for (unsigned S = 0; S < Symbols; ++S) {
      if (Lengths[S] != 0) {
        Sorted[Offset[Lengths[S]]++] = static_cast<uint16_t>(S);
      }
    }
    std::fill(Fast.begin(), Fast.end(), 0);
    uint32_t Code = 0;
    size_t Index = 0;
    for (unsigned L = 1; L <= FastBits; ++L) {
      for (unsigned I = 0; I < LengthCount[L]; ++I, ++Code, ++Index) {
        const size_t First = static_cast<size_t>(Code) << (FastBits - L);
        std::fill_n(Fast.begin() + static_cast<std::ptrdiff_t>(First), size_t{1} << (FastBits - L),
                    static_cast<uint16_t>(Sorted[Index] << LengthShift | L));
      }
      Code <<= 1;
    }
  }

  unsigned Decode(BitReader &Bits) const {
    if (Kind == KindSingle) {
      return SingleSymbol;
    }
    if (Kind == KindEmpty) {
      throw Error("a block codes a symbol with a table that has no codes");
    }
    const uint16_t Entry = Fast[Bits.Peek(FastBits)];
    if (Entry != 0) {
      Bits.Skip(Entry & LengthMask);
      return Entry >> LengthShift;
    }
    return DecodeLong(Bits);
  }

private:
  static constexpr unsigned LengthShift = 5;
  static constexpr uint16_t LengthMask = (1U << LengthShift) - 1;
  enum KindType { KindEmpty, KindSingle, KindTable };

  // Walks the lengths one bit at a time: only codes longer than FastBits.
  unsigned DecodeLong(BitReader &Bits) const {
    const uint32_t Window = Bits.Peek(MaxCodeLength);
    uint32_t Code = 0;
    uint32_t First = 0;
    size_t Index = 0;
    for (unsigned L = 1; L <= MaxCodeLength; ++L) {
      Code |= (Window >> (MaxCodeLength - L)) & 1;
      if (Code - First < LengthCount[L]) {
        Bits.Skip(L);
        return Sorted[Index + (Code - First)];
      }
      Index += LengthCount[L];
      First = (First + LengthCount[L]) << 1;
      Code <<= 1;
    }
    throw Error("a code matches no symbol"); // a complete code always matches
  }

  unsigned FastBits;
  std::vector<uint16_t> Fast; // symbol << LengthShift | length; 0 for longer codes
  std::array<uint16_t, MaxCodeLength + 1> LengthCount{};
  std::vector<uint16_t> Sorted; // by length, then symbol
  KindType Kind = KindEmpty;
  unsigned SingleSymbol = 0;
};

class Decoder {
public:
  Decoder(ByteView Stream, EfiVariant Variant, uint32_t OriginalSize)
      : Bits(Stream), Params(ParamsOf(Variant)), OriginalSize(OriginalSize) {}

  Bytes Run() {
    Bytes Out;
    size_t Done = 0;
    while (Done < OriginalSize) {
      if (BlockLeft == 0) {
        ReadBlockHeader();
      }
      --BlockLeft;
      const unsigned Symbol = C.Decode(Bits);
      if (Symbol < ByteValues) {
        Reserve(Out, Done, 1);
        Out[Done++] = static_cast<uint8_t>(Symbol);
        continue;
      }
      const size_t Length = Symbol - ByteValues + MinMatch;
      const size_t Distance = static_cast<size_t>(ReadPosition()) + 1;
      if (Distance > Done) {
        throw Error("a match at offset " + Hex(Done) + " reaches " + Hex(Distance) +
                    " bytes back, before the start of the data");
      }
      if (Length > OriginalSize - Done) {
        throw Error("a match at offset " + Hex(Done) + " runs past the original size " + Hex(OriginalSize));
      }
      Reserve(Out, Done, Length);
      uint8_t *To = Out.data() + Done;
      const uint8_t *From = To - Distance;
      if (Distance >= Length) {
        std::memcpy(To, From, Length);
      } else {
        for (size_t I = 0; I < Length; ++I) { // the match repeats its own output
          To[I] = From[I];
        }
      }
      Done += Length;
    }
    return Out;
  }

private:
  void Reserve(Bytes &Out, size_t Done, size_t Need) const {
    if (Out.size() - Done < Need) {
      Out.resize(std::min<size_t>(OriginalSize, std::max(Done + Need, Out.size() + OutputStep)));
    }
  }

  void ReadBlockHeader() {
    BlockLeft = Bits.Get(BlockSizeBits);
    if (BlockLeft == 0) {
      throw Error("a block of 0 symbols");
    }
    ReadPtLengths(T, TSymbols, TCountBits, TZeroSkipAt, "extra-set");
    ReadCLengths();
    ReadPtLengths(P, PSymbolsAccepted(Params), Params.PCountBits, NoZeroSkip, "position");
  }

  // A count of 0 means one symbol, named in the next field, coded with zero bits.
  bool ReadSingle(HuffmanDecoder &Table, unsigned Symbols, unsigned CountBits, const char *What) {
    const unsigned Count = Bits.Get(CountBits);
    if (Count != 0) {
      if (Count > Symbols) {
        throw Error(std::string(What) + " table counts " + std::to_string(Count) + " symbols, above its " +
                    std::to_string(Symbols));
      }
      TableCount = Count;
      return false;
    }
    const unsigned Symbol = Bits.Get(CountBits);
    if (Symbol >= Symbols) {
      throw Error(std::string(What) + " table's only symbol " + std::to_string(Symbol) + " is above its " +
                  std::to_string(Symbols - 1));
    }
    Table.SetSingle(Symbol);
    return true;
  }

  void ReadPtLengths(HuffmanDecoder &Table, unsigned Symbols, unsigned CountBits, unsigned ZeroSkipAt,
                     const char *What) {
    if (ReadSingle(Table, Symbols, CountBits, What)) {
      return;
    }
    std::array<uint8_t, PtSymbolsMax> Lengths{};
    unsigned I = 0;
    while (I < TableCount) {
      unsigned Length = Bits.Get(PtLengthBits);
      if (Length == PtLengthEscape) {
        while (Bits.Get(1) != 0) {
          if (++Length > MaxCodeLength) {
            throw Error(std::string(What) + " code length above " + std::to_string(MaxCodeLength));
          }
        }
      }
      Lengths[I++] = static_cast<uint8_t>(Length);
      if (I == ZeroSkipAt) {
        I = std::min(I + Bits.Get(TZeroSkipBits), Symbols);
      }
    }
    Table.Build(Lengths.data(), Symbols, What);
  }

  void ReadCLengths() {
    if (ReadSingle(C, CSymbols, CCountBits, "char/length")) {
      return;
    }
    std::array<uint8_t, CSymbols> Lengths{};
    unsigned I = 0;
    while (I < TableCount) {
      const unsigned Symbol = T.Decode(Bits);
      if (Symbol > TLengthBase) {
        Lengths[I++] = static_cast<uint8_t>(Symbol - TLengthBase);
        continue;
      }
      const unsigned Run = Symbol == TOneUnused ? 1
                           : Symbol == TShortRun ? Bits.Get(ShortRunBits) + ShortRunMin
                                                 : Bits.Get(LongRunBits) + LongRunMin;
      if (Run > TableCount - I) {
        throw Error("char/length table's run of " + std::to_string(Run) + " unused symbols passes its count " +
                    std::to_string(TableCount));
      }
      I += Run;
    }
    C.Build(Lengths.data(), CSymbols, "char/length");
  }

  uint32_t ReadPosition() {
    const unsigned Symbol = P.Decode(Bits);
    return Symbol <= 1 ? Symbol : (1U << (Symbol - 1)) + Bits.Get(Symbol - 1);
  }

  BitReader Bits;
  VariantParams Params;
  uint32_t OriginalSize;
  unsigned BlockLeft = 0;
  unsigned TableCount = 0;
  HuffmanDecoder T{PtFastBits};
  HuffmanDecoder C{CFastBits};
  HuffmanDecoder P{PtFastBits};
};

// The header's sizes against the input and the caller's bound: the checks
// both variants share.
EfiHeader CheckedHeader(ByteView Compressed, uint64_t MaxSize) {
  const EfiHeader Header = ReadEfiHeader(Compressed);
  if (Header.OriginalSize > MaxSize) {
    throw Error("EFI compressed data states " + Hex(Header.OriginalSize) + " bytes, above the " + Hex(MaxSize) +
                "-byte limit");
  }
  if (Header.CompressedSize > Compressed.size() - efi::HeaderSize) {
    throw Error("EFI compressed data states a " + Hex(Header.CompressedSize) + "-byte stream, only " +
                Hex(Compressed.size() - efi::HeaderSize) + " bytes follow its header");
  }
  return Header;
}

Bytes DecodeStream(ByteView Compressed, const EfiHeader &Header, EfiVariant Variant) {
  try {
    return Decoder(Compressed.subspan(efi::HeaderSize, Header.CompressedSize), Variant, Header.OriginalSize).Run();
  } catch (const Error &E) {
    throw Error(std::string(EfiVariantName(Variant)) + " compressed data: " + E.what());
  }
}

} // namespace

const char *EfiVariantName(EfiVariant Variant) { return Variant == EfiVariant::Tiano ? "Tiano" : "EFI 1.1"; }

EfiHeader ReadEfiHeader(ByteView Compressed) {
  if (Compressed.size() < efi::HeaderSize) {
    throw Error("EFI compressed data shorter than its 8-byte header");
  }
  return {ReadU32(Compressed, efi::CompressedSizeOffset), ReadU32(Compressed, efi::OriginalSizeOffset)};
}

Bytes EfiDecompress(ByteView Compressed, EfiVariant Variant, uint64_t MaxSize) {
  return DecodeStream(Compressed, CheckedHeader(Compressed, MaxSize), Variant);
}

EfiDecoded EfiDecompressEither(ByteView Compressed, uint64_t MaxSize) {
  const EfiHeader Header = CheckedHeader(Compressed, MaxSize);
  std::string Efi11Reason;
  try {
    return {DecodeStream(Compressed, Header, EfiVariant::Efi11), EfiVariant::Efi11};
  } catch (const Error &E) {
    Efi11Reason = E.what();
  }
  try {
    return {DecodeStream(Compressed, Header, EfiVariant::Tiano), EfiVariant::Tiano};
  } catch (const Error &E) {
    throw Error(Efi11Reason + "; as " + E.what());
  }
}

} // namespace fwimage
