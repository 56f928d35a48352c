#include "Lzma.h"

#include <lzma.h>

#include "Codec.h"

#include <algorithm>
#include <array>
#include <string>

namespace fwimage {

namespace {

// Output grows in steps as the decoder produces it, so a hostile header
// cannot make us allocate its stated size up front. Room for the stated size
// is kept from the start up to this many times the stream (firmware volumes
// decode to 3-5 times theirs): a 13 MiB volume is then one allocation, not
// five, each new one copied into and faulted in again.
constexpr size_t DecodeStep = 1 << 20;
constexpr size_t DecodeReserveRatio = 16;
// The encoder's output starts at half the data and this much more (LZMA
// halves firmware volumes at least), and grows by half when it fills: a
// small volume's recompression does not clear a megabyte first.
constexpr size_t EncodeSlack = 4 << 10;

// The first property byte packs (pb * 5 + lp) * 9 + lc.
constexpr unsigned LcModulus = 9;
constexpr unsigned LpModulus = 5;
constexpr size_t DictionarySizeOffset = 1;
constexpr uint32_t MaxPreset = 9;

class LzmaStream {
public:
  LzmaStream() = default;
  LzmaStream(const LzmaStream &) = delete;
  LzmaStream &operator=(const LzmaStream &) = delete;
  ~LzmaStream() { lzma_end(&Stream); }
  lzma_stream Stream = LZMA_STREAM_INIT;
};

// The stated size, refused when absent or above the caller's limit.
uint64_t CheckedStatedSize(ByteView Compressed, uint64_t MaxSize) {
  const uint64_t Stated = LzmaStatedSize(Compressed);
  if (Stated == lzma::SizeUnknown) {
    throw Error("LZMA header states no uncompressed size");
  }
  if (Stated > MaxSize) {
    throw Error("LZMA header states " + Hex(Stated) + " bytes, above the " + Hex(MaxSize) +
                "-byte limit for a firmware volume");
  }
  return Stated;
}

// lc/lp/pb and dictionary size as the header's 5 property bytes hold them.
lzma_options_lzma HeaderProperties(ByteView Header) {
  if (Header.size() < lzma::HeaderSize) {
    throw Error("LZMA data shorter than its 13-byte header");
  }
  lzma_options_lzma Options{};
  const unsigned Packed = Header[0];
  Options.lc = Packed % LcModulus;
  Options.lp = (Packed / LcModulus) % LpModulus;
  Options.pb = Packed / (LcModulus * LpModulus);
  Options.dict_size = ReadU32(Header, DictionarySizeOffset);
  return Options;
}

// Runs a started decoder over Input to exactly Stated bytes.
Bytes RunDecoder(LzmaStream &S, ByteView Input, uint64_t Stated) {
  Bytes Out;
  Out.reserve(static_cast<size_t>(std::min<uint64_t>(Stated + 1, uint64_t{Input.size()} * DecodeReserveRatio)));
  S.Stream.next_in = Input.data();
  S.Stream.avail_in = Input.size();
  for (;;) {
    if (S.Stream.avail_out == 0) {
      const size_t Done = Out.size();
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
    if (Ret == LZMA_MEM_ERROR) {
      throw Error("LZMA decoder ran out of memory");
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

// The original header's lc/lp/pb (the firmware's decoder was sized for
// them) with the preset's encoder settings.
lzma_options_lzma EncoderOptionsLike(ByteView OriginalHeader, uint32_t Preset, size_t DataSize) {
  const lzma_options_lzma Original = HeaderProperties(OriginalHeader);
  lzma_options_lzma Options{};
  if (Preset == StrongestPreset) {
    // liblzma's strongest: its highest level, searched exhaustively.
    Preset = MaxPreset | LZMA_PRESET_EXTREME;
  }
  if (lzma_lzma_preset(&Options, Preset)) {
    throw Error("unsupported LZMA preset " + std::to_string(Preset));
  }
  Options.lc = Original.lc;
  Options.lp = Original.lp;
  Options.pb = Original.pb;
  // A dictionary larger than the data buys nothing and costs the encoder about
  // ten times its size in memory; a decoder sized for the original accepts
  // any smaller one. OVMF's 16 MiB stays 16 MiB for its 12.8 MiB stream.
  const uint32_t Limit = std::max<uint32_t>(Original.dict_size, LZMA_DICT_SIZE_MIN);
  uint32_t Dictionary = LZMA_DICT_SIZE_MIN;
  while (Dictionary < DataSize && Dictionary < Limit) {
    Dictionary *= 2;
  }
  Options.dict_size = std::min(Dictionary, Limit);
  return Options;
}

std::string OptionsText(const lzma_options_lzma &Options) {
  return "lc/lp/pb " + std::to_string(Options.lc) + "/" + std::to_string(Options.lp) + "/" +
         std::to_string(Options.pb) + ", dictionary " + Hex(Options.dict_size);
}

// Runs a started encoder over Data, appending to Out.
Bytes RunEncoder(LzmaStream &S, ByteView Data, Bytes Out) {
  const size_t Start = Out.size();
  Out.resize(Start + Data.size() / 2 + EncodeSlack);
  S.Stream.next_in = Data.data();
  S.Stream.avail_in = Data.size();
  S.Stream.next_out = Out.data() + Start;
  S.Stream.avail_out = Out.size() - Start;
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
  Out.resize(Start + static_cast<size_t>(S.Stream.total_out));
  return Out;
}

// The x86 branch converter, then LZMA1 whose end is the known size (the
// filtered stream is as long as the data).
std::array<lzma_filter, 3> X86Chain(lzma_options_lzma &Options) {
  return {{{LZMA_FILTER_X86, nullptr}, {LZMA_FILTER_LZMA1EXT, &Options}, {LZMA_VLI_UNKNOWN, nullptr}}};
}

// The stream after the header, decoded as firmware decodes it: into the
// stated size, an end marker allowed, the dictionary no larger than the data
// (a dictionary past it is never reached, and liblzma would allocate all the
// header asks for), with or without the x86 branch converter after it.
Bytes RawDecode(ByteView Compressed, uint64_t MaxSize, bool X86) {
  const uint64_t Stated = CheckedStatedSize(Compressed, MaxSize);
  lzma_options_lzma Options = HeaderProperties(Compressed);
  Options.dict_size = static_cast<uint32_t>(
      std::min<uint64_t>(Options.dict_size, std::max<uint64_t>(Stated, LZMA_DICT_SIZE_MIN)));
  Options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  Options.ext_size_low = static_cast<uint32_t>(Stated);
  Options.ext_size_high = static_cast<uint32_t>(Stated >> 32);
  const std::array<lzma_filter, 3> Chain = X86Chain(Options);
  LzmaStream S;
  if (lzma_raw_decoder(&S.Stream, X86 ? Chain.data() : Chain.data() + 1) != LZMA_OK) {
    throw Error("LZMA header's properties are not ones a decoder takes (" + OptionsText(Options) + ")");
  }
  return RunDecoder(S, Compressed.subspan(lzma::HeaderSize), Stated);
}

} // namespace

uint64_t LzmaStatedSize(ByteView Compressed) {
  if (Compressed.size() < lzma::HeaderSize) {
    throw Error("LZMA data shorter than its 13-byte header");
  }
  return ReadU64(Compressed, lzma::SizeFieldOffset);
}

Bytes LzmaDecode(ByteView Compressed, uint64_t MaxSize) { return RawDecode(Compressed, MaxSize, false); }

Bytes LzmaEncodeLike(ByteView Data, ByteView OriginalHeader, uint32_t Preset) {
  lzma_options_lzma Options = EncoderOptionsLike(OriginalHeader, Preset, Data.size());
  LzmaStream S;
  if (lzma_alone_encoder(&S.Stream, &Options) != LZMA_OK) {
    throw Error("LZMA encoder refuses the original header's properties (" + OptionsText(Options) + ")");
  }
  Bytes Out = RunEncoder(S, Data, {});
  // The encoder writes "size unknown"; firmware decoders need the real size.
  WriteLe(Out.data() + lzma::SizeFieldOffset, Data.size(), sizeof(uint64_t));
  return Out;
}

Bytes LzmaX86Decode(ByteView Compressed, uint64_t MaxSize) { return RawDecode(Compressed, MaxSize, true); }

Bytes LzmaX86EncodeLike(ByteView Data, ByteView OriginalHeader, uint32_t Preset) {
  lzma_options_lzma Options = EncoderOptionsLike(OriginalHeader, Preset, Data.size());
  // The header states the size, so the stream needs no end marker.
  Options.ext_flags = 0;
  const std::array<lzma_filter, 3> Chain = X86Chain(Options);
  LzmaStream S;
  if (lzma_raw_encoder(&S.Stream, Chain.data()) != LZMA_OK) {
    throw Error("LZMA encoder refuses the original header's properties (" + OptionsText(Options) + ")");
  }
  Bytes Header(lzma::HeaderSize);
  const lzma_filter Properties = {LZMA_FILTER_LZMA1, &Options};
  if (lzma_properties_encode(&Properties, Header.data()) != LZMA_OK) {
    throw Error("LZMA encoder could not write the properties (" + OptionsText(Options) + ")");
  }
  WriteLe(Header.data() + lzma::SizeFieldOffset, Data.size(), sizeof(uint64_t));
  return RunEncoder(S, Data, std::move(Header));
}

} // namespace fwimage
