#include "List.h"

#include <string>

#include "Codec.h"
#include "Ffs.h"
#include "Walk.h"

namespace fwimage {

namespace {

constexpr size_t IndentStep = 2;

// Each fault goes at the end of its item's line, so a grep for FAULT finds
// the line and the line says what is wrong.
void PrintFaults(std::ostream &Out, const std::vector<std::string> &Faults) {
  for (const std::string &F : Faults) {
    Out << "  FAULT: " << F;
  }
}

bool IsLeaf(const Section &S) {
  return S.Type != ffs::SectionGuidDefined && S.Type != ffs::SectionCompression &&
         S.Type != ffs::SectionFirmwareVolumeImage;
}

// One line an item, indented by its nesting. A file's own leaf sections show
// only as its section list, unless they have a fault; inside an
// encapsulation every section has its line (a pad between volumes, say). A
// sound FV_IMAGE section shows as the volume it holds.
class TextWriter : public Visitor {
public:
  explicit TextWriter(std::ostream &Out) : Out(Out) {}

  bool EnterVolume(const Volume &V) override {
    Out << Pad() << "FV " << (V.Name ? V.Name->ToString() : "(no name)") << "  offset " << Hex(V.Offset)
        << "  size " << Hex(V.Length);
    if (V.FfsFileSystem) {
      Out << "  free " << Hex(V.FreeSize()) << (V.FreeSpaceErased ? "" : " (not erased)");
    } else {
      Out << "  file system " << V.FileSystem.ToString();
    }
    EndLine(V.Faults);
    Frames.push_back({IndentStep, false});
    return true;
  }
  void LeaveVolume(const Volume &) override { Frames.pop_back(); }

  bool EnterFile(const File &F) override {
    Out << Pad() << "file " << F.Name.ToString() << "  " << FileTypeName(F.Type) << "  size " << Hex(F.Size);
    if (!F.UiName.empty()) {
      Out << "  \"" << F.UiName << "\"";
    }
    if (F.Deleted) {
      Out << "  (deleted)";
    }
    if (!F.Sections.empty()) {
      Out << "  sections:";
      for (const Section &S : F.Sections) {
        Out << " " << SectionTypeName(S.Type);
      }
    }
    EndLine(F.Faults);
    Frames.push_back({IndentStep, true});
    return true;
  }
  void LeaveFile(const File &) override { Frames.pop_back(); }

  bool EnterSection(const Section &S) override {
    if (Frames.back().FileLevel && IsLeaf(S) && S.Faults.empty()) {
      return false;
    }
    if (S.Type == ffs::SectionFirmwareVolumeImage && S.Faults.empty()) {
      Frames.push_back({0, false});
      return true;
    }
    Out << Pad() << SectionTypeName(S.Type);
    if (S.Type == ffs::SectionGuidDefined) {
      Out << " " << S.Definition().ToString();
    }
    if (S.Algorithm() != Compression::None) {
      Out << " (" << CodecOf(S.Algorithm()).Name << ")";
    }
    Out << "  size " << Hex(S.Size);
    if (const Bytes *Decoded = S.Decoded()) {
      Out << "  decoded " << Hex(Decoded->size());
    }
    if (S.Opaque()) {
      Out << "  (not opened)";
    }
    EndLine(S.Faults);
    Frames.push_back({IndentStep, false});
    return true;
  }
  void LeaveSection(const Section &) override { Frames.pop_back(); }

private:
  struct Frame {
    size_t Step;    // indent its children get
    bool FileLevel; // its children are a file's own sections
  };

  std::string Pad() const {
    size_t Indent = 0;
    for (const Frame &F : Frames) {
      Indent += F.Step;
    }
    return std::string(Indent, ' ');
  }
  void EndLine(const std::vector<std::string> &Faults) {
    PrintFaults(Out, Faults);
    Out << "\n";
  }

  std::ostream &Out;
  std::vector<Frame> Frames;
};

} // namespace

size_t Listing::FaultCount() const {
  size_t N = CountFaults(Volumes);
  if (Flash) {
    N += Flash->Faults.size();
    for (const FlashRegion &R : Flash->Regions) {
      N += R.Faults.size();
    }
  }
  return N;
}

Listing ReadListing(ByteView Data, const ParseLimits &Limits) {
  Listing L;
  L.ImageSize = Data.size();
  L.Flash = ReadFlashDescriptor(Data, ParseMode::Tolerant);
  size_t Begin = 0;
  size_t End = Data.size();
  if (L.Flash) {
    const FlashRegion *Bios = L.Flash->Bios();
    if (Bios == nullptr) {
      // Volumes belong in the BIOS region alone (the descriptor's fault says it is missing).
      return L;
    }
    // A BIOS region that runs past the image is read as far as the image goes.
    Begin = Bios->Offset;
    End = Bios->Offset + Bios->Size;
  }
  L.Volumes = ParseVolumes(Data, Begin, End, ParseMode::Tolerant, Limits);
  return L;
}

void PrintImage(std::ostream &Out, const Image &Img) {
  TextWriter Writer(Out);
  Walk(Img, Writer);
  for (const std::string &F : Img.Faults) {
    Out << "FAULT: " << F << "\n";
  }
}

void PrintListing(std::ostream &Out, const Listing &L) {
  if (L.Flash) {
    Out << "flash descriptor";
    if (L.Flash->FlashSize != 0) {
      Out << "  " << L.Flash->Components << (L.Flash->Components == 1 ? " chip" : " chips") << ", flash size "
          << Hex(L.Flash->FlashSize);
    }
    PrintFaults(Out, L.Flash->Faults);
    Out << "\n";
    for (const FlashRegion &R : L.Flash->Regions) {
      Out << "  region " << R.Index << " " << R.Name << "  offset " << Hex(R.Offset) << "  size " << Hex(R.Size);
      if (!R.Note.empty()) {
        Out << "  (" << R.Note << ")";
      }
      PrintFaults(Out, R.Faults);
      Out << "\n";
    }
  }
  PrintImage(Out, L.Volumes);
}

} // namespace fwimage
