#include "List.h"

#include <string>

#include "Ffs.h"

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

void PrintVolume(std::ostream &Out, const Volume &V, size_t Indent);

bool IsLeaf(const Section &S) {
  return S.Type != ffs::SectionGuidDefined && S.Type != ffs::SectionCompression &&
         S.Type != ffs::SectionFirmwareVolumeImage;
}

void PrintSectionTree(std::ostream &Out, const Section &S, size_t Indent) {
  const std::string Pad(Indent, ' ');
  if (S.Type == ffs::SectionGuidDefined || S.Type == ffs::SectionCompression) {
    Out << Pad << SectionTypeName(S.Type);
    if (S.Type == ffs::SectionGuidDefined) {
      Out << " " << S.Definition.ToString() << (S.Definition == guids::Lzma ? " (LZMA)" : "");
    }
    Out << "  size " << Hex(S.Size);
    if (S.Decoded) {
      Out << "  decoded " << Hex(S.Decoded->size());
    }
    if (S.Opaque) {
      Out << "  (not opened)";
    }
    PrintFaults(Out, S.Faults);
    Out << "\n";
    for (const Section &C : S.Children) {
      PrintSectionTree(Out, C, Indent + IndentStep);
    }
    return;
  }
  if (S.Type == ffs::SectionFirmwareVolumeImage && S.Faults.empty()) {
    for (const Volume &V : S.Volumes) {
      PrintVolume(Out, V, Indent);
    }
    return;
  }
  // Leaf sections inside an encapsulation (a pad between its volumes, say),
  // and any section with a fault of its own.
  Out << Pad << SectionTypeName(S.Type) << "  size " << Hex(S.Size);
  PrintFaults(Out, S.Faults);
  Out << "\n";
  for (const Volume &V : S.Volumes) {
    PrintVolume(Out, V, Indent + IndentStep);
  }
}

void PrintFile(std::ostream &Out, const File &F, size_t Indent) {
  Out << std::string(Indent, ' ') << "file " << F.Name.ToString() << "  " << FileTypeName(F.Type) << "  size "
      << Hex(F.Size);
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
  PrintFaults(Out, F.Faults);
  Out << "\n";
  for (const Section &S : F.Sections) {
    if (!IsLeaf(S) || !S.Faults.empty()) {
      PrintSectionTree(Out, S, Indent + IndentStep);
    }
  }
}

void PrintVolume(std::ostream &Out, const Volume &V, size_t Indent) {
  Out << std::string(Indent, ' ') << "FV " << (V.Name ? V.Name->ToString() : "(no name)") << "  offset "
      << Hex(V.Offset) << "  size " << Hex(V.Length);
  if (V.FfsFileSystem) {
    Out << "  free " << Hex(V.FreeSize()) << (V.FreeSpaceErased ? "" : " (not erased)");
  } else {
    Out << "  file system " << V.FileSystem.ToString();
  }
  PrintFaults(Out, V.Faults);
  Out << "\n";
  for (const File &F : V.Files) {
    PrintFile(Out, F, Indent + IndentStep);
  }
}

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
  for (const Volume &V : Img.Volumes) {
    PrintVolume(Out, V, 0);
  }
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
