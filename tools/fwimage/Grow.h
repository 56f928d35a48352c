// Growing a volume that can grow (Place::CanGrow): its length in whole blocks
// of its block map's last run, written into its header.
#pragma once

#include "Bytes.h"

namespace fwimage {

// The length a volume (Original: its bytes as they were) needs for files up
// to End with free space from Tail. Free space shorter than a file header
// reads, to some parsers, as a file cut short: there is none or at least a
// header's worth. Error when the block map does not describe the volume.
size_t GrownLength(ByteView Original, size_t HeaderLength, size_t End, size_t Tail);

// NewLength written into the header: FvLength, the last run's NumBlocks, the
// header checksum.
void WriteVolumeLength(Bytes &VolumeData, size_t HeaderLength, size_t NewLength);

} // namespace fwimage
