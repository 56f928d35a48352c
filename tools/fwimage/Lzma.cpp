#include "Lzma.h"

#include <lzma.h>

#include <algorithm>
#include <string>

namespace fwimage {

namespace {

// Output grows in steps as the decoder produces it, so a hostile header
// cannot make us allocate its stated size up front.
constexpr size_t DecodeStep = 1 << 20;
// The decoder's own allocation is mostly the dictionary the header asks for.
constexpr uint64_t DecoderMemoryLimit = 256ULL << 20;

// The first property byte packs (pb * 5 + lp) * 9 + lc.
constexpr unsigned LcModulus = 9;
constexpr unsigned LpModulus = 5;
constexpr size_t DictionarySizeOffset = 1;

class LzmaStream {
public:
  LzmaStream() = default;
  LzmaStream(const LzmaStream &) = delete;
  LzmaStream &operator=(const LzmaStream &) = delete;
  ~LzmaStream() { lzma_end(&Stream); }
  lzma_stream Stream = LZMA_STREAM_INIT;
};

} // namespace

uint64_t LzmaStatedSize(ByteView Compressed) {
  if (Compressed.size() < lzma::HeaderSize) {
    throw Error("LZMA data shorter than its 13-byte header");
  }
  return ReadU64(Compressed, lzma::SizeFieldOffset);
}

Bytes LzmaDecode(ByteView Compressed, uint64_t MaxSize) {
  const uint64_t Stated = LzmaStatedSize(Compressed);
  if (Stated == lzma::SizeUnknown) {
    throw Error("LZMA header states no uncompressed size");
  }
  if (Stated > MaxSize) {
    throw Error("LZMA header states " + Hex(Stated) + " bytes, above the " + Hex(MaxSize) +
                "-byte limit for a firmware volume");
  }
  LzmaStream S;
  if (lzma_alone_decoder(&S.Stream, DecoderMemoryLimit) != LZMA_OK) {
    throw Error("LZMA decoder could not start");
  }
  Bytes Out;
  S.Stream.next_in = Compressed.data();
  S.Stream.avail_in = Compressed.size();
  for (;;) {
    if (S.Stream.avail_out == 0) {
      const size_t Done = Out.size();
      if (Done > Stated) {
        throw Error("LZMA stream does not decode to its stated size " + Hex(Stated) + " (it runs past it)");
      }
      // One byte of room past the stated size shows a stream that runs on.
      const size_t Grow = static_cast<size_t>(std::min<uint64_t>(DecodeStep, Stated + 1 - Done));
      Out.resize(Done + Grow);
      S.Stream.next_out = Out.data() + Done;
      S.Stream.avail_out = Grow;
    }
    const lzma_ret Ret = lzma_code(&S.Stream, LZMA_FINISH);
    if (Ret == LZMA_STREAM_END) {
      break;
    }
    if (Ret == LZMA_MEMLIMIT_ERROR || Ret == LZMA_MEM_ERROR) {
      throw Error("LZMA header asks for a dictionary above the decoder's memory limit");
    }
    if (Ret != LZMA_OK || S.Stream.total_out > Stated) {
      throw Error("LZMA stream does not decode to its stated size " + Hex(Stated) +
                  " (corrupt, cut short or running past it)");
    }
  }
  if (S.Stream.total_out != Stated) {
    throw Error("LZMA stream does not decode to its stated size " + Hex(Stated) + " (it gives " +
                Hex(S.Stream.total_out) + ")");
  }
  // Bytes after the end would mean the stated size cut the stream short.
  if (S.Stream.avail_in != 0) {
    throw Error("LZMA stream does not decode to its stated size " + Hex(Stated) + " (" +
                Hex(S.Stream.avail_in) + " bytes of it left over)");
  }
  Out.resize(static_cast<size_t>(Stated));
  return Out;
}

Bytes LzmaEncodeLike(ByteView Data, ByteView OriginalHeader, uint32_t Preset) {
  if (OriginalHeader.size() < lzma::HeaderSize) {
    throw Error("LZMA data shorter than its 13-byte header");
  }
  lzma_options_lzma Options{};
  if (lzma_lzma_preset(&Options, Preset)) {
    throw Error("unsupported LZMA preset " + std::to_string(Preset));
  }
  const unsigned Packed = OriginalHeader[0];
  Options.lc = Packed % LcModulus;
  Options.lp = (Packed / LcModulus) % LpModulus;
  Options.pb = Packed / (LcModulus * LpModulus);
  // A dictionary larger than the data buys nothing and costs the encoder about
  // ten times its size in memory; a decoder sized for the original accepts
  // any smaller one. OVMF's 16 MiB stays 16 MiB for its 12.8 MiB stream.
  const uint32_t Original = std::max<uint32_t>(ReadU32(OriginalHeader, DictionarySizeOffset), LZMA_DICT_SIZE_MIN);
  uint32_t Dictionary = LZMA_DICT_SIZE_MIN;
  while (Dictionary < Data.size() && Dictionary < Original) {
    Dictionary *= 2;
  }
  Options.dict_size = std::min(Dictionary, Original);

  LzmaStream S;
  if (lzma_alone_encoder(&S.Stream, &Options) != LZMA_OK) {
    throw Error("LZMA encoder refuses the original header's properties (lc/lp/pb " +
                std::to_string(Options.lc) + "/" + std::to_string(Options.lp) + "/" +
                std::to_string(Options.pb) + ", dictionary " + Hex(Options.dict_size) + ")");
  }
  Bytes Out(Data.size() / 2 + DecodeStep);
  S.Stream.next_in = Data.data();
  S.Stream.avail_in = Data.size();
  S.Stream.next_out = Out.data();
  S.Stream.avail_out = Out.size();
  for (;;) {
    const lzma_ret Ret = lzma_code(&S.Stream, LZMA_FINISH);
    if (Ret == LZMA_STREAM_END) {
      break;
    }
    if (Ret != LZMA_OK) {
      throw Error("LZMA encoder failed (liblzma status " + std::to_string(static_cast<int>(Ret)) + ")");
    }
    if (S.Stream.avail_out == 0) {
      const size_t Done = Out.size();
      Out.resize(Done + Done / 2);
      S.Stream.next_out = Out.data() + Done;
      S.Stream.avail_out = Out.size() - Done;
    }
  }
  Out.resize(static_cast<size_t>(S.Stream.total_out));
  // The encoder writes "size unknown"; firmware decoders need the real size.
  WriteLe(Out.data() + lzma::SizeFieldOffset, Data.size(), sizeof(uint64_t));
  return Out;
}

} // namespace fwimage
