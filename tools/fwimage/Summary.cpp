#include "Summary.h"

#include <array>
#include <cstdio>

#include "Bytes.h"
#include "Json.h"

namespace fwimage {

namespace {

struct KindWords {
  EditKind Kind;
  const char *Command;
  const char *Done;
};
constexpr std::array<KindWords, 3> KindNames{{
    {EditKind::Insert, "insert", "inserted"},
    {EditKind::Replace, "replace", "replaced"},
    {EditKind::Remove, "remove", "removed"},
}};

const KindWords &WordsFor(EditKind Kind) {
  for (const KindWords &W : KindNames) {
    if (W.Kind == Kind) {
      return W;
    }
  }
  return KindNames.front();
}

std::string Seconds(double Value) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.2f", Value);
  return Text;
}

std::string FreeChange(const VolumeChange &V) { return "free " + Hex(V.FreeBefore) + " -> " + Hex(V.FreeAfter); }

// insert names the volume the files went into, and the one around a
// recompressed stream.
void PrintInsert(std::ostream &Out, const EditSummary &S) {
  Out << "inserted " << S.Files << " file(s) into FV " << S.Target().Name << ": " << FreeChange(S.Target()) << "\n";
  if (S.Target().GrownBy != 0) {
    Out << "grew FV " << S.Target().Name << " by " << Hex(S.Target().GrownBy) << " bytes\n";
  }
  if (S.Recompressed != 0) {
    Out << "recompressed " << S.Recompressed << " stream(s); FV " << S.Outer().Name << ": " << FreeChange(S.Outer())
        << "\n";
  }
  Out << "image rebuilt in " << Seconds(S.Seconds) << " s\n";
}

// replace and remove: one line per volume rewritten, outer first.
void PrintEachVolume(std::ostream &Out, const EditSummary &S) {
  Out << WordsFor(S.Kind).Done << " " << S.Files << " file(s)\n";
  for (const VolumeChange &V : S.Volumes) {
    Out << "FV " << V.Name << ": " << FreeChange(V);
    if (V.GrownBy != 0) {
      Out << ", grown by " << Hex(V.GrownBy) << " bytes";
    }
    Out << "\n";
  }
  Out << "recompressed " << S.Recompressed << " stream(s); image rebuilt in " << Seconds(S.Seconds) << " s\n";
}

} // namespace

unsigned EditSummary::FilesMoved() const {
  unsigned N = 0;
  for (const VolumeChange &V : Volumes) {
    N += V.FilesMoved;
  }
  return N;
}

void PrintSummary(std::ostream &Out, const EditSummary &S) {
  if (S.Kind == EditKind::Insert) {
    PrintInsert(Out, S);
  } else {
    PrintEachVolume(Out, S);
  }
  for (const std::string &Note : S.Notes) {
    Out << "note: " << Note << "\n";
  }
}

void PrintSummaryJson(std::ostream &Out, const EditSummary &S) {
  Json J(Out);
  J.Open('{');
  J.String("command", WordsFor(S.Kind).Command);
  J.Number("files", S.Files);
  J.Key("volumes");
  J.Open('[');
  for (const VolumeChange &V : S.Volumes) {
    J.Open('{');
    J.String("name", V.Name);
    J.Number("depth", V.Depth);
    J.Number("freeBefore", V.FreeBefore);
    J.Number("freeAfter", V.FreeAfter);
    J.Number("grownBy", V.GrownBy);
    J.Number("filesMoved", V.FilesMoved);
    J.Close('}');
  }
  J.Close(']');
  J.Number("recompressed", S.Recompressed);
  J.Number("filesMoved", S.FilesMoved());
  J.Key("seconds");
  J.Raw(Seconds(S.Seconds));
  J.Strings("notes", S.Notes);
  J.Close('}');
  Out << "\n";
}

} // namespace fwimage
