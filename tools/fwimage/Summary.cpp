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

std::string Recompressions(const EditSummary &S) {
  std::string Text = "recompressed " + std::to_string(S.Recompressed) + " stream(s)";
  if (S.Strongest != 0) {
    Text += " (" + std::to_string(S.Strongest) + " at the strongest setting: at the preset its file did not fit its place)";
  }
  return Text;
}

void PrintMoves(std::ostream &Out, const EditSummary &S) {
  for (const VolumeChange &V : S.Volumes) {
    for (const MovedFile &M : V.Moves) {
      Out << "moved file " << M.File << " in FV " << V.Name << " from " << Hex(M.From) << " to " << Hex(M.To)
          << (M.Recompressed ? " (its recompressed stream no longer fits its place)" : "") << ": it took "
          << Hex(M.Cost) << " bytes of free space\n";
    }
  }
}

// insert names the volume the files went into, and the one around a
// recompressed stream.
void PrintInsert(std::ostream &Out, const EditSummary &S) {
  Out << "inserted " << S.Files << " file(s) into FV " << S.Target().Name << ": " << FreeChange(S.Target()) << "\n";
  if (S.Target().GrownBy != 0) {
    Out << "grew FV " << S.Target().Name << " by " << Hex(S.Target().GrownBy) << " bytes\n";
  }
  if (S.Recompressed != 0) {
    Out << Recompressions(S) << "; FV " << S.Outer().Name << ": " << FreeChange(S.Outer()) << "\n";
  }
  PrintMoves(Out, S);
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
  PrintMoves(Out, S);
  Out << Recompressions(S) << "; image rebuilt in " << Seconds(S.Seconds) << " s\n";
}

void WriteVolumeChange(Json &J, const VolumeChange &V) {
  J.Open('{');
  J.String("name", V.Name);
  J.Number("depth", V.Depth);
  J.Number("freeBefore", V.FreeBefore);
  J.Number("freeAfter", V.FreeAfter);
  J.Number("grownBy", V.GrownBy);
  J.Number("filesMoved", V.Moves.size());
  J.Close('}');
}

void WriteMove(Json &J, const std::string &Volume, const MovedFile &M) {
  J.Open('{');
  J.String("file", M.File);
  J.String("volume", Volume);
  J.Number("from", M.From);
  J.Number("to", M.To);
  J.Number("cost", M.Cost);
  J.Bool("recompressed", M.Recompressed);
  J.Close('}');
}

} // namespace

unsigned EditSummary::FilesMoved() const {
  unsigned N = 0;
  for (const VolumeChange &V : Volumes) {
    N += static_cast<unsigned>(V.Moves.size());
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
    WriteVolumeChange(J, V);
  }
  J.Close(']');
  J.Number("recompressed", S.Recompressed);
  J.Number("strongest", S.Strongest);
  J.Number("filesMoved", S.FilesMoved());
  J.Key("moves");
  J.Open('[');
  for (const VolumeChange &V : S.Volumes) {
    for (const MovedFile &M : V.Moves) {
      WriteMove(J, V.Name, M);
    }
  }
  J.Close(']');
  J.Key("seconds");
  J.Raw(Seconds(S.Seconds));
  J.Strings("notes", S.Notes);
  J.Close('}');
  Out << "\n";
}

} // namespace fwimage
