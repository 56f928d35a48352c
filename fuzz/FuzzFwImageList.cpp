// fwimage's readers alone over arbitrary bytes, fast enough to search the
// parser deeply: the tolerant listing and the strict parse must agree (see
// FwImageFuzz.h), whatever flash descriptor, volumes, files and sections the
// bytes hold, and an FFS file standing alone (what insert is given) must
// parse or refuse. Steering byte: bits 4:3 where the image sits, 7:5 how
// the listing is printed.
#include "FwImageFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  using namespace fwfuzz;
  const std::optional<FuzzInput> In = SplitInput(Data, Size);
  if (!In) {
    return 0;
  }
  try {
    ParseStandaloneFile(In->Image, FuzzLimits());
  } catch (const Error &) {
  }
  CheckListing(PlaceImage(In->Image, In->Steer).Data, In->Steer);
  return 0;
}
