// The engine under insert, replace and remove: the changes planned for some
// volumes carried out through every file, section, compressed stream and
// volume around them, with sizes and checksums renewed on the way out. Each
// changed volume is laid out by Layout.h, and grown by Grow.h where it can.
#pragma once

#include <map>
#include <vector>

#include "Bytes.h"
#include "FirmwareVolume.h"
#include "Summary.h"

namespace fwimage {

struct FileChange {
  bool Remove = false;
  const Bytes *NewBytes = nullptr; // replace with these (State set for the volume)
};

struct VolumePlan {
  std::map<const File *, FileChange> Changes;
  std::vector<const Bytes *> Adds; // appended in order
};

using EditPlans = std::map<const Volume *, VolumePlan>;

// Returns the new image, the same size as ImageData; fills in Summary's
// volumes and recompressions. Throws Error, with the reason, for a change
// the layout rules do not allow.
// Each stream encoded is added to Known with the decoding that proved it.
Bytes RewriteImage(ByteView ImageData, const Image &Img, const EditPlans &Plans, uint32_t Preset,
                   EditSummary &Summary, KnownStreams &Known);

} // namespace fwimage
