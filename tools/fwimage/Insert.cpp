#include "Insert.h"

#include <algorithm>
#include <set>

#include "Descriptor.h"
#include "Edit.h"
#include "Ffs.h"
#include "Machine.h"

namespace fwimage {

namespace {

bool IsTarget(const Volume &V, const InsertOptions &Options) {
  if (Options.TargetVolume) {
    return V.Name && *V.Name == *Options.TargetVolume;
  }
  return std::any_of(V.Files.begin(), V.Files.end(),
                     [](const File &F) { return F.Type == ffs::TypeDxeCore && !F.Deleted; });
}

} // namespace

Bytes InsertFiles(ByteView ImageData, const std::vector<Bytes> &Files, const InsertOptions &Options,
                  InsertSummary *Summary, const ParseLimits &Limits) {
  if (Files.empty()) {
    throw Error("no FFS files to insert");
  }
  std::vector<File> Parsed;
  for (const Bytes &Data : Files) {
    Parsed.push_back(ParseStandaloneFile(Data, Limits));
    FileDataAlignment(Data);
  }

  // Volumes only where the image keeps them: in a full flash image, the BIOS region.
  const Image Img = ParseVolumeArea(ImageData, Limits);
  const SiteIndex Index = IndexVolumes(ImageData, Img);
  const auto Target = std::find_if(Index.Volumes.begin(), Index.Volumes.end(),
                                   [&](const VolumeSite &S) { return IsTarget(*S.Fv, Options); });
  if (Target == Index.Volumes.end()) {
    const std::string Wanted =
        Options.TargetVolume ? "no FV named " + Options.TargetVolume->ToString() : "no FV holds a DXE core";
    if (!Index.Unopened.empty()) {
      throw Error(Wanted + " in sight: unknown compression " + Index.Unopened.front() +
                  " on the way could not be opened");
    }
    throw Error(Wanted + " in this image");
  }
  const Volume &V = *Target->Fv;
  const std::string Name = VolumeName(V);
  if (!V.FfsFileSystem) {
    throw Error("FV " + Name + " has no FFS file system");
  }
  std::set<Guid> Present;
  for (const File &F : V.Files) {
    if (!F.Deleted && F.Type != ffs::TypePad) {
      Present.insert(F.Name);
    }
  }
  VolumePlan Plan;
  for (size_t I = 0; I < Files.size(); ++I) {
    const File &F = Parsed[I];
    if (!Present.insert(F.Name).second) {
      throw Error("duplicate file GUID " + F.Name.ToString() + " in FV " + Name);
    }
    if (F.HeaderSize == ffs::FileHeader2Size && V.FileSystem != guids::Ffs3FileSystem) {
      throw Error("file " + F.Name.ToString() + " has a large-file header; FV " + Name + " is not FFS3");
    }
    CheckFileMachine(F, V, Name);
    Plan.Adds.push_back(&Files[I]);
  }

  EditSummary Edit;
  Bytes Out = RewriteImage(ImageData, Img, {{&V, Plan}}, Options.Preset, Edit);
  VerifyEdit(Index, Out, Files, {}, {}, Limits);
  if (Summary != nullptr) {
    InsertSummary Local;
    const VolumeChange &Inner = Edit.Volumes.back();
    const VolumeChange &Outer = Edit.Volumes.front();
    Local.TargetVolume = Inner.Name;
    Local.TargetFreeBefore = Inner.FreeBefore;
    Local.TargetFreeAfter = Inner.FreeAfter;
    Local.TargetGrownBy = Inner.GrownBy;
    Local.OuterVolume = Outer.Name;
    Local.OuterFreeBefore = Outer.FreeBefore;
    Local.OuterFreeAfter = Outer.FreeAfter;
    Local.Recompressed = Edit.Recompressed;
    *Summary = Local;
  }
  return Out;
}

} // namespace fwimage
