// `fwimage list`: the tree of regions, volumes, files and sections, as text
// (one line each, every fault on the line of the item it concerns) or JSON.
#pragma once

#include <optional>
#include <ostream>

#include "Descriptor.h"
#include "FirmwareVolume.h"

namespace fwimage {

// What `list` shows: the flash regions, if the image has a descriptor, and
// the volumes of the volume area, read tolerantly (offsets in the image).
struct Listing {
  size_t ImageSize = 0;
  std::optional<FlashLayout> Flash;
  Image Volumes;
  size_t FaultCount() const;
};

Listing ReadListing(ByteView Data, const ParseLimits &Limits = {});

void PrintImage(std::ostream &Out, const Image &Img);
void PrintListing(std::ostream &Out, const Listing &L);
// JSON; the schema is in README.md (fwimage section).
void PrintListingJson(std::ostream &Out, const Listing &L);

} // namespace fwimage
