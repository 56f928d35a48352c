// fwimage's image parser over arbitrary bytes: it reads flash images from
// anywhere, so it must refuse (Error) rather than crash, read out of bounds,
// loop or allocate without bound. When the bytes happen to parse, an insert
// must give an image of the same size that parses again.
#include <cstdlib>
#include <sstream>

#include "Ffs.h"
#include "FirmwareVolume.h"
#include "Insert.h"
#include "List.h"

namespace {

using namespace fwimage;

// Smaller than the tool's limits so one input stays cheap; the bound under
// test is the same.
ParseLimits FuzzLimits() {
  ParseLimits L;
  L.MaxStreamSize = 1 << 20;
  L.MaxTotalDecoded = 4 << 20;
  return L;
}

const Bytes &SmallDriver() {
  static const Bytes File = [] {
    FfsBuildInput In;
    In.Name = *Guid::Parse("F0220F00-0000-4000-8000-00000000F022");
    In.Pe.assign(0x80, 0);
    In.Pe[0] = 'M';
    In.Pe[1] = 'Z';
    In.Pe[0x3C] = 0x40;
    In.Pe[0x40] = 'P';
    In.Pe[0x41] = 'E';
    In.Pe[0x40 + 24] = 0x0B;
    In.Pe[0x40 + 25] = 0x02;
    In.Depex = {0x06, 0x08};
    In.Ui = "Fuzz";
    In.Version = "1";
    return BuildFfsFile(In);
  }();
  return File;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  static const ParseLimits Limits = FuzzLimits();
  const ByteView Input(Data, Size);
  try {
    ParseStandaloneFile(Input, Limits);
  } catch (const Error &) {
  }
  try {
    std::ostringstream Out;
    PrintImage(Out, ParseImage(Input, Limits));
  } catch (const Error &) {
    return 0;
  }
  InsertOptions Options;
  Options.Preset = 0;
  Bytes NewImage;
  try {
    NewImage = InsertFiles(Input, {SmallDriver()}, Options, nullptr, Limits);
  } catch (const Error &) {
    return 0;
  }
  if (NewImage.size() != Size) {
    std::abort();
  }
  try {
    ParseImage(NewImage, Limits);
  } catch (const Error &) {
    std::abort(); // the tool wrote an image it cannot read back
  }
  return 0;
}
