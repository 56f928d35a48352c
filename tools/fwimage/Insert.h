// `fwimage insert`: new FFS files into the DXE volume of a flash image, also
// when that volume sits inside an LZMA-compressed FV-image file.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Bytes.h"
#include "FirmwareVolume.h"
#include "Guid.h"
#include "Rewrite.h"

namespace fwimage {

// liblzma preset for recompression. With the original stream's lc/lp/pb and
// dictionary, preset 6 gives a stream no larger than the firmware build's own
// (OVMF's DXE stream: 1,559,428 bytes against its 1,562,572), so a file put
// into a compressed volume costs the flash about its own compressed size and
// no more. Lower presets are faster but give away flash: preset 2 is 8%
// larger on the same stream, about 120 KB of OVMF's compressed volume.
constexpr uint32_t DefaultLzmaPreset = 6;

struct InsertOptions {
  std::optional<Guid> TargetVolume; // by FV name; default: the FV with the DXE core
  uint32_t Preset = DefaultLzmaPreset;
};

// What changed, for the tool's summary.
struct InsertSummary {
  std::string TargetVolume;
  size_t TargetFreeBefore = 0;
  size_t TargetFreeAfter = 0;
  size_t TargetGrownBy = 0;
  // The outermost volume rewritten (the target itself when nothing was compressed).
  std::string OuterVolume;
  size_t OuterFreeBefore = 0;
  size_t OuterFreeAfter = 0;
  unsigned Recompressed = 0;
};

// Returns the new image, same size as the old. Throws Error (and changes
// nothing) when a file is not an FFS file, a GUID is already there, an image
// in a file is for another machine than the volume's, the volume has no room
// (after growing it, where it can grow), or the way to the volume cannot be
// rewritten.
Bytes InsertFiles(ByteView ImageData, const std::vector<Bytes> &Files, const InsertOptions &Options,
                  InsertSummary *Summary = nullptr, const ParseLimits &Limits = {});

} // namespace fwimage
