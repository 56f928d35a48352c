// Where the files of a changed volume go, decided from sizes alone (a plan a
// test can check without bytes), and the volume's bytes written from it.
//
// Layout rules, the same for every volume:
//   - a file that is not named keeps its bytes, and keeps its offset unless it
//     is rebuilt around a changed volume and must move (never when it
//     executes in place, nor when it is anchored: the reset vector's file,
//     SEC, the PEI core);
//   - a gap a change leaves becomes a pad file, so no file but a moved one
//     changes place (a pad of erased bytes costs next to nothing compressed);
//   - new and moved files go into the free space at the end, at their data
//     alignment;
//   - a volume that can grow (Place::CanGrow) is planned past its length; the
//     growth itself is Grow.h's.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Bytes.h"
#include "FirmwareVolume.h"

namespace fwimage {

// A file of the volume as it is, and what becomes of it. Offsets are from
// the volume's start.
struct SlotFile {
  enum class Fate { Keep, Remove, Write };
  std::string Name; // its GUID, for refusals
  size_t Start = 0;
  size_t SlotEnd = 0; // where the next file starts, or the free space
  Fate Action = Fate::Keep;
  // Write: the new bytes' size, header size and data alignment.
  size_t NewSize = 0;
  size_t HeaderSize = 0;
  size_t Alignment = 0;
  bool Given = false; // named by the user (State is set for the volume), not rebuilt around a change
  bool Xip = false;   // executes where it sits: it cannot move
  std::string Anchor; // why it never moves, wherever it sits (Sites.h AnchorOf); empty when it may
};

// A file to append: its size, header size and data alignment.
struct NewFile {
  size_t Size = 0;
  size_t HeaderSize = 0;
  size_t Alignment = 0;
};

struct LayoutInput {
  std::string Volume; // its name, for refusals
  size_t Length = 0;
  size_t FilesOffset = 0;
  size_t FreeOffset = 0;
  bool FreeSpaceErased = true;
  bool CanGrow = false;
  bool Ffs3 = false;        // large pad files allowed
  bool Recompressed = false; // a file is rebuilt around a changed volume (said in the refusal)
  std::vector<SlotFile> Files;
  std::vector<NewFile> Adds;
};

// One write, in order: erase a range, write a pad file over it, or put a
// file's bytes (Source: an index into Files, then Adds).
struct LayoutStep {
  enum class Kind { Erase, Pad, Put };
  Kind What = Kind::Erase;
  size_t At = 0;
  size_t Size = 0;
  size_t Source = 0;
  bool operator==(const LayoutStep &) const = default;
};

// A file of the volume placed elsewhere than it was.
struct FileMove {
  size_t Source = 0; // its index in LayoutInput::Files
  size_t From = 0;
  size_t To = 0;
  size_t Cost = 0; // bytes of free space it takes (its old slot is a pad file now)
  bool operator==(const FileMove &) const = default;
};

struct LayoutPlan {
  std::vector<LayoutStep> Steps;
  size_t End = 0;  // where the last file ends: the length the volume needs
  size_t Tail = 0; // where free space starts
  std::vector<FileMove> Moves;
  std::optional<std::string> Refusal; // why the layout rules do not allow the change
  bool Grows(const LayoutInput &In) const { return End > In.Length; }
};

LayoutPlan PlanLayout(const LayoutInput &In);

// Whether F, written anew, can stay at its offset: its data alignment holds
// there and, unless it is the last file (which runs on into the free space),
// it fills its slot or leaves room for a pad file.
bool FitsInPlace(const SlotFile &F, bool Last);

// The volume's bytes after Plan: Original is the volume as it was, Sources
// the bytes each Put names (Files then Adds; nullptr where a file is not
// written). Pads and erased bytes follow V's erase polarity. The result is
// Original's length, or Plan.End where that is more (Grow.h sets the length).
Bytes EmitLayout(ByteView Original, const LayoutInput &In, const LayoutPlan &Plan,
                 const std::vector<const Bytes *> &Sources, const Volume &V);

// FFS_ATTRIB_DATA_ALIGNMENT of a file in bytes; Error for the ones above 64 KiB.
size_t FileDataAlignment(ByteView FileData);
size_t FileHeaderSizeOf(ByteView FileData);

} // namespace fwimage
