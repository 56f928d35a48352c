// `fwimage insert`: the target volume found, the files checked against it,
// and an append planned for each.
#include <algorithm>
#include <set>

#include "Edit.h"
#include "Ffs.h"
#include "Layout.h"

namespace fwimage {

namespace {

bool HoldsDxeCore(const Volume *V) {
  return std::any_of(V->Files.begin(), V->Files.end(),
                     [](const File &F) { return F.Type == ffs::TypeDxeCore && !F.Deleted; });
}

bool IsTarget(const Volume &V, const EditOptions &Options) {
  if (Options.Volume) {
    return V.Name && *V.Name == *Options.Volume;
  }
  return HoldsDxeCore(&V);
}

const Volume &FindTarget(const SiteIndex &Index, const EditOptions &Options) {
  const auto Target = std::find_if(Index.Volumes.begin(), Index.Volumes.end(),
                                   [&](const Volume *V) { return IsTarget(*V, Options); });
  if (Target != Index.Volumes.end()) {
    return **Target;
  }
  const std::string Wanted = Options.Volume ? "no FV named " + Options.Volume->ToString() : "no FV holds a DXE core";
  if (!Index.Unopened.empty()) {
    throw Error(Wanted + " in sight: unknown compression " + Index.Unopened.front() + " on the way could not be opened");
  }
  if (!Options.Volume) {
    // An FSP, say: a DXE or SMM driver put there may never be dispatched, so
    // the volume is the integrator's explicit choice.
    throw Error(Wanted + " in this image: name the FV to put the files into with --fv");
  }
  throw Error(Wanted + " in this image");
}

// Each file appended to the target volume, once its GUID, header and
// machine are checked against what the volume holds.
EditRequest PlanInsert(const SiteIndex &Index, const std::vector<Bytes> &Files, const std::vector<File> &Parsed,
                       const EditOptions &Options) {
  const Volume &V = FindTarget(Index, Options);
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
  EditRequest Request;
  VolumePlan &Plan = Request.Plans[&V];
  for (size_t I = 0; I < Files.size(); ++I) {
    const File &F = Parsed[I];
    if (!Present.insert(F.Name).second) {
      throw Error("duplicate file GUID " + F.Name.ToString() + " in FV " + Name);
    }
    if (auto Note = CheckFits(F, V)) {
      const bool CoreAnywhere = std::any_of(Index.Volumes.begin(), Index.Volumes.end(), HoldsDxeCore);
      Request.Notes.push_back(*Note + (CoreAnywhere ? "" : ", and this image has no DXE core"));
    }
    Plan.Adds.push_back(&Files[I]);
    Request.Added.push_back(&Files[I]);
  }
  return Request;
}

} // namespace

Bytes InsertFiles(ByteView ImageData, const std::vector<Bytes> &Files, const EditOptions &Options,
                  EditSummary *Summary, const ParseLimits &Limits) {
  if (Files.empty()) {
    throw Error("no FFS files to insert");
  }
  std::vector<File> Parsed;
  for (const Bytes &Data : Files) {
    Parsed.push_back(ParseStandaloneFile(Data, Limits));
    FileDataAlignment(Data);
  }
  return RunEdit(
      ImageData, [&](const SiteIndex &Index) { return PlanInsert(Index, Files, Parsed, Options); },
      {EditKind::Insert, Files.size(), Options.Preset, Summary}, Limits);
}

} // namespace fwimage
