#include "Rewrite.h"

#include <algorithm>
#include <set>

#include "Codec.h"
#include "Ffs.h"
#include "Grow.h"
#include "Layout.h"
#include "Sites.h"
#include "Walk.h"

namespace fwimage {

namespace {

void SetSectionSize(Bytes &S, size_t HeaderSize) {
  if (HeaderSize == ffs::SectionHeaderSize) {
    if (S.size() >= ffs::MaxSize24) {
      throw Error(std::string(SectionTypeName(S[ffs::SectionTypeOffset])) + " section would grow to " + Hex(S.size()) +
                  " bytes, past its 24-bit size field");
    }
    WriteLe(S.data(), S.size(), ffs::Size24Width);
  } else {
    WriteLe(S.data() + ffs::SectionHeaderSize, S.size(), ffs::SectionExtendedSizeWidth);
  }
}

void SetFileSize(Bytes &F, const File &Old) {
  if (Old.HeaderSize == ffs::FileHeaderSize) {
    if (F.size() > ffs::MaxSize24) {
      throw Error("file " + Old.Name.ToString() + " would grow to " + Hex(F.size()) + " bytes, past its 24-bit size field");
    }
    WriteLe(F.data() + ffs::SizeOffset, F.size(), ffs::Size24Width);
  } else {
    WriteLe(F.data() + ffs::ExtendedSizeOffset, F.size(), sizeof(uint64_t));
  }
  SealFfsFile(F.data(), Old.HeaderSize, F.size());
}

Bytes Slice(ByteView Buf, size_t From, size_t To) {
  return Bytes(Buf.begin() + static_cast<std::ptrdiff_t>(From), Buf.begin() + static_cast<std::ptrdiff_t>(To));
}

void AppendRange(Bytes &Out, ByteView Buf, size_t From, size_t To) {
  Out.insert(Out.end(), Buf.begin() + static_cast<std::ptrdiff_t>(From), Buf.begin() + static_cast<std::ptrdiff_t>(To));
}

// An edit keeps every byte outside the volumes it rewrites, so stray bytes
// elsewhere stay as they are; inside a volume it rewrites, or right next to
// one, they may be that volume's own (a file or a neighbour's header
// damaged, so where things end is a guess), and no rewrite is safe.
void CheckNoStrayBytes(const Volume &V, const std::vector<StrayBytes> &Outside) {
  const std::string Name = VolumeName(V);
  if (!V.Stray.empty()) {
    const StrayBytes &S = V.Stray.front();
    throw Error("FV " + Name + " holds " + Hex(S.Size) + " bytes at " + Hex(S.Offset) +
                " that are neither erased nor part of a file; refusing to rewrite it");
  }
  for (const StrayBytes &S : Outside) {
    if (S.Offset + S.Size == V.Offset || S.Offset == V.Offset + V.Length) {
      std::string Reason = Hex(S.Size) + " bytes at " + Hex(S.Offset) + ", next to FV " + Name;
      Reason += ", are neither erased nor in a firmware volume (a volume whose header is damaged?); refusing to "
                "rewrite the FV";
      throw Error(Reason);
    }
  }
}

// The plan's moves as the summary reports them, at offsets in V's buffer.
std::vector<MovedFile> MovesOf(const Volume &V, const LayoutInput &In, const LayoutPlan &Plan) {
  std::vector<MovedFile> Out;
  for (const FileMove &M : Plan.Moves) {
    const SlotFile &F = In.Files.at(M.Source);
    Out.push_back({F.Name, V.Offset + M.From, V.Offset + M.To, M.Cost, !F.Given});
  }
  return Out;
}

// Every item on the way to a planned volume: the volumes in the plans, and
// whatever holds one of them.
class DirtyMarker : public Visitor {
public:
  DirtyMarker(const EditPlans &Plans, std::set<const void *> &Dirty) : Plans(Plans), Dirty(Dirty) {}
  bool EnterVolume(const Volume &V) override { return Enter(Plans.count(&V) != 0); }
  void LeaveVolume(const Volume &V) override { Leave(&V); }
  bool EnterFile(const File &) override { return Enter(false); }
  void LeaveFile(const File &F) override { Leave(&F); }
  bool EnterSection(const Section &) override { return Enter(false); }
  void LeaveSection(const Section &S) override { Leave(&S); }

private:
  bool Enter(bool Changed) {
    Open.push_back(Changed);
    return true;
  }
  void Leave(const void *Item) {
    const bool Changed = Open.back();
    Open.pop_back();
    if (Changed) {
      Dirty.insert(Item);
      if (!Open.empty()) {
        Open.back() = true;
      }
    }
  }

  const EditPlans &Plans;
  std::set<const void *> &Dirty;
  std::vector<bool> Open; // per item entered: whether something in it changes
};

// Rebuilds the marked items inside out: a volume's new bytes are made when
// the walk leaves it, from its files' new bytes and its old ones; a file's
// when the walk leaves it, from the sections on the way to the volumes in it
// (encoded again where they were decoded).
class Rebuilder : public Visitor {
public:
  Rebuilder(const Image &Img, const EditPlans &Plans, const std::set<const void *> &Dirty, uint32_t Preset,
            EditSummary &Summary, KnownStreams &Known)
      : Img(Img), Plans(Plans), Dirty(Dirty), Preset(Preset), Summary(Summary), Known(Known) {}

  bool EnterVolume(const Volume &V) override;
  void LeaveVolume(const Volume &V) override { Rebuilt[&V] = RebuildVolume(V); }
  bool EnterFile(const File &F) override;
  void LeaveFile(const File &F) override;
  bool EnterSection(const Section &S) override { return IsDirty(&S); }

  const Bytes *NewBytes(const void *Item) const {
    const auto It = Rebuilt.find(Item);
    return It != Rebuilt.end() ? &It->second : nullptr;
  }

private:
  const VolumePlan &PlanFor(const Volume &V) const {
    static const VolumePlan NoPlan;
    const auto It = Plans.find(&V);
    return It != Plans.end() ? It->second : NoPlan;
  }
  bool IsDirty(const void *Item) const { return Dirty.count(Item) != 0; }
  Bytes RebuildVolume(const Volume &V);
  SlotFile SlotOf(const Volume &V, size_t I) const;
  LayoutInput LayoutOf(const Volume &V, std::vector<const Bytes *> &Sources) const;
  bool StaysInPlace(const File &F, const Bytes &NewBytes) const;
  // Encoded: streams encoded anew on the way.
  Bytes BuildFile(const File &F, uint32_t WithPreset, unsigned &Encoded) const;
  Bytes BuildSections(ByteView Buf, const std::vector<Section> &List, size_t Start, size_t End, size_t Base,
                      uint32_t WithPreset, unsigned &Encoded) const;
  Bytes BuildSection(const Section &S, size_t Base, uint32_t WithPreset, unsigned &Encoded) const;
  Bytes BuildEncapsulation(const Section &S, size_t Base, uint32_t WithPreset, unsigned &Encoded) const;

  const Image &Img;
  const EditPlans &Plans;
  const std::set<const void *> &Dirty;
  uint32_t Preset;
  EditSummary &Summary;
  KnownStreams &Known;
  std::map<const void *, Bytes> Rebuilt; // volumes and files
  std::vector<const Volume *> Volumes;   // the volumes entered, innermost last
};

bool Rebuilder::EnterVolume(const Volume &V) {
  if (!IsDirty(&V)) {
    return false;
  }
  if (!V.FfsFileSystem) {
    throw Error("FV " + VolumeName(V) + " has no FFS file system");
  }
  // Only the image's own volumes have bytes outside them that no item holds.
  CheckNoStrayBytes(V, Volumes.empty() ? Img.Stray : std::vector<StrayBytes>{});
  Volumes.push_back(&V);
  return true;
}

bool Rebuilder::EnterFile(const File &F) {
  if (!IsDirty(&F)) {
    return false;
  }
  if (PlanFor(*Volumes.back()).Changes.count(&F) != 0) {
    throw Error("file " + F.Name.ToString() + " is named and holds a volume that changes too; change one at a time");
  }
  return true;
}

// A file around a changed volume, its streams encoded at the preset chosen;
// where that does not fit its place, at the strongest setting, so that it
// moves only when nothing else will do.
void Rebuilder::LeaveFile(const File &F) {
  unsigned Encoded = 0;
  Bytes Out = BuildFile(F, Preset, Encoded);
  unsigned Strongest = 0;
  if (Encoded != 0 && !StaysInPlace(F, Out)) {
    unsigned StrongEncoded = 0;
    Bytes Strong = BuildFile(F, StrongestPreset, StrongEncoded);
    if (Strong.size() < Out.size()) {
      Out = std::move(Strong);
      Encoded = Strongest = StrongEncoded;
    }
  }
  Summary.Recompressed += Encoded;
  Summary.Strongest += Strongest;
  Rebuilt[&F] = std::move(Out);
}

bool Rebuilder::StaysInPlace(const File &F, const Bytes &NewBytes) const {
  const Volume &V = *Volumes.back();
  const auto I = static_cast<size_t>(&F - V.Files.data());
  SlotFile Slot = SlotOf(V, I);
  Slot.NewSize = NewBytes.size();
  Slot.HeaderSize = FileHeaderSizeOf(NewBytes);
  Slot.Alignment = FileDataAlignment(NewBytes);
  const bool Last = I + 1 == V.Files.size();
  return FitsInPlace(Slot, Last) && (!Last || Slot.Start + Slot.NewSize <= V.Length);
}

Bytes Rebuilder::BuildFile(const File &F, uint32_t WithPreset, unsigned &Encoded) const {
  Bytes Out = Slice(F.At.Buf, F.Offset, F.Offset + F.HeaderSize);
  const Bytes Body =
      BuildSections(F.At.Buf, F.Sections, F.Offset + F.HeaderSize, F.Offset + F.Size, F.Offset, WithPreset, Encoded);
  Out.insert(Out.end(), Body.begin(), Body.end());
  SetFileSize(Out, F);
  return Out;
}

// The sections of a list, the changed ones rebuilt: the others keep their
// bytes, and the alignment bytes between them stay until a section changes
// size; from there each starts at the next aligned offset.
Bytes Rebuilder::BuildSections(ByteView Buf, const std::vector<Section> &List, size_t Start, size_t End, size_t Base,
                               uint32_t WithPreset, unsigned &Encoded) const {
  Bytes Out;
  size_t Prev = Start; // where the previous section ended in Buf
  for (const Section &S : List) {
    if (Start + Out.size() == Prev) {
      AppendRange(Out, Buf, Prev, S.Offset); // the original alignment bytes
    } else {
      Out.resize(AlignUp(Start - Base + Out.size(), ffs::SectionAlignment) - (Start - Base), 0);
      if (ExecutesInPlace(S)) {
        throw Error("the section at " + Hex(S.Offset) + " holds an image that executes in place and would move");
      }
    }
    if (IsDirty(&S)) {
      const Bytes New = BuildSection(S, Base, WithPreset, Encoded);
      Out.insert(Out.end(), New.begin(), New.end());
    } else {
      AppendRange(Out, Buf, S.Offset, S.Offset + S.Size);
    }
    Prev = S.Offset + S.Size;
  }
  if (Start + Out.size() == Prev) {
    AppendRange(Out, Buf, Prev, End);
  }
  return Out;
}

Bytes Rebuilder::BuildSection(const Section &S, size_t Base, uint32_t WithPreset, unsigned &Encoded) const {
  Bytes Out;
  if (S.Type == ffs::SectionFirmwareVolumeImage) {
    const Volume &V = S.Volumes().front();
    Out = Slice(S.At.Buf, S.Offset, S.Offset + S.HeaderSize);
    const Bytes &NewVolume = Rebuilt.at(&V);
    Out.insert(Out.end(), NewVolume.begin(), NewVolume.end());
    AppendRange(Out, S.At.Buf, V.Offset + V.Length, S.Offset + S.Size);
  } else {
    Out = BuildEncapsulation(S, Base, WithPreset, Encoded);
  }
  SetSectionSize(Out, S.HeaderSize);
  return Out;
}

// An encapsulation around a changed volume: its header, then its sections
// rebuilt, encoded again where they were decoded. A stream whose decoded
// bytes come out as they were keeps its original bytes: an edit that leaves
// a volume as it was leaves the image as it was.
Bytes Rebuilder::BuildEncapsulation(const Section &S, size_t Base, uint32_t WithPreset, unsigned &Encoded) const {
  const Encapsulation *E = S.Encap();
  if (E == nullptr || (E->Decoded == nullptr && S.Type != ffs::SectionCompression)) {
    throw Error("the target FV sits inside GUID-defined section " + S.Definition().ToString() +
                ", whose contents this tool cannot change without breaking it");
  }
  const ByteView Buf = S.At.Buf;
  Bytes Out = Slice(Buf, S.Offset, S.Offset + E->DataOffset);
  Bytes Contents;
  if (E->Decoded != nullptr) {
    const auto Stream = std::make_shared<const Bytes>(
        BuildSections(*E->Decoded, E->Children, 0, E->Decoded->size(), 0, WithPreset, Encoded));
    const ByteView Original = Buf.subspan(S.Offset + E->DataOffset, S.Size - E->DataOffset);
    if (*Stream == *E->Decoded) {
      Contents.assign(Original.begin(), Original.end());
    } else {
      const Codec &C = CodecOf(E->Algorithm);
      Contents = C.Encode(*Stream, Original, WithPreset);
      // SEC and the DXE IPL decode this blind at boot: prove the round trip first.
      if (C.Decode(Contents, Stream->size()) != *Stream) {
        throw Error("recompressed stream does not decode back to the rewritten volume");
      }
      Known.Add(C, Contents, Stream);
      ++Encoded;
    }
    if (S.Type == ffs::SectionCompression) {
      WriteLe(Out.data() + S.HeaderSize, Stream->size(), sizeof(uint32_t)); // UncompressedLength
    }
  } else {
    Contents =
        BuildSections(Buf, E->Children, S.Offset + E->DataOffset, S.Offset + S.Size, Base, WithPreset, Encoded);
    WriteLe(Out.data() + S.HeaderSize, Contents.size(), sizeof(uint32_t)); // UncompressedLength
  }
  Out.insert(Out.end(), Contents.begin(), Contents.end());
  return Out;
}

// What the layout needs to know of the I-th file of V, but for its new bytes.
SlotFile Rebuilder::SlotOf(const Volume &V, size_t I) const {
  const File &F = V.Files[I];
  SlotFile Slot;
  Slot.Name = F.Name.ToString();
  Slot.Start = F.Offset - V.Offset;
  Slot.SlotEnd = I + 1 < V.Files.size() ? V.Files[I + 1].Offset - V.Offset : V.FreeOffset;
  Slot.Xip = ExecutesInPlace(F);
  if (const char *Anchor = AnchorOf(F)) {
    Slot.Anchor = Anchor;
  }
  return Slot;
}

// What the layout needs to know of V's files, and the bytes each new or
// rebuilt one gets (Sources: V's files, then the added ones).
LayoutInput Rebuilder::LayoutOf(const Volume &V, std::vector<const Bytes *> &Sources) const {
  const VolumePlan &Plan = PlanFor(V);
  LayoutInput In;
  In.Volume = VolumeName(V);
  In.Length = V.Length;
  In.FilesOffset = V.FilesOffset;
  In.FreeOffset = V.FreeOffset;
  In.FreeSpaceErased = V.FreeSpaceErased;
  In.CanGrow = V.At.CanGrow;
  In.Ffs3 = V.FileSystem == guids::Ffs3FileSystem;
  for (size_t I = 0; I < V.Files.size(); ++I) {
    const File &F = V.Files[I];
    SlotFile Slot = SlotOf(V, I);
    const auto Named = Plan.Changes.find(&F);
    const Bytes *Data = Named != Plan.Changes.end() ? Named->second.NewBytes : NewBytes(&F);
    Slot.Given = Named != Plan.Changes.end();
    In.Recompressed = In.Recompressed || (!Slot.Given && Data != nullptr);
    if (Slot.Given && Named->second.Remove) {
      Slot.Action = SlotFile::Fate::Remove;
    } else if (Data != nullptr) {
      Slot.Action = SlotFile::Fate::Write;
      Slot.NewSize = Data->size();
      Slot.HeaderSize = FileHeaderSizeOf(*Data);
      Slot.Alignment = FileDataAlignment(*Data);
    }
    In.Files.push_back(Slot);
    Sources.push_back(Data);
  }
  for (const Bytes *Add : Plan.Adds) {
    In.Adds.push_back({Add->size(), FileHeaderSizeOf(*Add), FileDataAlignment(*Add)});
    Sources.push_back(Add);
  }
  return In;
}

Bytes Rebuilder::RebuildVolume(const Volume &V) {
  Volumes.pop_back();
  std::vector<const Bytes *> Sources;
  const LayoutInput In = LayoutOf(V, Sources);
  const LayoutPlan Plan = PlanLayout(In);
  if (Plan.Refusal) {
    throw Error(*Plan.Refusal);
  }
  const ByteView Original = V.At.Buf.subspan(V.Offset, V.Length);
  Bytes Out = EmitLayout(Original, In, Plan, Sources, V);
  size_t Length = V.Length;
  if (Plan.Grows(In)) {
    try {
      Length = GrownLength(Original, V.HeaderLength, Plan.End, Plan.Tail);
    } catch (const Error &E) {
      throw Error("no room in FV " + In.Volume + " and " + E.what());
    }
    Out.resize(Length, V.EraseByte());
    WriteVolumeLength(Out, V.HeaderLength, Length);
  }
  Summary.Volumes.push_back(
      {In.Volume, V.At.Depth, V.FreeSize(), Length - std::min(Length, Plan.Tail), Length - V.Length, MovesOf(V, In, Plan)});
  return Out;
}

} // namespace

Bytes RewriteImage(ByteView ImageData, const Image &Img, const EditPlans &Plans, uint32_t Preset,
                   EditSummary &Summary, KnownStreams &Known) {
  std::set<const void *> Dirty;
  DirtyMarker Marker(Plans, Dirty);
  Walk(Img, Marker);
  Rebuilder R(Img, Plans, Dirty, Preset, Summary, Known);
  Walk(Img, R);
  Bytes Out(ImageData.begin(), ImageData.end());
  for (const Volume &V : Img.Volumes) {
    if (const Bytes *New = R.NewBytes(&V)) {
      std::copy(New->begin(), New->end(), Out.begin() + static_cast<std::ptrdiff_t>(V.Offset));
    }
  }
  std::stable_sort(Summary.Volumes.begin(), Summary.Volumes.end(),
                   [](const VolumeChange &A, const VolumeChange &B) { return A.Depth < B.Depth; });
  return Out;
}

} // namespace fwimage
