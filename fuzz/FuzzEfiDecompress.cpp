// The EFI 1.1 / Tiano decoder over arbitrary bytes: fwimage reads compressed
// sections from any image, so the decoder must refuse (Error) rather than
// crash, read out of bounds, loop or allocate past its limit. What decodes
// must be exactly the stated size, and must re-encode to a stream that
// decodes to the same bytes in the same variant.
#include <cstdlib>

#include "EfiCompress.h"

namespace {

using namespace fwimage;

// Smaller than the tool's limit so one input (and its re-encoding) stays
// cheap; the bound under test is the same.
constexpr uint64_t MaxSize = 64 << 10;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  const ByteView Input(Data, Size);
  for (const EfiVariant Variant : {EfiVariant::Efi11, EfiVariant::Tiano}) {
    Bytes Decoded;
    try {
      Decoded = EfiDecompress(Input, Variant, MaxSize);
    } catch (const Error &) {
      continue;
    }
    if (Decoded.size() != ReadEfiHeader(Input).OriginalSize) {
      std::abort();
    }
    try {
      if (EfiDecompress(EfiCompress(Decoded, Variant), Variant, MaxSize) != Decoded) {
        std::abort(); // the encoder wrote a stream that reads back wrong
      }
    } catch (const Error &) {
      std::abort(); // the encoder wrote a stream the decoder refuses
    }
  }
  try {
    EfiDecompressEither(Input, MaxSize);
  } catch (const Error &) {
  }
  return 0;
}
