#include "Layout.h"

#include <algorithm>
#include <array>

#include "Ffs.h"
#include "Guid.h"

namespace fwimage {

namespace {

// FFS_ATTRIB_DATA_ALIGNMENT (bits 5:3) in bytes.
constexpr std::array<size_t, 8> DataAlignments{1, 16, 128, 512, 1024, 4096, 32768, 65536};
constexpr unsigned DataAlignmentShift = 3;

using Kind = LayoutStep::Kind;

// Decides the steps in the order the volume is walked: each existing file
// from the first to the last that stays, then the appended ones. A refusal
// is an Error, caught by PlanLayout.
class Planner {
public:
  explicit Planner(const LayoutInput &In) : In(In) {}
  LayoutPlan Run();

private:
  size_t LastKept() const;
  void PlaceFile(size_t I, bool Last);
  void Append(size_t Source);
  std::string StayRefusal(const SlotFile &F, bool Aligned, size_t Need, size_t Slot) const;
  NewFile Shape(size_t Source) const;
  void Erase(size_t At, size_t Size) { Plan.Steps.push_back({Kind::Erase, At, Size, 0}); }
  void Put(size_t At, size_t Source) { Plan.Steps.push_back({Kind::Put, At, Shape(Source).Size, Source}); }
  void Pad(size_t At, size_t Size);

  const LayoutInput &In;
  LayoutPlan Plan;
  std::vector<size_t> Appends; // sources, in the order they go into the free space
  // The last file, when it moves within its own slot: what it frees counts against its cost.
  std::optional<size_t> LastMoved;
};

LayoutPlan Planner::Run() {
  const size_t N = In.Files.size();
  const size_t Kept = LastKept();
  // Files past the last one that stays are simply gone: free space.
  Plan.Tail = Kept == N ? In.FilesOffset : In.Files[Kept].SlotEnd;
  Plan.End = Plan.Tail;
  for (size_t I = 0; I < N && I <= Kept; ++I) {
    PlaceFile(I, I == Kept);
  }
  for (size_t J = 0; J < In.Adds.size(); ++J) {
    Appends.push_back(N + J);
  }
  for (const size_t Source : Appends) {
    Append(Source);
  }
  if (Plan.End > In.Length && !In.CanGrow) {
    throw Error("no room in FV " + In.Volume + (In.Recompressed ? " after recompression" : "") + ": " +
                std::to_string(Plan.End - In.Length) + " bytes missing (" + Hex(In.Length - In.FreeOffset) +
                " free)");
  }
  // What the old last files held past the new end is free space again.
  if (Plan.End < In.FreeOffset) {
    Erase(Plan.End, In.FreeOffset - Plan.End);
  }
  return Plan;
}

size_t Planner::LastKept() const {
  for (size_t I = In.Files.size(); I-- > 0;) {
    if (In.Files[I].Action != SlotFile::Fate::Remove) {
      return I;
    }
  }
  return In.Files.size();
}

void Planner::PlaceFile(size_t I, bool Last) {
  const SlotFile &F = In.Files[I];
  const size_t Slot = F.SlotEnd - F.Start;
  if (F.Action == SlotFile::Fate::Remove) {
    Pad(F.Start, Slot);
    return;
  }
  if (F.Action == SlotFile::Fate::Keep) {
    return;
  }
  const bool Aligned = (F.Start + F.HeaderSize) % F.Alignment == 0;
  const size_t Need = AlignUp(F.NewSize, ffs::FileAlignment);
  if (FitsInPlace(F, Last)) {
    Erase(F.Start, Slot);
    Put(F.Start, I);
    if (Last) {
      // The last file may run on into the free space.
      if (F.Start + F.NewSize > In.FreeOffset && !In.FreeSpaceErased) {
        throw Error("FV " + In.Volume + ": its free space holds data; refusing to grow a file over it");
      }
      Plan.Tail = F.Start + Need;
      Plan.End = F.Start + F.NewSize;
    } else if (Need < Slot) {
      Pad(F.Start + Need, Slot - Need);
    }
    return;
  }
  if (F.Xip || !F.Anchor.empty()) {
    throw Error(StayRefusal(F, Aligned, Need, Slot));
  }
  Plan.Moves.push_back({I, F.Start, 0, 0});
  if (Last) {
    // The last file moves within its own slot, to the alignment it needs.
    Erase(F.Start, Slot);
    Plan.Tail = Plan.End = F.Start;
    LastMoved = I;
    Appends.insert(Appends.begin(), I);
  } else {
    Pad(F.Start, Slot);
    Appends.push_back(I);
  }
}

std::string Planner::StayRefusal(const SlotFile &F, bool Aligned, size_t Need, size_t Slot) const {
  const std::string Why =
      !Aligned ? "the new file's data alignment does not hold there"
      : Need > Slot
          ? "its new size " + Hex(F.NewSize) + " does not fit the " + Hex(Slot) + " bytes before the next file"
          : "it would leave " + std::to_string(Slot - Need) + " bytes before the next file, too few for a pad file";
  std::string Reason = "file " + F.Name + (F.Anchor.empty() ? " executes in place" : " is " + F.Anchor + ",") +
                       " at " + Hex(F.Start) + " in FV ";
  Reason += In.Volume;
  Reason += F.Anchor.empty() ? " and cannot move: " : " and never moves: ";
  Reason += Why;
  if (!F.Given) {
    Reason += " (the stream in it recompressed, at the strongest setting too)";
  }
  return Reason;
}

NewFile Planner::Shape(size_t Source) const {
  if (Source < In.Files.size()) {
    const SlotFile &F = In.Files[Source];
    return {F.NewSize, F.HeaderSize, F.Alignment};
  }
  return In.Adds[Source - In.Files.size()];
}

// Into the free space, at the first offset that gives the file's data its
// alignment and leaves either no gap or room for a pad file in it.
void Planner::Append(size_t Source) {
  const NewFile F = Shape(Source);
  const size_t From = AlignUp(Plan.Tail, ffs::FileAlignment);
  size_t At = From;
  while ((At + F.HeaderSize) % F.Alignment != 0 || (At != From && At - From < ffs::FileHeaderSize)) {
    At += ffs::FileAlignment;
  }
  if (At + F.Size > In.FreeOffset && !In.FreeSpaceErased) {
    throw Error("FV " + In.Volume + ": its free space holds data; refusing to write over it");
  }
  if (At != From) {
    Pad(From, At - From);
  }
  Put(At, Source);
  const size_t Before = Source == LastMoved ? In.Files[Source].SlotEnd : Plan.Tail;
  Plan.End = At + F.Size;
  Plan.Tail = AlignUp(Plan.End, ffs::FileAlignment);
  for (FileMove &M : Plan.Moves) {
    if (M.Source == Source) {
      M.To = At;
      M.Cost = Plan.Tail - std::min(Plan.Tail, Before);
    }
  }
}

void Planner::Pad(size_t At, size_t Size) {
  if (Size > ffs::MaxSize24 && !In.Ffs3) {
    throw Error("a gap of " + Hex(Size) + " bytes needs a large pad file; FV " + In.Volume + " is not FFS3");
  }
  Plan.Steps.push_back({Kind::Pad, At, Size, 0});
}

void WritePadFile(uint8_t *At, size_t Size, const Volume &V) {
  const bool Large = Size > ffs::MaxSize24;
  const size_t Header = Large ? ffs::FileHeader2Size : ffs::FileHeaderSize;
  std::fill(At, At + Size, V.EraseByte());
  std::fill(At, At + Header, 0);
  // Pad files are named by the all-ones GUID.
  std::fill(At, At + Guid::Size, 0xFF);
  At[ffs::TypeOffset] = ffs::TypePad;
  if (Large) {
    At[ffs::AttributesOffset] = ffs::AttribLargeFile;
    WriteLe(At + ffs::ExtendedSizeOffset, Size, sizeof(uint64_t));
  } else {
    WriteLe(At + ffs::SizeOffset, Size, ffs::Size24Width);
  }
  At[ffs::StateOffset] = V.ErasePolarity ? ffs::StateCompleteErasedHigh : ffs::StateComplete;
  SealFfsFile(At, Header, Size);
}

} // namespace

bool FitsInPlace(const SlotFile &F, bool Last) {
  if ((F.Start + F.HeaderSize) % F.Alignment != 0) {
    return false;
  }
  const size_t Need = AlignUp(F.NewSize, ffs::FileAlignment);
  const size_t Slot = F.SlotEnd - F.Start;
  return Last || Need == Slot || (Need < Slot && Slot - Need >= ffs::FileHeaderSize);
}

LayoutPlan PlanLayout(const LayoutInput &In) {
  try {
    return Planner(In).Run();
  } catch (const Error &E) {
    LayoutPlan Refused;
    Refused.Refusal = E.what();
    return Refused;
  }
}

Bytes EmitLayout(ByteView Original, const LayoutInput &In, const LayoutPlan &Plan,
                 const std::vector<const Bytes *> &Sources, const Volume &V) {
  Bytes Out(Original.begin(), Original.end());
  for (const LayoutStep &Step : Plan.Steps) {
    if (Step.At + Step.Size > Out.size()) {
      Out.resize(Step.At + Step.Size, V.EraseByte());
    }
    uint8_t *At = Out.data() + Step.At;
    switch (Step.What) {
    case Kind::Erase:
      std::fill(At, At + Step.Size, V.EraseByte());
      break;
    case Kind::Pad:
      WritePadFile(At, Step.Size, V);
      break;
    case Kind::Put: {
      const Bytes &Data = *Sources.at(Step.Source);
      std::copy(Data.begin(), Data.end(), At);
      if (Step.Source >= In.Files.size() || In.Files[Step.Source].Given) {
        // State is outside both checksums: set it for this volume's erase polarity.
        At[ffs::StateOffset] = V.ErasePolarity ? ffs::StateCompleteErasedHigh : ffs::StateComplete;
      }
      break;
    }
    }
  }
  return Out;
}

size_t FileDataAlignment(ByteView FileData) {
  const uint8_t Attributes = FileData[ffs::AttributesOffset];
  if ((Attributes & ffs::AttribDataAlignment2) != 0) {
    throw Error("file " + Guid::FromBytes(FileData, 0).ToString() +
                " asks for a data alignment above 64 KiB (not supported)");
  }
  return std::max(DataAlignments[(Attributes & ffs::AttribDataAlignmentMask) >> DataAlignmentShift],
                  ffs::FileAlignment);
}

size_t FileHeaderSizeOf(ByteView FileData) {
  return (FileData[ffs::AttributesOffset] & ffs::AttribLargeFile) != 0 ? ffs::FileHeader2Size : ffs::FileHeaderSize;
}

} // namespace fwimage
