// The volumes of a parsed image as the editing commands see them: each with
// its place (Place), outer before inner, and what could not be opened on
// the way to them.
#pragma once

#include <string>
#include <vector>

#include "FirmwareVolume.h"

namespace fwimage {

struct SiteIndex {
  std::vector<const Volume *> Volumes; // outer before inner
  std::vector<std::string> Unopened;   // encapsulations the parser could not open
};
SiteIndex IndexVolumes(const Image &Img);

// Its GUID, or "at 0x..." for a volume without a name.
std::string VolumeName(const Volume &V);

// True when the file runs from where it sits in flash (SEC, PEI core, PEIMs,
// anything holding a TE image or such a volume), unless it is compressed.
bool ExecutesInPlace(const File &F);
// The same for what a section holds.
bool ExecutesInPlace(const Section &S);

// Why a file never moves and is never removed, wherever it sits (compressed
// volumes too): the Volume Top File holds the reset vector in its last
// bytes, and the platform finds SEC and the PEI core where they were built
// to be. nullptr for other files.
const char *AnchorOf(const File &F);

} // namespace fwimage
