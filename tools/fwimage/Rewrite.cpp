#include "Rewrite.h"

#include <algorithm>
#include <array>
#include <deque>
#include <set>

#include "Ffs.h"
#include "Lzma.h"

namespace fwimage {

namespace {

// FFS_ATTRIB_DATA_ALIGNMENT (bits 5:3) in bytes.
constexpr std::array<size_t, 8> DataAlignments{1, 16, 128, 512, 1024, 4096, 32768, 65536};
constexpr unsigned DataAlignmentShift = 3;

size_t HeaderSizeOf(ByteView FileData) {
  return (FileData[ffs::AttributesOffset] & ffs::AttribLargeFile) != 0 ? ffs::FileHeader2Size : ffs::FileHeaderSize;
}

bool SectionsExecuteInPlace(const std::vector<Section> &Sections) {
  for (const Section &S : Sections) {
    if (S.Type == ffs::SectionTe) {
      return true;
    }
    for (const Volume &V : S.Volumes) {
      if (std::any_of(V.Files.begin(), V.Files.end(),
                      [](const File &F) { return !F.Deleted && ExecutesInPlace(F, false); })) {
        return true;
      }
    }
    // What a compressed section holds is decoded into RAM first.
    if (S.Decoded == nullptr && SectionsExecuteInPlace(S.Children)) {
      return true;
    }
  }
  return false;
}

void IndexSections(ByteView Buf, const std::vector<Section> &List, bool Compressed, bool StreamTop, unsigned Depth,
                   SiteIndex &Out);

void IndexVolume(ByteView Buf, const Volume &V, bool Compressed, bool CanGrow, unsigned Depth, SiteIndex &Out) {
  Out.Volumes.push_back({&V, Buf, Compressed, CanGrow, Depth});
  for (const File &F : V.Files) {
    IndexSections(Buf, F.Sections, Compressed, false, Depth + 1, Out);
  }
}

// A volume may grow only where nothing follows it and nothing shares its
// stream: the firmware that decodes a stream holding several volumes (OVMF's
// PEI and DXE volumes) places each at a fixed address with a fixed size.
bool GrowableAt(const std::vector<Section> &List, size_t Index, bool StreamTop) {
  const auto Volumes = std::count_if(List.begin(), List.end(),
                                     [](const Section &S) { return S.Type == ffs::SectionFirmwareVolumeImage; });
  return StreamTop && Volumes == 1 && Index + 1 == List.size();
}

void IndexSections(ByteView Buf, const std::vector<Section> &List, bool Compressed, bool StreamTop, unsigned Depth,
                   SiteIndex &Out) {
  for (size_t I = 0; I < List.size(); ++I) {
    const Section &S = List[I];
    if (S.Opaque) {
      Out.Unopened.push_back(S.Type == ffs::SectionGuidDefined ? "GUID " + S.Definition.ToString()
                                                               : "compression section at " + Hex(S.Offset));
      continue;
    }
    for (const Volume &V : S.Volumes) {
      IndexVolume(Buf, V, Compressed, GrowableAt(List, I, StreamTop), Depth, Out);
    }
    if (S.Decoded) {
      IndexSections(*S.Decoded, S.Children, true, true, Depth, Out);
    } else {
      IndexSections(Buf, S.Children, Compressed, false, Depth, Out);
    }
  }
}

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

Bytes Slice(ByteView Buf, size_t From, size_t To) { return Bytes(Buf.begin() + static_cast<std::ptrdiff_t>(From), Buf.begin() + static_cast<std::ptrdiff_t>(To)); }

void AppendRange(Bytes &Out, ByteView Buf, size_t From, size_t To) {
  Out.insert(Out.end(), Buf.begin() + static_cast<std::ptrdiff_t>(From), Buf.begin() + static_cast<std::ptrdiff_t>(To));
}

class Rewriter {
public:
  Rewriter(const std::map<const Volume *, VolumePlan> &Plans, uint32_t Preset, EditSummary &Summary)
      : Plans(Plans), Preset(Preset), Summary(Summary) {}

  bool MarkVolume(const Volume &V) {
    bool Changed = Plans.count(&V) != 0;
    for (const File &F : V.Files) {
      if (MarkSections(F.Sections)) {
        Dirty.insert(&F);
        Changed = true;
      }
    }
    if (Changed) {
      Dirty.insert(&V);
    }
    return Changed;
  }

  Bytes RebuildVolume(ByteView Buf, const Volume &V, bool Compressed, bool CanGrow, unsigned Depth);

private:
  bool MarkSections(const std::vector<Section> &List) {
    bool Any = false;
    for (const Section &S : List) {
      bool Changed = false;
      for (const Volume &V : S.Volumes) {
        Changed = MarkVolume(V) || Changed;
      }
      Changed = MarkSections(S.Children) || Changed;
      if (Changed) {
        Dirty.insert(&S);
        Any = true;
      }
    }
    return Any;
  }

  Bytes RebuildFile(ByteView Buf, const File &F, bool Compressed, unsigned Depth);
  Bytes RebuildSections(ByteView Buf, const std::vector<Section> &List, size_t Start, size_t End, size_t Base,
                        bool Compressed, bool StreamTop, unsigned Depth);
  Bytes RebuildSection(ByteView Buf, const Section &S, size_t Base, bool Compressed, bool CanGrow, unsigned Depth);

  const std::map<const Volume *, VolumePlan> &Plans;
  uint32_t Preset;
  EditSummary &Summary;
  std::set<const void *> Dirty;
};

// One file to place: its bytes, and whether State is to be set for the volume
// (files given by the user) or kept (files rebuilt around a changed volume).
struct Placement {
  const Bytes *Data;
  bool Given;
};

Bytes Rewriter::RebuildVolume(ByteView Buf, const Volume &V, bool Compressed, bool CanGrow, unsigned Depth) {
  const std::string Name = VolumeName(V);
  if (!V.FfsFileSystem) {
    throw Error("FV " + Name + " has no FFS file system");
  }
  static const VolumePlan NoPlan;
  const auto PlanIt = Plans.find(&V);
  const VolumePlan &Plan = PlanIt != Plans.end() ? PlanIt->second : NoPlan;

  const size_t N = V.Files.size();
  std::vector<FileChange> Change(N);
  std::vector<bool> Given(N, false);
  std::deque<Bytes> Rebuilt; // stable addresses for Change[i].NewBytes
  bool AnyRebuilt = false;
  for (size_t I = 0; I < N; ++I) {
    const File &F = V.Files[I];
    const auto It = Plan.Changes.find(&F);
    if (It != Plan.Changes.end()) {
      if (Dirty.count(&F) != 0) {
        throw Error("file " + F.Name.ToString() + " is named and holds a volume that changes too; change one at a time");
      }
      Change[I] = It->second;
      Given[I] = true;
    } else if (Dirty.count(&F) != 0) {
      Rebuilt.push_back(RebuildFile(Buf, F, Compressed, Depth));
      Change[I].NewBytes = &Rebuilt.back();
      AnyRebuilt = true;
    }
  }

  const uint8_t Erase = V.EraseByte();
  const uint8_t CompleteState = V.ErasePolarity ? ffs::StateCompleteErasedHigh : ffs::StateComplete;
  Bytes Out = Slice(Buf, V.Offset, V.Offset + V.Length);
  auto StartOf = [&](size_t I) { return V.Files[I].Offset - V.Offset; };
  auto SlotEnd = [&](size_t I) { return I + 1 < N ? StartOf(I + 1) : V.FreeOffset; };
  auto Put = [&](size_t At, const Placement &P) {
    const Bytes &D = *P.Data;
    if (At + D.size() > Out.size()) {
      Out.resize(At + D.size(), Erase);
    }
    std::copy(D.begin(), D.end(), Out.begin() + static_cast<std::ptrdiff_t>(At));
    if (P.Given) {
      // State is outside both checksums: set it for this volume's erase polarity.
      Out[At + ffs::StateOffset] = CompleteState;
    }
  };
  auto Pad = [&](size_t At, size_t Size) {
    if (At + Size > Out.size()) {
      Out.resize(At + Size, Erase);
    }
    WritePadFile(Out.data() + At, Size, V);
  };

  // Files past the last one that stays are simply gone: free space.
  size_t Kept = N;
  for (size_t I = N; I-- > 0;) {
    if (!Change[I].Remove) {
      Kept = I;
      break;
    }
  }
  size_t Tail = Kept == N ? V.FilesOffset : SlotEnd(Kept);
  size_t End = Tail;
  std::vector<Placement> Appends;
  for (size_t I = 0; I < N && I <= Kept; ++I) {
    const File &F = V.Files[I];
    const size_t Start = StartOf(I);
    const size_t Slot = SlotEnd(I) - Start;
    if (Change[I].Remove) {
      Pad(Start, Slot);
      continue;
    }
    if (Change[I].NewBytes == nullptr) {
      continue;
    }
    const Placement P{Change[I].NewBytes, Given[I]};
    const Bytes &D = *P.Data;
    const bool Aligned = (Start + HeaderSizeOf(D)) % FileDataAlignment(D) == 0;
    const bool Xip = ExecutesInPlace(F, Compressed);
    const size_t Need = AlignUp(D.size(), ffs::FileAlignment);
    if (I == Kept && Aligned) {
      if (Start + D.size() > V.FreeOffset && !V.FreeSpaceErased) {
        throw Error("FV " + Name + ": its free space holds data; refusing to grow a file over it");
      }
      std::fill(Out.begin() + static_cast<std::ptrdiff_t>(Start), Out.begin() + static_cast<std::ptrdiff_t>(Start + Slot), Erase);
      Put(Start, P);
      Tail = Start + Need;
      End = Start + D.size();
      continue;
    }
    if (I != Kept && Aligned && Need <= Slot && (Need == Slot || Slot - Need >= ffs::FileHeaderSize)) {
      std::fill(Out.begin() + static_cast<std::ptrdiff_t>(Start), Out.begin() + static_cast<std::ptrdiff_t>(Start + Slot), Erase);
      Put(Start, P);
      if (Need < Slot) {
        Pad(Start + Need, Slot - Need);
      }
      continue;
    }
    if (Xip) {
      const std::string Why =
          !Aligned ? "the new file's data alignment does not hold there"
          : Need > Slot
              ? "its new size " + Hex(D.size()) + " does not fit the " + Hex(Slot) + " bytes before the next file"
              : "it would leave " + std::to_string(Slot - Need) + " bytes before the next file, too few for a pad file";
      std::string Reason = "file " + F.Name.ToString() + " executes in place at " + Hex(Start) + " in FV ";
      Reason += Name;
      Reason += " and cannot move: ";
      Reason += Why;
      throw Error(Reason);
    }
    if (I == Kept) {
      // The last file moves within its own slot, to the alignment it needs.
      std::fill(Out.begin() + static_cast<std::ptrdiff_t>(Start), Out.begin() + static_cast<std::ptrdiff_t>(Start + Slot), Erase);
      Tail = End = Start;
      Appends.insert(Appends.begin(), P);
    } else {
      Pad(Start, Slot);
      Appends.push_back(P);
    }
  }
  for (const Bytes *Add : Plan.Adds) {
    Appends.push_back({Add, true});
  }
  for (const Placement &P : Appends) {
    const size_t From = AlignUp(Tail, ffs::FileAlignment);
    const size_t Align = FileDataAlignment(*P.Data);
    const size_t Header = HeaderSizeOf(*P.Data);
    size_t At = From;
    while ((At + Header) % Align != 0 || (At != From && At - From < ffs::FileHeaderSize)) {
      At += ffs::FileAlignment;
    }
    if (At + P.Data->size() > V.FreeOffset && !V.FreeSpaceErased) {
      throw Error("FV " + Name + ": its free space holds data; refusing to write over it");
    }
    if (At != From) {
      Pad(From, At - From);
    }
    Put(At, P);
    End = At + P.Data->size();
    Tail = AlignUp(End, ffs::FileAlignment);
  }

  size_t GrownBy = 0;
  if (End > V.Length) {
    if (!CanGrow) {
      throw Error("no room in FV " + Name + (AnyRebuilt ? " after recompression" : "") + ": " +
                  std::to_string(End - V.Length) + " bytes missing (" + Hex(V.FreeSize()) + " free)");
    }
    size_t Length = 0;
    try {
      Length = GrownVolumeLength(ByteView(Out).first(V.Length), V.HeaderLength, End);
      // Free space shorter than a file header reads, to some parsers, as a
      // file cut short: leave none or at least a header's worth.
      const size_t Free = Length - std::min(Length, Tail);
      if (Free != 0 && Free < ffs::FileHeaderSize) {
        Length = GrownVolumeLength(ByteView(Out).first(V.Length), V.HeaderLength, Tail + ffs::FileHeaderSize);
      }
    } catch (const Error &E) {
      throw Error("no room in FV " + Name + " and " + E.what());
    }
    Out.resize(Length, Erase);
    WriteVolumeLength(Out, V.HeaderLength, Length);
    GrownBy = Length - V.Length;
  } else {
    Out.resize(V.Length, Erase);
  }
  // What the old last files held past the new end is free space again.
  if (End < V.FreeOffset) {
    std::fill(Out.begin() + static_cast<std::ptrdiff_t>(End), Out.begin() + static_cast<std::ptrdiff_t>(V.FreeOffset), Erase);
  }
  Summary.Volumes.push_back({Name, Depth, V.FreeSize(), Out.size() - std::min(Out.size(), Tail), GrownBy});
  return Out;
}

Bytes Rewriter::RebuildFile(ByteView Buf, const File &F, bool Compressed, unsigned Depth) {
  Bytes Out = Slice(Buf, F.Offset, F.Offset + F.HeaderSize);
  const Bytes Body = RebuildSections(Buf, F.Sections, F.Offset + F.HeaderSize, F.Offset + F.Size, F.Offset,
                                     Compressed, false, Depth);
  Out.insert(Out.end(), Body.begin(), Body.end());
  if (F.HeaderSize == ffs::FileHeaderSize) {
    if (Out.size() > ffs::MaxSize24) {
      throw Error("file " + F.Name.ToString() + " would grow to " + Hex(Out.size()) + " bytes, past its 24-bit size field");
    }
    WriteLe(Out.data() + ffs::SizeOffset, Out.size(), ffs::Size24Width);
  } else {
    WriteLe(Out.data() + ffs::ExtendedSizeOffset, Out.size(), sizeof(uint64_t));
  }
  SealFfsFile(Out.data(), F.HeaderSize, Out.size());
  return Out;
}

Bytes Rewriter::RebuildSections(ByteView Buf, const std::vector<Section> &List, size_t Start, size_t End, size_t Base,
                                bool Compressed, bool StreamTop, unsigned Depth) {
  Bytes Out;
  size_t Prev = Start; // where the previous section ended in Buf
  for (size_t I = 0; I < List.size(); ++I) {
    const Section &S = List[I];
    if (Start + Out.size() == Prev) {
      AppendRange(Out, Buf, Prev, S.Offset); // the original alignment bytes
    } else {
      Out.resize(AlignUp(Start - Base + Out.size(), ffs::SectionAlignment) - (Start - Base), 0);
      if (!Compressed && SectionsExecuteInPlace({S})) {
        throw Error("the section at " + Hex(S.Offset) + " holds an image that executes in place and would move");
      }
    }
    if (Dirty.count(&S) != 0) {
      const Bytes New = RebuildSection(Buf, S, Base, Compressed, GrowableAt(List, I, StreamTop), Depth);
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

Bytes Rewriter::RebuildSection(ByteView Buf, const Section &S, size_t Base, bool Compressed, bool CanGrow,
                               unsigned Depth) {
  const size_t Data = S.Offset + S.HeaderSize;
  const size_t SectionEnd = S.Offset + S.Size;
  Bytes Out;
  if (S.Type == ffs::SectionFirmwareVolumeImage) {
    const Volume &V = S.Volumes.front();
    Out = Slice(Buf, S.Offset, Data);
    const Bytes NewVolume = RebuildVolume(Buf, V, Compressed, CanGrow, Depth + 1);
    Out.insert(Out.end(), NewVolume.begin(), NewVolume.end());
    AppendRange(Out, Buf, V.Offset + V.Length, SectionEnd);
  } else if (S.Decoded != nullptr) {
    const Bytes Stream = RebuildSections(*S.Decoded, S.Children, 0, S.Decoded->size(), 0, true, true, Depth);
    const ByteView Original = Buf.subspan(S.Offset + S.DataOffset, S.Size - S.DataOffset);
    const Bytes Encoded = LzmaEncodeLike(Stream, Original, Preset);
    // SEC and the DXE IPL decode this blind at boot: prove the round trip first.
    if (LzmaDecode(Encoded, Stream.size()) != Stream) {
      throw Error("recompressed stream does not decode back to the rewritten volume");
    }
    ++Summary.Recompressed;
    Out = Slice(Buf, S.Offset, S.Offset + S.DataOffset);
    Out.insert(Out.end(), Encoded.begin(), Encoded.end());
  } else if (S.Type == ffs::SectionCompression) {
    const size_t Children = Data + ffs::CompressionFieldsSize;
    Out = Slice(Buf, S.Offset, Children);
    const Bytes Inner = RebuildSections(Buf, S.Children, Children, SectionEnd, Base, Compressed, false, Depth);
    Out.insert(Out.end(), Inner.begin(), Inner.end());
    WriteLe(Out.data() + S.HeaderSize, Inner.size(), sizeof(uint32_t)); // UncompressedLength
  } else {
    throw Error("the target FV sits inside GUID-defined section " + S.Definition.ToString() +
                ", whose contents this tool cannot change without breaking it");
  }
  SetSectionSize(Out, S.HeaderSize);
  return Out;
}

} // namespace

std::string VolumeName(const Volume &V) { return V.Name ? V.Name->ToString() : "at " + Hex(V.Offset); }

bool ExecutesInPlace(const File &F, bool Compressed) {
  if (Compressed) {
    return false;
  }
  switch (F.Type) {
  case ffs::TypeSecurityCore:
  case ffs::TypePeiCore:
  case ffs::TypePeim:
  case ffs::TypeCombinedPeimDriver:
    return true;
  default:
    return SectionsExecuteInPlace(F.Sections);
  }
}

SiteIndex IndexVolumes(ByteView ImageData, const Image &Img) {
  SiteIndex Out;
  for (const Volume &V : Img.Volumes) {
    IndexVolume(ImageData, V, false, false, 0, Out);
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

void WritePadFile(uint8_t *At, size_t Size, const Volume &V) {
  const bool Large = Size > ffs::MaxSize24;
  if (Large && V.FileSystem != guids::Ffs3FileSystem) {
    throw Error("a gap of " + Hex(Size) + " bytes needs a large pad file; FV " + VolumeName(V) + " is not FFS3");
  }
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

Bytes RewriteImage(ByteView ImageData, const Image &Img, const std::map<const Volume *, VolumePlan> &Plans,
                   uint32_t Preset, EditSummary &Summary) {
  Rewriter R(Plans, Preset, Summary);
  Bytes Out(ImageData.begin(), ImageData.end());
  for (const Volume &V : Img.Volumes) {
    if (!R.MarkVolume(V)) {
      continue;
    }
    const Bytes New = R.RebuildVolume(ImageData, V, false, false, 0);
    std::copy(New.begin(), New.end(), Out.begin() + static_cast<std::ptrdiff_t>(V.Offset));
  }
  std::stable_sort(Summary.Volumes.begin(), Summary.Volumes.end(),
                   [](const VolumeChange &A, const VolumeChange &B) { return A.Depth < B.Depth; });
  return Out;
}

} // namespace fwimage
