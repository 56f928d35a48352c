// `fwimage list`: the tree of volumes, files and sections, one line each.
#pragma once

#include <ostream>

#include "FirmwareVolume.h"

namespace fwimage {

void PrintImage(std::ostream &Out, const Image &Img);

} // namespace fwimage
