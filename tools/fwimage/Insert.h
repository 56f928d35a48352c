// `fwimage insert`: new FFS files into the DXE volume of a flash image, also
// when that volume sits inside an LZMA-compressed FV-image file.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Bytes.h"
#include "FirmwareVolume.h"
#include "Guid.h"

namespace fwimage {

// liblzma preset for recompression, timed on OVMF's 12.8 MiB DXE stream on
// the 2-core machine (dictionary kept at the original 16 MiB):
//   preset 6: 3.5 s, 1,559,428 bytes    preset 4: 3.1 s, 1,575,388 bytes
//   preset 2: 1.7 s, 1,682,501 bytes    preset 1: 1.3 s, 1,703,391 bytes
// (OVMF's own: 1,562,572). Preset 2 keeps a whole rebuild near a third of the
// 6 s budget even with a build running beside it; the 8% it gives away is
// ~120 KB of FVMAIN_COMPACT's ~1.8 MB free space.
constexpr uint32_t DefaultLzmaPreset = 2;

struct InsertOptions {
  std::optional<Guid> TargetVolume; // by FV name; default: the FV with the DXE core
  uint32_t Preset = DefaultLzmaPreset;
};

// What changed, for the tool's one-line summary.
struct InsertSummary {
  std::string TargetVolume;
  size_t TargetFreeBefore = 0;
  size_t TargetFreeAfter = 0;
  // The outermost volume rewritten (the target itself when nothing was compressed).
  std::string OuterVolume;
  size_t OuterFreeBefore = 0;
  size_t OuterFreeAfter = 0;
  unsigned Recompressed = 0;
};

// Returns the new image, same size as the old. Throws Error (and changes
// nothing) when a file is not an FFS file, a GUID is already there, the
// volume or its container has no room, or the way to the volume cannot be
// rewritten.
Bytes InsertFiles(ByteView ImageData, const std::vector<Bytes> &Files, const InsertOptions &Options,
                  InsertSummary *Summary = nullptr, const ParseLimits &Limits = {});

} // namespace fwimage
