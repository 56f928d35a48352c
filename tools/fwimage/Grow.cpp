#include "Grow.h"

#include <algorithm>

#include "Ffs.h"
#include "FirmwareVolume.h"

namespace fwimage {

namespace {

constexpr size_t BlockCountField = 0; // in a block-map entry: NumBlocks, then Length
constexpr size_t BlockLengthField = 4;

// Index of the last non-zero block-map entry.
size_t LastRun(ByteView Header, size_t HeaderLength) {
  size_t Last = 0;
  for (size_t At = fv::BlockMapOffset; At + fv::BlockMapEntrySize <= HeaderLength; At += fv::BlockMapEntrySize) {
    if (ReadU64(Header, At) == 0) {
      break;
    }
    Last = At;
  }
  if (Last == 0) {
    throw Error("FV header has an empty block map");
  }
  return Last;
}

size_t GrownVolumeLength(ByteView VolumeData, size_t HeaderLength, size_t End) {
  uint64_t Described = 0;
  for (size_t At = fv::BlockMapOffset; At + fv::BlockMapEntrySize <= HeaderLength; At += fv::BlockMapEntrySize) {
    if (ReadU64(VolumeData, At) == 0) {
      break;
    }
    Described += static_cast<uint64_t>(ReadU32(VolumeData, At + BlockCountField)) *
                 ReadU32(VolumeData, At + BlockLengthField);
  }
  if (Described != VolumeData.size()) {
    throw Error("its block map describes " + Hex(Described) + " bytes, not its length " + Hex(VolumeData.size()) +
                "; refusing to grow it");
  }
  const size_t Block = ReadU32(VolumeData, LastRun(VolumeData, HeaderLength) + BlockLengthField);
  return VolumeData.size() + AlignUp(End - VolumeData.size(), Block);
}

} // namespace

size_t GrownLength(ByteView Original, size_t HeaderLength, size_t End, size_t Tail) {
  size_t Length = GrownVolumeLength(Original, HeaderLength, End);
  const size_t Free = Length - std::min(Length, Tail);
  if (Free != 0 && Free < ffs::FileHeaderSize) {
    Length = GrownVolumeLength(Original, HeaderLength, Tail + ffs::FileHeaderSize);
  }
  return Length;
}

void WriteVolumeLength(Bytes &VolumeData, size_t HeaderLength, size_t NewLength) {
  const size_t Run = LastRun(VolumeData, HeaderLength);
  const uint32_t Block = ReadU32(VolumeData, Run + BlockLengthField);
  const uint64_t OldLength = ReadU64(VolumeData, fv::LengthOffset);
  const uint64_t Blocks = ReadU32(VolumeData, Run + BlockCountField) + (NewLength - OldLength) / Block;
  if (Blocks > UINT32_MAX) {
    throw Error("grown volume needs more blocks than its block map can count");
  }
  WriteLe(VolumeData.data() + fv::LengthOffset, NewLength, sizeof(uint64_t));
  WriteLe(VolumeData.data() + Run + BlockCountField, Blocks, sizeof(uint32_t));
  WriteLe(VolumeData.data() + fv::ChecksumOffset, 0, sizeof(uint16_t));
  uint16_t Sum = 0;
  for (size_t I = 0; I + 1 < HeaderLength; I += sizeof(uint16_t)) {
    Sum = static_cast<uint16_t>(Sum + ReadU16(VolumeData, I));
  }
  WriteLe(VolumeData.data() + fv::ChecksumOffset, static_cast<uint16_t>(0x10000 - Sum), sizeof(uint16_t));
}

} // namespace fwimage
