// Parser for flash images: firmware volumes, the FFS files in them and their
// sections, descending into compressed (Codec.h) and FV-image sections.
//
// Images come from anywhere, so every size and offset is checked against its
// container before use, every checksum is verified, and decompression is
// bounded (see ParseLimits). A strict parse (what the editing commands use)
// throws Error with a one-line reason at the first defect; a tolerant one
// (`list`) notes each defect on the item it concerns and reads on. Stray
// bytes (StrayBytes) are the exception: a strict parse records them for the
// edit to judge, as they stop only an edit next to them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Bytes.h"
#include "Guid.h"

namespace fwimage {

namespace fv {
// EFI_FIRMWARE_VOLUME_HEADER.
constexpr size_t FileSystemGuidOffset = 16;
constexpr size_t LengthOffset = 32;
constexpr size_t SignatureOffset = 40;
constexpr size_t AttributesOffset = 44;
constexpr size_t HeaderLengthOffset = 48;
constexpr size_t ChecksumOffset = 50;
constexpr size_t ExtHeaderOffsetOffset = 52;
constexpr size_t BlockMapOffset = 56;
constexpr size_t BlockMapEntrySize = 8;
constexpr size_t MinHeaderSize = BlockMapOffset + BlockMapEntrySize;
constexpr uint32_t Signature = 0x4856465F; // "_FVH"
constexpr uint32_t AttribErasePolarity = 0x00000800;
// EFI_FIRMWARE_VOLUME_EXT_HEADER: FvName, ExtHeaderSize.
constexpr size_t ExtHeaderSizeField = 16;
constexpr size_t ExtHeaderMinSize = 20;
// Volumes sit at least 8-byte aligned in flash images.
constexpr size_t ScanStep = 8;
} // namespace fv

// Bytes that are neither erased nor part of an item the parser found: a
// volume or file whose header is damaged, or data left behind. Offset in the
// buffer of the item that holds them.
struct StrayBytes {
  size_t Offset = 0;
  size_t Size = 0;
};

// Decompression is the only place where a few input bytes can demand a lot of
// memory, so it is bounded three ways: per stream, in total, and in depth.
struct ParseLimits {
  // The largest x86 flash parts are 64 MiB and a decompressed DXE volume is a
  // fraction of that (OVMF's is 12.8 MiB); a header claiming more is corrupt
  // or hostile.
  uint64_t MaxStreamSize = 64ULL << 20;
  // Several compressed volumes in one image still stay far below this.
  uint64_t MaxTotalDecoded = 256ULL << 20;
  // Real images nest FV -> file -> LZMA -> FV -> file: a handful of levels.
  unsigned MaxDepth = 16;
};

enum class ParseMode { Strict, Tolerant };

// The algorithm that decoded a stream into RAM (Codec.h maps section GUIDs and
// compression types to them); None: the bytes are used where they sit.
enum class Compression : uint8_t { None, Lzma, LzmaX86, Efi11, Tiano };

// Where an item sits, so no reader has to carry its buffer along.
struct Place {
  // The image, or the decoded stream the item lives in: its offsets index this.
  ByteView Buf;
  // The algorithm that decoded the innermost stream around the item.
  Compression Stream = Compression::None;
  // A volume that is the one volume of a decoded stream, at its end, and the
  // FV_IMAGE section holding it: the firmware sizes nothing after it, so it can grow.
  bool CanGrow = false;
  unsigned Depth = 0; // volumes around the item
  // Decoded into RAM before use: nothing in it executes where it sits in flash.
  bool Compressed() const { return Stream != Compression::None; }
};

struct Volume;
struct Section;
class KnownStreams;

// COMPRESSION and GUID_DEFINED sections: the sections they hold, where they
// sit or in the stream a decoder gave.
struct Encapsulation {
  Guid Definition;               // GUID_DEFINED only
  uint16_t GuidedAttributes = 0; // GUID_DEFINED only
  size_t DataOffset = 0;         // where the encapsulated data starts, from the section's start
  Compression Algorithm = Compression::None; // which algorithm decoded Decoded
  std::shared_ptr<const Bytes> Decoded;      // Children refer to it when set
  // False: an encapsulation this tool cannot open (unknown GUID or compression).
  bool Opened = true;
  std::vector<Section> Children;
};

struct VolumeImage {
  std::vector<Volume> Volumes; // the one volume an FV_IMAGE section holds
};

struct TextBody {
  std::string Text; // UI and VERSION
};

struct CodeImage {
  std::optional<uint16_t> Machine; // PE32 and TE: the image's Machine field
};

struct Section {
  size_t Offset = 0; // in At.Buf
  size_t Size = 0;   // header included
  size_t HeaderSize = 0;
  uint8_t Type = 0;
  Place At;
  // What the parser read of the section's contents, by kind; nothing for
  // other kinds and for a section whose header is broken.
  std::variant<std::monostate, Encapsulation, VolumeImage, TextBody, CodeImage> Body;
  std::vector<std::string> Faults; // tolerant parse: this item's defects, one line each

  const Encapsulation *Encap() const { return std::get_if<Encapsulation>(&Body); }
  const std::vector<Section> &Children() const;
  const std::vector<Volume> &Volumes() const;
  std::string Text() const;
  std::optional<uint16_t> Machine() const;
  Guid Definition() const;
  bool Opaque() const { return Encap() != nullptr && !Encap()->Opened; }
  Compression Algorithm() const { return Encap() != nullptr ? Encap()->Algorithm : Compression::None; }
  const Bytes *Decoded() const { return Encap() != nullptr ? Encap()->Decoded.get() : nullptr; }
};

struct File {
  size_t Offset = 0; // in At.Buf
  size_t Size = 0;
  size_t HeaderSize = 0;
  Guid Name;
  uint8_t Type = 0;
  uint8_t Attributes = 0;
  uint8_t State = 0;
  bool Deleted = false;
  Place At;
  std::vector<Section> Sections;
  std::string UiName;
  std::optional<uint16_t> Machine; // of its first PE32 or TE image
  std::vector<std::string> Faults; // tolerant parse: this item's defects, one line each
};

struct Volume {
  size_t Offset = 0; // in At.Buf
  size_t Length = 0;
  size_t HeaderLength = 0;
  Guid FileSystem;
  std::optional<Guid> Name; // from the extended header
  uint32_t Attributes = 0;
  bool ErasePolarity = true;
  bool FfsFileSystem = false; // FFS2/FFS3: files are parsed
  size_t FilesOffset = 0;     // first file, relative to the volume
  size_t FreeOffset = 0;      // start of free space, relative to the volume
  bool FreeSpaceErased = true;
  Place At;
  std::vector<File> Files;
  std::vector<StrayBytes> Stray; // between its files or in its free space
  std::vector<std::string> Faults;

  uint8_t EraseByte() const { return ErasePolarity ? 0xFF : 0x00; }
  size_t FreeSize() const { return Length - FreeOffset; }
};

struct Image {
  std::vector<Volume> Volumes;
  std::vector<StrayBytes> Stray;   // outside the volumes, in the area searched for them
  std::vector<std::string> Faults; // tolerant parse: what concerns no single volume
};

// The tree refers to the bytes it was parsed from (Place::Buf): they must
// outlive it. Decoded streams are owned by the tree.

// Strict parse of every volume in Data.
Image ParseImage(ByteView Data, const ParseLimits &Limits = {});

// The volumes in Data[Begin, End) (a flash region; a volume may not reach
// past End), their offsets in Data's coordinates. Known: streams whose
// decoding an edit already holds (Codec.h).
Image ParseVolumes(ByteView Data, size_t Begin, size_t End, ParseMode Mode, const ParseLimits &Limits = {},
                   const KnownStreams *Known = nullptr);

// Every defect noted in the tree, the image's own included.
size_t CountFaults(const Image &Img);

// Parses one FFS file standing alone (an input to `insert`): header and data
// checksums, State, and its sections. Throws Error if it is not one.
File ParseStandaloneFile(ByteView Data, const ParseLimits &Limits = {});

} // namespace fwimage
