#include "List.h"

#include <string>

#include "Ffs.h"

namespace fwimage {

namespace {

constexpr size_t IndentStep = 2;

void PrintVolume(std::ostream &Out, const Volume &V, size_t Indent);

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
    Out << "\n";
    for (const Section &C : S.Children) {
      PrintSectionTree(Out, C, Indent + IndentStep);
    }
    return;
  }
  if (S.Type == ffs::SectionFirmwareVolumeImage) {
    for (const Volume &V : S.Volumes) {
      PrintVolume(Out, V, Indent);
    }
    return;
  }
  // Leaf sections inside an encapsulation (a pad between its volumes, say).
  Out << Pad << SectionTypeName(S.Type) << "  size " << Hex(S.Size) << "\n";
}

bool IsLeaf(const Section &S) {
  return S.Type != ffs::SectionGuidDefined && S.Type != ffs::SectionCompression &&
         S.Type != ffs::SectionFirmwareVolumeImage;
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
  Out << "\n";
  for (const Section &S : F.Sections) {
    if (!IsLeaf(S)) {
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
  Out << "\n";
  for (const File &F : V.Files) {
    PrintFile(Out, F, Indent + IndentStep);
  }
}

} // namespace

void PrintImage(std::ostream &Out, const Image &Img) {
  for (const Volume &V : Img.Volumes) {
    PrintVolume(Out, V, 0);
  }
}

} // namespace fwimage
