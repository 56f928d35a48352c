#include "Edit.h"

#include <algorithm>
#include <array>
#include <set>

#include "Codec.h"
#include "Descriptor.h"
#include "Ffs.h"
#include "Layout.h"
#include "Machine.h"
#include "Walk.h"

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
  const Volume *Fv = nullptr;
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
std::vector<const Volume *> InScope(const SiteIndex &Index, const std::optional<Guid> &FvName) {
  std::vector<const Volume *> Out;
  for (const Volume *V : Index.Volumes) {
    if (!FvName || (V->Name && *V->Name == *FvName)) {
      Out.push_back(V);
    }
  }
  if (Out.empty()) {
    throw Error("no FV named " + FvName->ToString() + " in this image");
  }
  return Out;
}

// The one live file of that GUID in scope.
FileSite FindOne(const SiteIndex &Index, const Guid &Name, const std::optional<Guid> &FvName) {
  CheckName(Name);
  std::vector<FileSite> Found;
  for (const Volume *V : InScope(Index, FvName)) {
    for (const File &F : V->Files) {
      if (!F.Deleted && F.Name == Name) {
        Found.push_back({&F, V});
      }
    }
  }
  if (Found.empty()) {
    std::string Why = "no file " + Name.ToString() + " " + Where(FvName);
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

// The first section of a kind in a file, encapsulations opened, volumes not entered.
class SectionFinder : public Visitor {
public:
  explicit SectionFinder(SectionKind Kind) : Kind(Kind) {}
  const Section *Found = nullptr;
  bool EnterVolume(const Volume &) override { return false; }
  bool EnterSection(const Section &S) override {
    if (Found == nullptr && IsKind(S.Type, Kind)) {
      Found = &S;
    }
    return Found == nullptr;
  }

private:
  SectionKind Kind;
};

const Section *FindSection(const File &F, SectionKind Kind) {
  SectionFinder Finder(Kind);
  for (const Section &S : F.Sections) {
    Walk(S, Finder);
  }
  return Finder.Found;
}

ByteView BodyOf(const Section &S) { return S.At.Buf.subspan(S.Offset + S.HeaderSize, S.Size - S.HeaderSize); }

// The GUIDs an APRIORI file lists.
std::vector<Guid> AprioriList(const File &F) {
  std::vector<Guid> Out;
  if (const Section *Raw = FindSection(F, SectionKind::Raw)) {
    const ByteView Body = BodyOf(*Raw);
    for (size_t At = 0; At + Guid::Size <= Body.size(); At += Guid::Size) {
      Out.push_back(Guid::FromBytes(Body, At));
    }
  }
  return Out;
}

size_t CountFiles(const SiteIndex &Index, const Guid &Name) {
  size_t Count = 0;
  for (const Volume *V : Index.Volumes) {
    Count += static_cast<size_t>(std::count_if(V->Files.begin(), V->Files.end(),
                                               [&](const File &F) { return !F.Deleted && F.Name == Name; }));
  }
  return Count;
}

bool HoldsBytes(const SiteIndex &Index, const Bytes &Data) {
  const Guid Name = Guid::FromBytes(Data, 0);
  for (const Volume *V : Index.Volumes) {
    for (const File &F : V->Files) {
      if (F.Deleted || F.Name != Name || F.Size != Data.size()) {
        continue;
      }
      // State is set for the volume; every other byte is the given file's.
      const ByteView Got = F.At.Buf.subspan(F.Offset, F.Size);
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

// Throws Error unless the new image parses and holds exactly what the edit
// meant: each given file's bytes once more (insert) or as many times as
// before (replace), each removed GUID once less.
void VerifyEdit(const SiteIndex &OldIndex, ByteView Before, ByteView After, const EditRequest &Request,
                const ParseLimits &Limits, const KnownStreams &Known) {
  if (After.size() != Before.size()) {
    throw Error("the rewritten image changed size");
  }
  Image New;
  try {
    New = ParseVolumeArea(After, Limits, &Known);
  } catch (const Error &E) {
    throw Error(std::string("the rewritten image does not read back: ") + E.what());
  }
  const SiteIndex NewIndex = IndexVolumes(New);
  auto Expect = [&](const Guid &Name, size_t Want) {
    if (CountFiles(NewIndex, Name) != Want) {
      throw Error("the rewritten image does not hold file " + Name.ToString() + " as often as it should");
    }
  };
  for (const Bytes *F : Request.Added) {
    const Guid Name = Guid::FromBytes(*F, 0);
    Expect(Name, CountFiles(OldIndex, Name) + 1);
  }
  for (const Bytes *F : Request.Replaced) {
    const Guid Name = Guid::FromBytes(*F, 0);
    Expect(Name, CountFiles(OldIndex, Name));
  }
  for (const Guid &Name : Request.Removed) {
    Expect(Name, CountFiles(OldIndex, Name) - 1);
  }
  for (const std::vector<const Bytes *> *List : {&Request.Added, &Request.Replaced}) {
    for (const Bytes *F : *List) {
      if (!HoldsBytes(NewIndex, *F)) {
        throw Error("the rewritten image does not hold file " + Guid::FromBytes(*F, 0).ToString() + " as given");
      }
    }
  }
}

// A named file must not sit in an APRIORI file's list, unless that file goes too: a platform lists there
// what must run before anything else; dropping the entry quietly would change its boot order, and leaving
// it would name a file that is gone.
void CheckNotApriori(const FileSite &Old, const std::set<Guid> &Removing) {
  for (const File &F : Old.Fv->Files) {
    if (F.Deleted || (F.Name != PeiApriori && F.Name != DxeApriori) || Removing.count(F.Name) != 0) {
      continue;
    }
    const std::vector<Guid> Listed = AprioriList(F);
    if (std::find(Listed.begin(), Listed.end(), Old.F->Name) != Listed.end()) {
      throw Error("file " + Old.F->Name.ToString() + " is named in the APRIORI file " + F.Name.ToString() +
                  " of FV " + VolumeName(*Old.Fv) + "; remove or replace that file too");
    }
  }
}

// The reset vector's file, SEC and the PEI core never move and are never
// removed: the platform finds them where they were built to be.
void CheckNotAnchored(const FileSite &Old) {
  if (const char *Anchor = AnchorOf(*Old.F)) {
    throw Error("file " + Old.F->Name.ToString() + " is " + Anchor + " in FV " + VolumeName(*Old.Fv) +
                ": it is never removed (replace it with a file of its size instead)");
  }
}

// A replacement of such a file keeps its place and its end: it has its size.
void CheckAnchorKept(const FileSite &Old, const Bytes &New) {
  const char *Anchor = AnchorOf(*Old.F);
  if (Anchor != nullptr && New.size() != Old.F->Size) {
    throw Error("file " + Old.F->Name.ToString() + " is " + Anchor + " in FV " + VolumeName(*Old.Fv) +
                ": it never moves, so a replacement must have its size " + Hex(Old.F->Size) + ", not " +
                Hex(New.size()));
  }
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

std::optional<std::string> CheckFits(const File &Given, const Volume &V) {
  const std::string Name = VolumeName(V);
  if (Given.HeaderSize == ffs::FileHeader2Size && V.FileSystem != guids::Ffs3FileSystem) {
    throw Error("file " + Given.Name.ToString() + " has a large-file header; FV " + Name + " is not FFS3");
  }
  return CheckFileMachine(Given, V, Name);
}

Bytes RunEdit(ByteView ImageData, const EditPlanner &Plan, const EditRun &Run, const ParseLimits &Limits) {
  // Volumes only where the image keeps them: in a full flash image, the BIOS region.
  const Image Img = ParseVolumeArea(ImageData, Limits);
  const SiteIndex Index = IndexVolumes(Img);
  const EditRequest Request = Plan(Index);
  EditSummary Summary;
  Summary.Kind = Run.Kind;
  Summary.Files = Run.Files;
  Summary.Notes = Request.Notes;
  KnownStreams Known;
  Bytes Out = RewriteImage(ImageData, Img, Request.Plans, Run.Preset, Summary, Known);
  VerifyEdit(Index, ImageData, Out, Request, Limits, Known);
  if (Run.Summary != nullptr) {
    *Run.Summary = Summary;
  }
  return Out;
}

Bytes ReplaceFiles(ByteView ImageData, const std::vector<Bytes> &Files, const EditOptions &Options,
                   EditSummary *Summary, const ParseLimits &Limits) {
  if (Files.empty()) {
    throw Error("no FFS files to replace with");
  }
  const std::vector<GivenFile> Given = ParseGiven(Files, Limits);
  const EditPlanner Plan = [&](const SiteIndex &Index) {
    EditRequest Request;
    for (const GivenFile &G : Given) {
      const FileSite Old = FindOne(Index, G.Parsed.Name, Options.Volume);
      if (Old.F->Type != G.Parsed.Type) {
        throw Error("file " + G.Parsed.Name.ToString() + " is " + FileTypeName(Old.F->Type) + " in the image and " +
                    FileTypeName(G.Parsed.Type) + " in the new file; replace keeps the file type");
      }
      // The file of that type was there already: nothing changes for its dispatch.
      CheckFits(G.Parsed, *Old.Fv);
      CheckAnchorKept(Old, *G.Data);
      Request.Plans[Old.Fv].Changes[Old.F] = {false, G.Data};
      Request.Replaced.push_back(G.Data);
    }
    return Request;
  };
  return RunEdit(ImageData, Plan, {EditKind::Replace, Files.size(), Options.Preset, Summary}, Limits);
}

Bytes RemoveFiles(ByteView ImageData, const std::vector<Guid> &Names, const EditOptions &Options,
                  EditSummary *Summary, const ParseLimits &Limits) {
  if (Names.empty()) {
    throw Error("no file GUIDs to remove");
  }
  const EditPlanner Plan = [&](const SiteIndex &Index) {
    const std::set<Guid> Removing(Names.begin(), Names.end());
    if (Removing.size() != Names.size()) {
      throw Error("a file GUID is given twice");
    }
    EditRequest Request;
    for (const Guid &Name : Names) {
      const FileSite Old = FindOne(Index, Name, Options.Volume);
      CheckNotAnchored(Old);
      CheckNotApriori(Old, Removing);
      Request.Plans[Old.Fv].Changes[Old.F] = {true, nullptr};
    }
    Request.Removed = Names;
    return Request;
  };
  return RunEdit(ImageData, Plan, {EditKind::Remove, Names.size(), Options.Preset, Summary}, Limits);
}

Bytes ExtractFile(ByteView ImageData, const Guid &Name, std::optional<SectionKind> Kind,
                  const std::optional<Guid> &Volume, const ParseLimits &Limits) {
  const Image Img = ParseVolumeArea(ImageData, Limits);
  const SiteIndex Index = IndexVolumes(Img);
  const FileSite Found = FindOne(Index, Name, Volume);
  if (!Kind) {
    const ByteView Whole = Found.F->At.Buf.subspan(Found.F->Offset, Found.F->Size);
    return Bytes(Whole.begin(), Whole.end());
  }
  const Section *S = FindSection(*Found.F, *Kind);
  if (S == nullptr) {
    std::string KindName;
    for (const SectionKindName &Row : SectionKindNames) {
      KindName = Row.Kind == *Kind ? Row.Name : KindName;
    }
    throw Error("file " + Name.ToString() + " has no " + KindName + " section");
  }
  const ByteView Body = BodyOf(*S);
  return Bytes(Body.begin(), Body.end());
}

} // namespace fwimage
