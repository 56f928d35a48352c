// The one traversal of a parsed tree: volumes, their files, the files'
// sections, encapsulated sections and the volumes FV_IMAGE sections hold, in
// image order (a parent before its children). Every reader of the tree
// (listing, site index, machines, edit lookups, rewrite) is a Visitor.
#pragma once

#include <vector>

#include "FirmwareVolume.h"

namespace fwimage {

class Visitor {
public:
  Visitor() = default;
  Visitor(const Visitor &) = default;
  Visitor &operator=(const Visitor &) = default;
  virtual ~Visitor() = default;

  // Each Enter returns whether to walk into the item; its Leave runs, after
  // the item's children, only when it did.
  virtual bool EnterVolume(const Volume &) { return true; }
  virtual void LeaveVolume(const Volume &) {}
  virtual bool EnterFile(const File &) { return true; }
  virtual void LeaveFile(const File &) {}
  virtual bool EnterSection(const Section &) { return true; }
  virtual void LeaveSection(const Section &) {}
};

void Walk(const Image &Img, Visitor &V);
void Walk(const Volume &Fv, Visitor &V);
void Walk(const File &F, Visitor &V);
void Walk(const Section &S, Visitor &V);

} // namespace fwimage
