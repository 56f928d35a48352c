#include "Sites.h"

#include "Ffs.h"
#include "Walk.h"

namespace fwimage {

namespace {

// The file whose last bytes are the top of the flash, where the processor
// starts: the reset vector.
const Guid VolumeTopFile = *Guid::Parse("1BA0062E-C779-4582-8566-336AE8F78F09");

class Indexer : public Visitor {
public:
  SiteIndex Out;
  bool EnterVolume(const Volume &V) override {
    Out.Volumes.push_back(&V);
    return true;
  }
  bool EnterSection(const Section &S) override {
    if (S.Opaque()) {
      Out.Unopened.push_back(S.Type == ffs::SectionGuidDefined ? "GUID " + S.Definition().ToString()
                                                               : "compression section at " + Hex(S.Offset));
    }
    return true;
  }
};

bool RunsFromFlash(uint8_t FileType) {
  switch (FileType) {
  case ffs::TypeSecurityCore:
  case ffs::TypePeiCore:
  case ffs::TypePeim:
  case ffs::TypeCombinedPeimDriver:
    return true;
  default:
    return false;
  }
}

// Finds an item that runs from flash: a TE image, or a live file of a type
// that does, in any volume held in place. What a decoded stream holds runs
// from RAM.
class XipFinder : public Visitor {
public:
  bool Found = false;
  bool EnterFile(const File &F) override {
    if (F.Deleted) {
      return false;
    }
    Found = Found || RunsFromFlash(F.Type);
    return !Found;
  }
  bool EnterSection(const Section &S) override {
    Found = Found || S.Type == ffs::SectionTe;
    return !Found && S.Decoded() == nullptr;
  }
};

} // namespace

SiteIndex IndexVolumes(const Image &Img) {
  Indexer I;
  Walk(Img, I);
  return I.Out;
}

std::string VolumeName(const Volume &V) { return V.Name ? V.Name->ToString() : "at " + Hex(V.Offset); }

bool ExecutesInPlace(const File &F) {
  if (F.At.Compressed()) {
    return false;
  }
  if (RunsFromFlash(F.Type)) {
    return true;
  }
  XipFinder Finder;
  for (const Section &S : F.Sections) {
    Walk(S, Finder);
  }
  return Finder.Found;
}

const char *AnchorOf(const File &F) {
  if (F.Deleted) {
    return nullptr;
  }
  if (F.Name == VolumeTopFile) {
    return "the Volume Top File (the reset vector is in its last bytes)";
  }
  switch (F.Type) {
  case ffs::TypeSecurityCore:
    return "SEC (the reset vector jumps into it where it was built to be)";
  case ffs::TypePeiCore:
    return "the PEI core (SEC enters it where it was built to be)";
  default:
    return nullptr;
  }
}

bool ExecutesInPlace(const Section &S) {
  if (S.At.Compressed()) {
    return false;
  }
  XipFinder Finder;
  Walk(S, Finder);
  return Finder.Found;
}

} // namespace fwimage
