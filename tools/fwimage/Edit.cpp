#include "Edit.h"

#include <algorithm>
#include <array>
#include <set>

#include "Descriptor.h"
#include "Ffs.h"
#include "Machine.h"

namespace fwimage {

namespace {

// APRIORI files: the GUIDs of the files a dispatcher runs first, in order, as
// the body of a RAW section.
const Guid PeiApriori = *Guid::Parse("1B45CC0A-156A-428A-AF62-49864DA0E6E6");
const Guid DxeApriori = *Guid::Parse("FC510EE7-FFDC-11D4-BD41-0080C73C8881");

struct SectionKindName {
  SectionKind Kind;
  const char *Name;
};
constexpr std::array<SectionKindName, 6> SectionKindNames{{
    {SectionKind::Pe32, "pe32"},
    {SectionKind::Te, "te"},
    {SectionKind::Raw, "raw"},
    {SectionKind::Ui, "ui"},
    {SectionKind::Depex, "depex"},
    {SectionKind::Version, "version"},
}};

bool IsKind(uint8_t Type, SectionKind Kind) {
  switch (Kind) {
  case SectionKind::Pe32:
    return Type == ffs::SectionPe32;
  case SectionKind::Te:
    return Type == ffs::SectionTe;
  case SectionKind::Raw:
    return Type == ffs::SectionRaw;
  case SectionKind::Ui:
    return Type == ffs::SectionUserInterface;
  case SectionKind::Depex:
    return Type == ffs::SectionPeiDepex || Type == ffs::SectionDxeDepex || Type == ffs::SectionSmmDepex;
  case SectionKind::Version:
    return Type == ffs::SectionVersion;
  }
  return false;
}

struct FileSite {
  const File *F = nullptr;
  const VolumeSite *Site = nullptr;
};

std::string Where(const std::optional<Guid> &Volume) {
  return Volume ? "in FV " + Volume->ToString() : "in this image";
}

void CheckName(const Guid &Name) {
  if (Name.IsAll(0xFF)) {
    throw Error("GUID " + Name.ToString() + " names every pad file, not one file");
  }
}

// The volumes in scope: all, or the one --fv names.
std::vector<const VolumeSite *> InScope(const SiteIndex &Index, const std::optional<Guid> &Volume) {
  std::vector<const VolumeSite *> Out;
  for (const VolumeSite &S : Index.Volumes) {
    if (!Volume || (S.Fv->Name && *S.Fv->Name == *Volume)) {
      Out.push_back(&S);
    }
  }
  if (Out.empty()) {
    throw Error("no FV named " + Volume->ToString() + " in this image");
  }
  return Out;
}

// The one live file of that GUID in scope.
FileSite FindOne(const SiteIndex &Index, const Guid &Name, const std::optional<Guid> &Volume) {
  CheckName(Name);
  std::vector<FileSite> Found;
  for (const VolumeSite *S : InScope(Index, Volume)) {
    for (const File &F : S->Fv->Files) {
      if (!F.Deleted && F.Name == Name) {
        Found.push_back({&F, S});
      }
    }
  }
  if (Found.empty()) {
    std::string Why = "no file " + Name.ToString() + " " + Where(Volume);
    if (!Index.Unopened.empty()) {
      Why += " (unknown compression " + Index.Unopened.front() + " could not be opened)";
    }
    throw Error(Why);
  }
  if (Found.size() > 1) {
    throw Error("file " + Name.ToString() + " is in " + std::to_string(Found.size()) +
                " places; name its volume with --fv");
  }
  return Found.front();
}

const Section *FindSection(ByteView Buf, const std::vector<Section> &List, SectionKind Kind, ByteView &SectionBuf) {
  for (const Section &S : List) {
    if (IsKind(S.Type, Kind)) {
      SectionBuf = Buf;
      return &S;
    }
    if (const Section *Inner = FindSection(S.Decoded ? ByteView(*S.Decoded) : Buf, S.Children, Kind, SectionBuf)) {
      return Inner;
    }
  }
  return nullptr;
}

// The GUIDs an APRIORI file lists.
std::vector<Guid> AprioriList(ByteView Buf, const File &F) {
  std::vector<Guid> Out;
  ByteView SectionBuf;
  if (const Section *Raw = FindSection(Buf, F.Sections, SectionKind::Raw, SectionBuf)) {
    for (size_t At = Raw->Offset + Raw->HeaderSize; At + Guid::Size <= Raw->Offset + Raw->Size; At += Guid::Size) {
      Out.push_back(Guid::FromBytes(SectionBuf, At));
    }
  }
  return Out;
}

size_t CountFiles(const SiteIndex &Index, const Guid &Name) {
  size_t Count = 0;
  for (const VolumeSite &S : Index.Volumes) {
    Count += static_cast<size_t>(std::count_if(S.Fv->Files.begin(), S.Fv->Files.end(),
                                               [&](const File &F) { return !F.Deleted && F.Name == Name; }));
  }
  return Count;
}

bool HoldsBytes(const SiteIndex &Index, const Bytes &Data) {
  const Guid Name = Guid::FromBytes(Data, 0);
  for (const VolumeSite &S : Index.Volumes) {
    for (const File &F : S.Fv->Files) {
      if (F.Deleted || F.Name != Name || F.Size != Data.size()) {
        continue;
      }
      // State is set for the volume; every other byte is the given file's.
      const ByteView Got = S.Buf.subspan(F.Offset, F.Size);
      if (std::equal(Got.begin(), Got.begin() + ffs::StateOffset, Data.begin()) &&
          std::equal(Got.begin() + ffs::StateOffset + 1, Got.end(), Data.begin() + ffs::StateOffset + 1)) {
        return true;
      }
    }
  }
  return false;
}

struct GivenFile {
  File Parsed;
  const Bytes *Data;
};

std::vector<GivenFile> ParseGiven(const std::vector<Bytes> &Files, const ParseLimits &Limits) {
  std::vector<GivenFile> Out;
  std::set<Guid> Seen;
  for (const Bytes &Data : Files) {
    GivenFile G{ParseStandaloneFile(Data, Limits), &Data};
    CheckName(G.Parsed.Name);
    if (!Seen.insert(G.Parsed.Name).second) {
      throw Error("duplicate file GUID " + G.Parsed.Name.ToString() + " among the files given");
    }
    FileDataAlignment(Data);
    Out.push_back(std::move(G));
  }
  return Out;
}

void CheckFits(const GivenFile &G, const VolumeSite &Site) {
  const std::string Name = VolumeName(*Site.Fv);
  if (G.Parsed.HeaderSize == ffs::FileHeader2Size && Site.Fv->FileSystem != guids::Ffs3FileSystem) {
    throw Error("file " + G.Parsed.Name.ToString() + " has a large-file header; FV " + Name + " is not FFS3");
  }
  CheckFileMachine(G.Parsed, *Site.Fv, Name);
}

} // namespace

std::optional<SectionKind> ParseSectionKind(std::string_view Name) {
  for (const SectionKindName &Row : SectionKindNames) {
    if (Name == Row.Name) {
      return Row.Kind;
    }
  }
  return std::nullopt;
}

void VerifyEdit(const SiteIndex &OldIndex, ByteView After, const std::vector<Bytes> &Added,
                const std::vector<Bytes> &Replaced, const std::vector<Guid> &Removed, const ParseLimits &Limits) {
  if (OldIndex.Volumes.empty() || After.size() != OldIndex.Volumes.front().Buf.size()) {
    throw Error("the rewritten image changed size");
  }
  Image New;
  try {
    New = ParseVolumeArea(After, Limits);
  } catch (const Error &E) {
    throw Error(std::string("the rewritten image does not read back: ") + E.what());
  }
  const SiteIndex NewIndex = IndexVolumes(After, New);
  auto Expect = [&](const Guid &Name, size_t Want) {
    if (CountFiles(NewIndex, Name) != Want) {
      throw Error("the rewritten image does not hold file " + Name.ToString() + " as often as it should");
    }
  };
  for (const Bytes &F : Added) {
    const Guid Name = Guid::FromBytes(F, 0);
    Expect(Name, CountFiles(OldIndex, Name) + 1);
  }
  for (const Bytes &F : Replaced) {
    const Guid Name = Guid::FromBytes(F, 0);
    Expect(Name, CountFiles(OldIndex, Name));
  }
  for (const Guid &Name : Removed) {
    Expect(Name, CountFiles(OldIndex, Name) - 1);
  }
  for (const std::vector<Bytes> *List : {&Added, &Replaced}) {
    for (const Bytes &F : *List) {
      if (!HoldsBytes(NewIndex, F)) {
        throw Error("the rewritten image does not hold file " + Guid::FromBytes(F, 0).ToString() + " as given");
      }
    }
  }
}

Bytes ReplaceFiles(ByteView ImageData, const std::vector<Bytes> &Files, const EditOptions &Options,
                   EditSummary *Summary, const ParseLimits &Limits) {
  if (Files.empty()) {
    throw Error("no FFS files to replace with");
  }
  const std::vector<GivenFile> Given = ParseGiven(Files, Limits);
  const Image Img = ParseVolumeArea(ImageData, Limits);
  const SiteIndex Index = IndexVolumes(ImageData, Img);
  std::map<const Volume *, VolumePlan> Plans;
  for (const GivenFile &G : Given) {
    const FileSite Old = FindOne(Index, G.Parsed.Name, Options.Volume);
    if (Old.F->Type != G.Parsed.Type) {
      throw Error("file " + G.Parsed.Name.ToString() + " is " + FileTypeName(Old.F->Type) + " in the image and " +
                  FileTypeName(G.Parsed.Type) + " in the new file; replace keeps the file type");
    }
    CheckFits(G, *Old.Site);
    Plans[Old.Site->Fv].Changes[Old.F] = {false, G.Data};
  }
  EditSummary Local;
  Bytes Out = RewriteImage(ImageData, Img, Plans, Options.Preset, Local);
  VerifyEdit(Index, Out, {}, Files, {}, Limits);
  if (Summary != nullptr) {
    *Summary = Local;
  }
  return Out;
}

Bytes RemoveFiles(ByteView ImageData, const std::vector<Guid> &Names, const EditOptions &Options,
                  EditSummary *Summary, const ParseLimits &Limits) {
  if (Names.empty()) {
    throw Error("no file GUIDs to remove");
  }
  const Image Img = ParseVolumeArea(ImageData, Limits);
  const SiteIndex Index = IndexVolumes(ImageData, Img);
  const std::set<Guid> Removing(Names.begin(), Names.end());
  if (Removing.size() != Names.size()) {
    throw Error("a file GUID is given twice");
  }
  std::map<const Volume *, VolumePlan> Plans;
  for (const Guid &Name : Names) {
    const FileSite Old = FindOne(Index, Name, Options.Volume);
    // A platform lists in an APRIORI file what must run before anything
    // else; dropping the entry quietly would change its boot order, and
    // leaving it would name a file that is gone.
    for (const File &F : Old.Site->Fv->Files) {
      if (F.Deleted || (F.Name != PeiApriori && F.Name != DxeApriori) || Removing.count(F.Name) != 0) {
        continue;
      }
      const std::vector<Guid> Listed = AprioriList(Old.Site->Buf, F);
      if (std::find(Listed.begin(), Listed.end(), Name) != Listed.end()) {
        throw Error("file " + Name.ToString() + " is named in the APRIORI file " + F.Name.ToString() + " of FV " +
                    VolumeName(*Old.Site->Fv) + "; remove or replace that file too");
      }
    }
    Plans[Old.Site->Fv].Changes[Old.F] = {true, nullptr};
  }
  EditSummary Local;
  Bytes Out = RewriteImage(ImageData, Img, Plans, Options.Preset, Local);
  VerifyEdit(Index, Out, {}, {}, Names, Limits);
  if (Summary != nullptr) {
    *Summary = Local;
  }
  return Out;
}

Bytes ExtractFile(ByteView ImageData, const Guid &Name, std::optional<SectionKind> Kind,
                  const std::optional<Guid> &Volume, const ParseLimits &Limits) {
  const Image Img = ParseVolumeArea(ImageData, Limits);
  const SiteIndex Index = IndexVolumes(ImageData, Img);
  const FileSite Found = FindOne(Index, Name, Volume);
  const ByteView Buf = Found.Site->Buf;
  if (!Kind) {
    const ByteView Whole = Buf.subspan(Found.F->Offset, Found.F->Size);
    return Bytes(Whole.begin(), Whole.end());
  }
  ByteView SectionBuf;
  const Section *S = FindSection(Buf, Found.F->Sections, *Kind, SectionBuf);
  if (S == nullptr) {
    std::string KindName;
    for (const SectionKindName &Row : SectionKindNames) {
      KindName = Row.Kind == *Kind ? Row.Name : KindName;
    }
    throw Error("file " + Name.ToString() + " has no " + KindName + " section");
  }
  const ByteView Body = SectionBuf.subspan(S->Offset + S->HeaderSize, S->Size - S->HeaderSize);
  return Bytes(Body.begin(), Body.end());
}

} // namespace fwimage
