#include "Insert.h"

#include <algorithm>
#include <set>

#include "Descriptor.h"
#include "Ffs.h"
#include "Lzma.h"

namespace fwimage {

namespace {

std::string VolumeName(const Volume &V) {
  return V.Name ? V.Name->ToString() : "at " + Hex(V.Offset);
}

// One step of the way from the image down to the target volume that the
// rewrite must undo in reverse: a file whose checksum covers the target, a
// compressed section (a new buffer below it), or a section whose contents
// must not change.
struct Frame {
  const Volume *Fv = nullptr;   // holds Holder
  const File *Holder = nullptr; // the file itself, or the file the section is a top-level section of
  const Section *Encapsulation = nullptr; // null for a file frame
};

class TargetSearch {
public:
  explicit TargetSearch(const InsertOptions &Options) : Options(Options) {}

  const Volume *Target = nullptr;
  std::vector<Frame> Path;
  std::vector<std::string> Unopened; // GUIDs of sections the search could not look into

  bool InVolumes(const std::vector<Volume> &Volumes) {
    for (const Volume &V : Volumes) {
      if (IsTarget(V)) {
        Target = &V;
        return true;
      }
      for (const File &F : V.Files) {
        Path.push_back({&V, &F, nullptr});
        for (const Section &S : F.Sections) {
          if (InSection(S, &V, &F)) {
            return true;
          }
        }
        Path.pop_back();
      }
    }
    return false;
  }

private:
  bool IsTarget(const Volume &V) const {
    if (Options.TargetVolume) {
      return V.Name && *V.Name == *Options.TargetVolume;
    }
    return std::any_of(V.Files.begin(), V.Files.end(),
                       [](const File &F) { return F.Type == ffs::TypeDxeCore && !F.Deleted; });
  }

  // Fv/Holder are set only for a file's top-level sections.
  bool InSection(const Section &S, const Volume *Fv, const File *Holder) {
    if (S.Opaque) {
      Unopened.push_back(S.Type == ffs::SectionGuidDefined ? "GUID " + S.Definition.ToString()
                                                           : "compression section at " + Hex(S.Offset));
      return false;
    }
    if (InVolumes(S.Volumes)) {
      return true;
    }
    const bool Rewrites = S.Decoded != nullptr || S.Type == ffs::SectionGuidDefined;
    if (Rewrites) {
      Path.push_back({Fv, Holder, &S});
    }
    for (const Section &Child : S.Children) {
      if (InSection(Child, nullptr, nullptr)) {
        return true;
      }
    }
    if (Rewrites) {
      Path.pop_back();
    }
    return false;
  }

  const InsertOptions &Options;
};

struct NewFile {
  File Parsed;
  const Bytes *Data;
};

void AddFiles(Bytes &Buf, const Volume &V, const std::vector<NewFile> &Files, InsertSummary &Summary) {
  const std::string Name = VolumeName(V);
  if (!V.FfsFileSystem) {
    throw Error("FV " + Name + " has no FFS file system");
  }
  if (!V.FreeSpaceErased) {
    throw Error("FV " + Name + ": its free space holds data; refusing to write over it");
  }
  std::set<Guid> Present;
  for (const File &F : V.Files) {
    if (!F.Deleted && F.Type != ffs::TypePad) {
      Present.insert(F.Name);
    }
  }
  std::vector<size_t> At;
  size_t Pos = V.FreeOffset;
  for (const NewFile &N : Files) {
    if (!Present.insert(N.Parsed.Name).second) {
      throw Error("duplicate file GUID " + N.Parsed.Name.ToString() + " in FV " + Name);
    }
    if (N.Parsed.HeaderSize == ffs::FileHeader2Size && V.FileSystem != guids::Ffs3FileSystem) {
      throw Error("file " + N.Parsed.Name.ToString() + " has a large-file header; FV " + Name +
                  " is not FFS3");
    }
    Pos = AlignUp(Pos, ffs::FileAlignment);
    At.push_back(Pos);
    Pos += N.Data->size();
  }
  if (Pos > V.Length) {
    throw Error("no room in FV " + Name + ": the files need " + Hex(Pos - V.FreeOffset) + " bytes, " +
                Hex(V.FreeSize()) + " are free");
  }
  for (size_t I = 0; I < Files.size(); ++I) {
    uint8_t *Out = Buf.data() + V.Offset + At[I];
    std::copy(Files[I].Data->begin(), Files[I].Data->end(), Out);
    // State is outside both checksums: set it for this volume's erase polarity.
    Out[ffs::StateOffset] = V.ErasePolarity ? ffs::StateCompleteErasedHigh : ffs::StateComplete;
  }
  Summary.TargetVolume = Name;
  Summary.TargetFreeBefore = V.FreeSize();
  Summary.TargetFreeAfter = V.Length - std::min(V.Length, AlignUp(Pos, ffs::FileAlignment));
}

// Puts NewData in place of the compressed data of Frame's section, resizing
// the section and its file; the file must be able to grow or shrink in place.
void ReplaceCompressed(Bytes &Buf, const Frame &F, const Bytes &NewData, InsertSummary &Summary) {
  const Section &S = *F.Encapsulation;
  const std::string What = "compressed section " + S.Definition.ToString();
  if (F.Holder == nullptr) {
    throw Error(What + " sits inside another section; resizing it would move its neighbours");
  }
  const File &Fl = *F.Holder;
  const Volume &V = *F.Fv;
  const std::string Name = VolumeName(V);

  Bytes NewSection(Buf.begin() + static_cast<std::ptrdiff_t>(S.Offset),
                   Buf.begin() + static_cast<std::ptrdiff_t>(S.Offset + S.DataOffset));
  NewSection.insert(NewSection.end(), NewData.begin(), NewData.end());
  if (S.HeaderSize == ffs::SectionHeaderSize) {
    if (NewSection.size() >= ffs::MaxSize24) {
      throw Error(What + ": recompressed section does not fit a 24-bit size");
    }
    WriteLe(NewSection.data(), NewSection.size(), ffs::Size24Width);
  } else {
    WriteLe(NewSection.data() + ffs::SectionHeaderSize, NewSection.size(), ffs::SectionExtendedSizeWidth);
  }

  Bytes NewFile(Buf.begin() + static_cast<std::ptrdiff_t>(Fl.Offset),
                Buf.begin() + static_cast<std::ptrdiff_t>(S.Offset));
  NewFile.insert(NewFile.end(), NewSection.begin(), NewSection.end());
  const size_t OldFollowers = AlignUp(S.Offset + S.Size - Fl.Offset, ffs::SectionAlignment);
  if (OldFollowers < Fl.Size) {
    NewFile.resize(AlignUp(NewFile.size(), ffs::SectionAlignment), 0);
    NewFile.insert(NewFile.end(), Buf.begin() + static_cast<std::ptrdiff_t>(Fl.Offset + OldFollowers),
                   Buf.begin() + static_cast<std::ptrdiff_t>(Fl.Offset + Fl.Size));
  }
  if (Fl.HeaderSize == ffs::FileHeaderSize) {
    if (NewFile.size() > ffs::MaxSize24) {
      throw Error("file " + Fl.Name.ToString() + ": recompressed file does not fit a 24-bit size");
    }
    WriteLe(NewFile.data() + ffs::SizeOffset, NewFile.size(), ffs::Size24Width);
  } else {
    WriteLe(NewFile.data() + ffs::ExtendedSizeOffset, NewFile.size(), sizeof(uint64_t));
  }
  SealFfsFile(NewFile.data(), Fl.HeaderSize, NewFile.size());

  const size_t FileAt = Fl.Offset - V.Offset; // relative to the volume
  const bool Last = &Fl == &V.Files.back();
  const size_t OldEnd = FileAt + Fl.Size;
  const size_t NewEnd = FileAt + NewFile.size();
  if (Last) {
    if (NewEnd > V.Length) {
      throw Error("no room in FV " + Name + " after recompression: file " + Fl.Name.ToString() + " needs " +
                  Hex(NewFile.size()) + " bytes, " + Hex(V.Length - FileAt) + " are available");
    }
    if (NewEnd > OldEnd && !V.FreeSpaceErased) {
      throw Error("FV " + Name + ": its free space holds data; refusing to grow a file over it");
    }
  } else if (AlignUp(NewEnd, ffs::FileAlignment) != AlignUp(OldEnd, ffs::FileAlignment)) {
    throw Error("file " + Fl.Name.ToString() + " is not the last in FV " + Name +
                "; the files after it would have to move");
  }
  uint8_t *Base = Buf.data() + V.Offset;
  std::copy(NewFile.begin(), NewFile.end(), Base + FileAt);
  if (NewEnd < OldEnd) {
    std::fill(Base + NewEnd, Base + OldEnd, V.EraseByte());
  }
  Summary.OuterVolume = Name;
  Summary.OuterFreeBefore = V.FreeSize();
  Summary.OuterFreeAfter = Last ? V.Length - std::min(V.Length, AlignUp(NewEnd, ffs::FileAlignment))
                                : V.FreeSize();
}

} // namespace

Bytes InsertFiles(ByteView ImageData, const std::vector<Bytes> &Files, const InsertOptions &Options,
                  InsertSummary *Summary, const ParseLimits &Limits) {
  if (Files.empty()) {
    throw Error("no FFS files to insert");
  }
  std::vector<NewFile> Parsed;
  for (const Bytes &Data : Files) {
    NewFile N{ParseStandaloneFile(Data, Limits), &Data};
    if ((N.Parsed.Attributes & (ffs::AttribDataAlignmentMask | ffs::AttribDataAlignment2)) != 0) {
      throw Error("file " + N.Parsed.Name.ToString() + " asks for data alignment above 8 bytes (not supported)");
    }
    Parsed.push_back(std::move(N));
  }

  // Volumes only where the image keeps them: in a full flash image, the BIOS region.
  const Image Img = ParseVolumeArea(ImageData, Limits);
  TargetSearch Search(Options);
  if (!Search.InVolumes(Img.Volumes)) {
    const std::string Wanted =
        Options.TargetVolume ? "no FV named " + Options.TargetVolume->ToString() : "no FV holds a DXE core";
    if (!Search.Unopened.empty()) {
      throw Error(Wanted + " in sight: unknown compression " + Search.Unopened.front() +
                  " on the way could not be opened");
    }
    throw Error(Wanted + " in this image");
  }

  // Buffers[0] is the image; each compressed section on the way adds the
  // stream it decodes to.
  std::vector<Bytes> Buffers;
  Buffers.emplace_back(ImageData.begin(), ImageData.end());
  for (const Frame &F : Search.Path) {
    if (F.Encapsulation == nullptr) {
      continue;
    }
    if (F.Encapsulation->Decoded == nullptr) {
      throw Error("the target FV sits inside GUID-defined section " + F.Encapsulation->Definition.ToString() +
                  ", whose contents this tool cannot change without breaking it");
    }
    Buffers.push_back(*F.Encapsulation->Decoded);
  }

  InsertSummary Local;
  AddFiles(Buffers.back(), *Search.Target, Parsed, Local);
  Local.OuterVolume = Local.TargetVolume;
  Local.OuterFreeBefore = Local.TargetFreeBefore;
  Local.OuterFreeAfter = Local.TargetFreeAfter;
  size_t Level = Buffers.size() - 1;
  for (size_t I = Search.Path.size(); I-- > 0;) {
    const Frame &F = Search.Path[I];
    if (F.Encapsulation == nullptr) {
      // The file holds the changed volume (an FV-image file): its data
      // checksum, if it has one, must cover the new bytes. Its size is read
      // back, as a recompression below may have just changed it.
      uint8_t *At = Buffers[Level].data() + F.Holder->Offset;
      const size_t Size = F.Holder->HeaderSize == ffs::FileHeaderSize
                              ? ReadU24(Buffers[Level], F.Holder->Offset + ffs::SizeOffset)
                              : static_cast<size_t>(ReadU64(Buffers[Level], F.Holder->Offset + ffs::ExtendedSizeOffset));
      SealFfsFile(At, F.Holder->HeaderSize, Size);
      continue;
    }
    const Section &S = *F.Encapsulation;
    const ByteView Original = ByteView(Buffers[Level - 1]).subspan(S.Offset + S.DataOffset, S.Size - S.DataOffset);
    const Bytes Compressed = LzmaEncodeLike(Buffers[Level], Original, Options.Preset);
    // SEC decodes this blind at boot: prove the round trip before writing it.
    if (LzmaDecode(Compressed, Buffers[Level].size()) != Buffers[Level]) {
      throw Error("recompressed stream does not decode back to the rewritten volume");
    }
    ReplaceCompressed(Buffers[Level - 1], F, Compressed, Local);
    ++Local.Recompressed;
    --Level;
  }
  if (Summary != nullptr) {
    *Summary = Local;
  }
  Bytes Result = std::move(Buffers.front());
  return Result;
}

} // namespace fwimage
