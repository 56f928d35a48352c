#include "EfiCompress.h"

#include <algorithm>
#include <array>
#include <bit>
#include <functional>
#include <memory>
#include <queue>
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
// Per-length counts and offsets, indexed by length (0 for unused symbols).
constexpr unsigned LengthSlots = MaxCodeLength + 1;
using LengthCounts = std::array<uint32_t, LengthSlots>;
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

// Count copies of Value from At on: one store, then the run doubled by
// memcpy. An instrumented build (the fuzz targets, the sanitizer suites)
// traces a compare for every turn of a loop: filled entry by entry, the
// look-up tables were most of a short stream's decoding time.
void FillEntries(uint16_t *At, size_t Count, uint16_t Value) {
  At[0] = Value;
  for (size_t Done = 1; Done < Count; Done *= 2) {
    std::memcpy(At + Done, At, std::min(Done, Count - Done) * sizeof(uint16_t));
  }
}

// A canonical prefix code: shorter codes first, equal lengths in symbol
// order. Codes up to FastBits long decode with one table look-up.
class HuffmanDecoder {
public:
  // The look-up table is filled by Build, before any Decode reads it.
  explicit HuffmanDecoder(unsigned FastBits)
      : FastBits(FastBits), Fast(std::make_unique_for_overwrite<uint16_t[]>(size_t{1} << FastBits)) {}

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
    LengthCounts Offset{}; // where each length's symbols start in Sorted
    for (unsigned L = 1; L < MaxCodeLength; ++L) {
      Offset[L + 1] = Offset[L] + LengthCount[L];
    }
    Sorted.resize(Offset[MaxCodeLength] + LengthCount[MaxCodeLength]);
    for (unsigned S = 0; S < Symbols; ++S) {
      if (Lengths[S] != 0) {
        Sorted[Offset[Lengths[S]]++] = static_cast<uint16_t>(S);
      }
    }
    std::memset(Fast.get(), 0, (size_t{1} << FastBits) * sizeof(uint16_t));
    uint32_t Code = 0;
    size_t Index = 0;
    for (unsigned L = 1; L <= FastBits; ++L) {
      for (unsigned I = 0; I < LengthCount[L]; ++I, ++Code, ++Index) {
        const size_t First = static_cast<size_t>(Code) << (FastBits - L);
        FillEntries(&Fast[First], size_t{1} << (FastBits - L),
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
  std::unique_ptr<uint16_t[]> Fast; // symbol << LengthShift | length; 0 for longer codes
  LengthCounts LengthCount{};
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
      unsigned Run = 1;
      if (Symbol == TShortRun) {
        Run = Bits.Get(ShortRunBits) + ShortRunMin;
      } else if (Symbol == TLongRun) {
        Run = Bits.Get(LongRunBits) + LongRunMin;
      }
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

// -- Encoder ------------------------------------------------------------------

class BitWriter {
public:
  void Put(unsigned Width, uint32_t Value) {
    Pending = Pending << Width | (Value & ((uint64_t{1} << Width) - 1));
    PendingBits += Width;
    while (PendingBits >= 8) {
      PendingBits -= 8;
      Out.push_back(static_cast<uint8_t>(Pending >> PendingBits));
    }
  }

  // Pads the last byte with zeros.
  Bytes Finish() {
    if (PendingBits != 0) {
      Put(8 - PendingBits, 0);
    }
    return std::move(Out);
  }

private:
  Bytes Out;
  uint64_t Pending = 0;
  unsigned PendingBits = 0;
};

// A canonical prefix code for one block's symbol frequencies. A set with
// fewer than two symbols in use is written as its one symbol, with no bits
// per use.
struct PrefixCode {
  std::vector<uint8_t> Lengths;
  std::vector<uint16_t> Codes;
  bool Single = false;
  unsigned SingleSymbol = 0;

  void Write(BitWriter &W, unsigned Symbol) const { W.Put(Lengths[Symbol], Codes[Symbol]); }

  // The table's count: symbols up to the last one in use.
  unsigned UsedPrefix() const {
    unsigned N = static_cast<unsigned>(Lengths.size());
    while (N > 0 && Lengths[N - 1] == 0) {
      --N;
    }
    return N;
  }
};

// Huffman code lengths, depth of each leaf, over the used symbols.
std::vector<unsigned> HuffmanDepths(const std::vector<uint32_t> &Weights) {
  const size_t N = Weights.size();
  std::vector<uint64_t> Weight(Weights.begin(), Weights.end());
  std::vector<size_t> Parent(2 * N - 1, 0);
  using Node = std::pair<uint64_t, size_t>;
  std::priority_queue<Node, std::vector<Node>, std::greater<>> Heap;
  for (size_t I = 0; I < N; ++I) {
    Heap.emplace(Weight[I], I);
  }
  while (Heap.size() > 1) {
    const Node A = Heap.top();
    Heap.pop();
    const Node B = Heap.top();
    Heap.pop();
    const size_t Joined = Weight.size();
    Weight.push_back(A.first + B.first);
    Parent[A.second] = Parent[B.second] = Joined;
    Heap.emplace(Weight.back(), Joined);
  }
  // Parents come after their children: depths fill from the root down.
  std::vector<unsigned> Depth(2 * N - 1, 0);
  for (size_t I = 2 * N - 1; I-- > 0;) {
    if (I != 2 * N - 2) {
      Depth[I] = Depth[Parent[I]] + 1;
    }
  }
  Depth.resize(N);
  return Depth;
}

PrefixCode BuildCode(const std::vector<uint32_t> &Freq) {
  PrefixCode Code;
  Code.Lengths = efi::LimitedCodeLengths(Freq);
  Code.Codes.assign(Freq.size(), 0);
  LengthCounts Count{};
  for (const uint8_t L : Code.Lengths) {
    ++Count[L];
  }
  if (Count[0] + 1 >= Freq.size()) {
    Code.Single = true;
    const auto Used = std::find_if(Freq.begin(), Freq.end(), [](uint32_t F) { return F != 0; });
    Code.SingleSymbol = Used == Freq.end() ? 0 : static_cast<unsigned>(Used - Freq.begin());
    return Code;
  }
  Count[0] = 0;
  LengthCounts First{};
  uint32_t Value = 0;
  for (unsigned L = 1; L <= MaxCodeLength; ++L) {
    Value = (Value + Count[L - 1]) << 1;
    First[L] = Value;
  }
  for (unsigned S = 0; S < Freq.size(); ++S) {
    if (Code.Lengths[S] != 0) {
      Code.Codes[S] = static_cast<uint16_t>(First[Code.Lengths[S]]++);
    }
  }
  return Code;
}

// The T and P tables: as their reader above takes them.
void WritePtCode(BitWriter &W, const PrefixCode &Code, unsigned CountBits, unsigned ZeroSkipAt) {
  if (Code.Single) {
    W.Put(CountBits, 0);
    W.Put(CountBits, Code.SingleSymbol);
    return;
  }
  const unsigned N = Code.UsedPrefix();
  W.Put(CountBits, N);
  unsigned I = 0;
  while (I < N) {
    const unsigned Length = Code.Lengths[I++];
    if (Length < PtLengthEscape) {
      W.Put(PtLengthBits, Length);
    } else {
      // "111", a 1 for each length above 7, a closing 0.
      const unsigned Width = Length - PtLengthEscape + PtLengthBits + 1;
      W.Put(Width, (1U << Width) - 2);
    }
    if (I == ZeroSkipAt) {
      unsigned Zeros = 0;
      while (Zeros < (1U << TZeroSkipBits) - 1 && I + Zeros < N && Code.Lengths[I + Zeros] == 0) {
        ++Zeros;
      }
      W.Put(TZeroSkipBits, Zeros);
      I += Zeros;
    }
  }
}

// The C code lengths as T symbols, each with its extra bits: what both the
// T frequencies and the written table come from.
template <typename Emit> void ForEachCLengthSymbol(const PrefixCode &C, Emit Out) {
  const unsigned N = C.UsedPrefix();
  unsigned I = 0;
  while (I < N) {
    const unsigned Length = C.Lengths[I];
    if (Length != 0) {
      Out(Length + TLengthBase, 0, 0);
      ++I;
      continue;
    }
    unsigned Run = 0;
    while (I + Run < N && C.Lengths[I + Run] == 0) {
      ++Run;
    }
    I += Run;
    if (Run < ShortRunMin) {
      for (unsigned K = 0; K < Run; ++K) {
        Out(TOneUnused, 0, 0);
      }
    } else if (Run < ShortRunMin + (1U << ShortRunBits)) {
      Out(TShortRun, ShortRunBits, Run - ShortRunMin);
    } else if (Run < LongRunMin) {
      // 19: no run symbol holds it.
      Out(TOneUnused, 0, 0);
      Out(TShortRun, ShortRunBits, Run - 1 - ShortRunMin);
    } else {
      Out(TLongRun, LongRunBits, Run - LongRunMin);
    }
  }
}

// Tokens: a C symbol in the low bits, for a match the position (distance - 1) above it.
constexpr unsigned TokenPositionShift = 9;
constexpr uint32_t TokenSymbolMask = (1U << TokenPositionShift) - 1;

unsigned PositionSymbol(uint32_t Position) { return static_cast<unsigned>(std::bit_width(Position)); }

void WriteBlock(BitWriter &W, const std::vector<uint32_t> &Tokens, const VariantParams &Params) {
  std::vector<uint32_t> CFreq(CSymbols, 0);
  std::vector<uint32_t> PFreq(Params.WindowBits + 1, 0);
  for (const uint32_t Token : Tokens) {
    const unsigned Symbol = Token & TokenSymbolMask;
    ++CFreq[Symbol];
    if (Symbol >= ByteValues) {
      ++PFreq[PositionSymbol(Token >> TokenPositionShift)];
    }
  }
  const PrefixCode C = BuildCode(CFreq);
  const PrefixCode P = BuildCode(PFreq);
  W.Put(BlockSizeBits, static_cast<uint32_t>(Tokens.size()));
  if (C.Single) {
    // An extra set of one symbol, then a char/length set of one symbol.
    W.Put(TCountBits, 0);
    W.Put(TCountBits, 0);
    W.Put(CCountBits, 0);
    W.Put(CCountBits, C.SingleSymbol);
  } else {
    std::vector<uint32_t> TFreq(TSymbols, 0);
    ForEachCLengthSymbol(C, [&](unsigned Symbol, unsigned, unsigned) { ++TFreq[Symbol]; });
    const PrefixCode T = BuildCode(TFreq);
    WritePtCode(W, T, TCountBits, TZeroSkipAt);
    W.Put(CCountBits, C.UsedPrefix());
    ForEachCLengthSymbol(C, [&](unsigned Symbol, unsigned ExtraBits, unsigned Extra) {
      T.Write(W, Symbol);
      W.Put(ExtraBits, Extra);
    });
  }
  WritePtCode(W, P, Params.PCountBits, NoZeroSkip);
  for (const uint32_t Token : Tokens) {
    const unsigned Symbol = Token & TokenSymbolMask;
    C.Write(W, Symbol);
    if (Symbol >= ByteValues) {
      const uint32_t Position = Token >> TokenPositionShift;
      const unsigned PSymbol = PositionSymbol(Position);
      P.Write(W, PSymbol);
      if (PSymbol > 1) {
        W.Put(PSymbol - 1, Position - (1U << (PSymbol - 1)));
      }
    }
  }
}

struct Match {
  unsigned Length = 0;
  uint32_t Distance = 0;
};

// Hash chains over 3-byte prefixes, reaching back at most one window.
class MatchFinder {
public:
  // The chain links of the last window of positions, or of all of them when
  // the data is shorter.
  MatchFinder(ByteView Data, unsigned WindowBits)
      : Data(Data), Window(1U << WindowBits),
        Ring(static_cast<uint32_t>(std::min<size_t>(Window, std::bit_ceil(std::max<size_t>(Data.size(), 1))))),
        HashBits(std::clamp<unsigned>(static_cast<unsigned>(std::bit_width(Data.size())), MinHashBits, MaxHashBits)),
        Head(size_t{1} << HashBits, None), Prev(Ring, None) {}

  // The longest match for Pos, then Pos joins the chains.
  Match FindAndInsert(size_t Pos) {
    if (Data.size() - Pos < MinMatch) {
      return {};
    }
    const Match Best = Find(Pos);
    Insert(Pos);
    return Best.Length >= MinMatch ? Best : Match{};
  }

  void Insert(size_t Pos) {
    if (Data.size() - Pos >= MinMatch) {
      const uint32_t Hash = HashAt(Pos);
      Prev[Pos & (Ring - 1)] = Head[Hash];
      Head[Hash] = static_cast<uint32_t>(Pos);
    }
  }

private:
  // Buckets for about one position each, at most 32 Ki: a small section's
  // table is not a 128 KiB one to fill.
  static constexpr unsigned MinHashBits = 8;
  static constexpr unsigned MaxHashBits = 15;
  static constexpr unsigned MaxChain = 256;
  static constexpr uint32_t None = UINT32_MAX;

  Match Find(size_t Pos) const {
    Match Best;
    const size_t Limit = std::min<size_t>(MaxMatch, Data.size() - Pos);
    const uint32_t Hash = HashAt(Pos);
    uint32_t Candidate = Head[Hash];
    for (unsigned Chain = 0; Chain < MaxChain && Candidate != None; ++Chain) {
      const size_t From = Candidate;
      if (Pos - From > Window) {
        break;
      }
      if (Data[From + Best.Length] == Data[Pos + Best.Length]) {
        unsigned Length = 0;
        while (Length < Limit && Data[From + Length] == Data[Pos + Length]) {
          ++Length;
        }
        if (Length > Best.Length) {
          Best = {Length, static_cast<uint32_t>(Pos - From)};
          if (Length == Limit) {
            break;
          }
        }
      }
      Candidate = Prev[From & (Ring - 1)];
    }
    return Best;
  }

  uint32_t HashAt(size_t Pos) const {
    const uint32_t Three = static_cast<uint32_t>(Data[Pos]) << 16 | static_cast<uint32_t>(Data[Pos + 1]) << 8 |
                           Data[Pos + 2];
    return (Three * 2654435761U) >> (32 - HashBits);
  }

  ByteView Data;
  uint32_t Window;
  uint32_t Ring;
  unsigned HashBits;
  std::vector<uint32_t> Head;
  std::vector<uint32_t> Prev;
};

// Symbols per block: the tables are written again for each.
constexpr size_t BlockSymbols = 0x4000;

class Encoder {
public:
  Encoder(ByteView Data, EfiVariant Variant) : Data(Data), Params(ParamsOf(Variant)), Finder(Data, Params.WindowBits) {}

  Bytes Run() {
    // Lazy matching: a match is taken unless the next byte starts a longer one.
    size_t Pos = 0;
    Match Current = Data.empty() ? Match{} : Finder.FindAndInsert(0);
    while (Pos < Data.size()) {
      if (Current.Length == 0) {
        Literal(Pos++);
        Current = Pos < Data.size() ? Finder.FindAndInsert(Pos) : Match{};
        continue;
      }
      const Match Next = Pos + 1 < Data.size() ? Finder.FindAndInsert(Pos + 1) : Match{};
      if (Next.Length > Current.Length) {
        Literal(Pos++);
        Current = Next;
        continue;
      }
      Emit(static_cast<uint32_t>(Current.Length - MinMatch + ByteValues) |
           (Current.Distance - 1) << TokenPositionShift);
      for (size_t Skipped = Pos + 2; Skipped < Pos + Current.Length; ++Skipped) {
        Finder.Insert(Skipped);
      }
      Pos += Current.Length;
      Current = Pos < Data.size() ? Finder.FindAndInsert(Pos) : Match{};
    }
    if (!Tokens.empty()) {
      WriteBlock(Writer, Tokens, Params);
    }
    return Writer.Finish();
  }

private:
  void Literal(size_t Pos) { Emit(Data[Pos]); }

  void Emit(uint32_t Token) {
    Tokens.push_back(Token);
    if (Tokens.size() == BlockSymbols) {
      WriteBlock(Writer, Tokens, Params);
      Tokens.clear();
    }
  }

  ByteView Data;
  VariantParams Params;
  MatchFinder Finder;
  BitWriter Writer;
  std::vector<uint32_t> Tokens;
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

std::vector<uint8_t> efi::LimitedCodeLengths(const std::vector<uint32_t> &Freq) {
  std::vector<uint8_t> Lengths(Freq.size(), 0);
  std::vector<unsigned> Used;
  std::vector<uint32_t> Weights;
  for (unsigned S = 0; S < Freq.size(); ++S) {
    if (Freq[S] != 0) {
      Used.push_back(S);
      Weights.push_back(Freq[S]);
    }
  }
  if (Used.size() < 2) {
    return Lengths;
  }
  // Depths past the longest length go to it; then codes move down a level,
  // one unit of code space at a time, until the lengths fill it exactly.
  LengthCounts Count{};
  for (const unsigned D : HuffmanDepths(Weights)) {
    ++Count[std::min(D, MaxCodeLength)];
  }
  uint32_t Space = 0;
  for (unsigned L = 1; L <= MaxCodeLength; ++L) {
    Space += Count[L] << (MaxCodeLength - L);
  }
  for (; Space > 1U << MaxCodeLength; --Space) {
    --Count[MaxCodeLength];
    for (unsigned L = MaxCodeLength - 1; L > 0; --L) {
      if (Count[L] != 0) {
        --Count[L];
        Count[L + 1] += 2;
        break;
      }
    }
  }
  // The most frequent symbols take the shortest lengths.
  std::stable_sort(Used.begin(), Used.end(), [&](unsigned A, unsigned B) { return Freq[A] > Freq[B]; });
  size_t Next = 0;
  for (unsigned L = 1; L <= MaxCodeLength; ++L) {
    for (uint32_t I = 0; I < Count[L]; ++I) {
      Lengths[Used[Next++]] = static_cast<uint8_t>(L);
    }
  }
  return Lengths;
}

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

Bytes EfiCompress(ByteView Data, EfiVariant Variant) {
  if (Data.size() > UINT32_MAX) {
    throw Error("data of " + Hex(Data.size()) + " bytes is above what EFI compression's 32-bit size holds");
  }
  const Bytes Stream = Encoder(Data, Variant).Run();
  if (Stream.size() > UINT32_MAX) {
    throw Error("EFI compressed stream of " + Hex(Stream.size()) + " bytes is above its 32-bit size field");
  }
  Bytes Out;
  Out.reserve(efi::HeaderSize + Stream.size());
  AppendLe(Out, Stream.size(), sizeof(uint32_t));
  AppendLe(Out, Data.size(), sizeof(uint32_t));
  Out.insert(Out.end(), Stream.begin(), Stream.end());
  return Out;
}

} // namespace fwimage
