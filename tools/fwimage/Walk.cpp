#include "Walk.h"

namespace fwimage {

void Walk(const Image &Img, Visitor &V) {
  for (const Volume &Fv : Img.Volumes) {
    Walk(Fv, V);
  }
}

void Walk(const Volume &Fv, Visitor &V) {
  if (!V.EnterVolume(Fv)) {
    return;
  }
  for (const File &F : Fv.Files) {
    Walk(F, V);
  }
  V.LeaveVolume(Fv);
}

void Walk(const File &F, Visitor &V) {
  if (!V.EnterFile(F)) {
    return;
  }
  for (const Section &S : F.Sections) {
    Walk(S, V);
  }
  V.LeaveFile(F);
}

void Walk(const Section &S, Visitor &V) {
  if (!V.EnterSection(S)) {
    return;
  }
  for (const Section &C : S.Children()) {
    Walk(C, V);
  }
  for (const Volume &Fv : S.Volumes()) {
    Walk(Fv, V);
  }
  V.LeaveSection(S);
}

} // namespace fwimage
