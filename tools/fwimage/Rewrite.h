// The engine under insert, replace and remove: the changes planned for some
// volumes, carried out through every file, section, compressed stream and
// volume around them, with sizes and checksums renewed on the way out.
//
// Layout rules, the same for every volume:
//   - a file that is not named keeps its bytes, and keeps its offset unless it
//     is rebuilt around a changed volume and must move (never when it
//     executes in place);
//   - a gap a change leaves becomes a pad file, so no file but a moved one
//     changes place (a pad of erased bytes costs next to nothing compressed);
//   - new and moved files go into the free space at the end, at their data
//     alignment;
//   - a volume that is the one volume of a compressed stream grows, by whole
//     blocks, when its free space is short; the room comes from the volume
//     around the compressed file.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Bytes.h"
#include "FirmwareVolume.h"

namespace fwimage {

// Where a volume sits: the buffer its offsets refer to, and what its
// surroundings allow.
struct VolumeSite {
  const Volume *Fv = nullptr;
  ByteView Buf;
  // Inside a compressed section: decoded into RAM before use, so nothing in it
  // executes from where it sits in flash.
  bool Compressed = false;
  // The one volume of a compressed stream, at its end: it can grow.
  bool CanGrow = false;
  unsigned Depth = 0; // 0: a top-level volume of the image
};

// Every volume of the image, outer before inner, and the encapsulations the
// parser could not open on the way.
struct SiteIndex {
  std::vector<VolumeSite> Volumes;
  std::vector<std::string> Unopened;
};
SiteIndex IndexVolumes(ByteView ImageData, const Image &Img);

std::string VolumeName(const Volume &V);

// True when the file runs from where it sits in flash (SEC, PEI core, PEIMs,
// anything holding a TE image or such a volume), unless it is compressed.
bool ExecutesInPlace(const File &F, bool Compressed);

struct FileChange {
  bool Remove = false;
  const Bytes *NewBytes = nullptr; // replace with these (State set for the volume)
};

struct VolumePlan {
  std::map<const File *, FileChange> Changes;
  std::vector<const Bytes *> Adds; // appended in order
};

struct VolumeChange {
  std::string Name;
  unsigned Depth = 0;
  size_t FreeBefore = 0;
  size_t FreeAfter = 0;
  size_t GrownBy = 0;
};

struct EditSummary {
  std::vector<VolumeChange> Volumes; // outer before inner
  unsigned Recompressed = 0;
};

// Returns the new image, the same size as ImageData. Throws Error, with the
// reason, for a change the layout rules do not allow.
Bytes RewriteImage(ByteView ImageData, const Image &Img, const std::map<const Volume *, VolumePlan> &Plans,
                   uint32_t Preset, EditSummary &Summary);

// FFS file layout helpers shared with the commands.
size_t FileDataAlignment(ByteView FileData);
void WritePadFile(uint8_t *At, size_t Size, const Volume &V);

// Grow.cpp: the length a volume needs to hold End bytes, in whole blocks of its
// block map's last run, and that length written into its header (FvLength,
// the run's NumBlocks, the header checksum).
size_t GrownVolumeLength(ByteView VolumeData, size_t HeaderLength, size_t End);
void WriteVolumeLength(Bytes &VolumeData, size_t HeaderLength, size_t NewLength);

} // namespace fwimage
