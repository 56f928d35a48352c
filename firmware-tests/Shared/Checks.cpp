// PASS/FAIL lines. Check names are prefixed with their section's name, so
// the host can hold every boot against its lists of expected names.
#include "TestApp.h"

namespace {

Line Named(const CHAR8 *Kind, const CHAR8 *Section, const CHAR8 *Name) {
  Line L;
  L.Str(Kind).Str(" ").Str(Section).Str(".").Str(Name);
  return L;
}

}  // namespace

bool Section::Check(const CHAR8 *CheckName, bool Condition, const Line &Detail) const {
  if (Condition) {
    ++gApp.Passed;
    Emit(Named("PASS", Name, CheckName));
  } else {
    ++gApp.Failed;
    Line L = Named("FAIL", Name, CheckName);
    L.Str(": ").Str(Detail.Length() != 0 ? Detail.Text() : "condition false");
    Emit(L);
  }
  return Condition;
}

bool Section::Check(const CHAR8 *CheckName, bool Condition, const CHAR8 *Detail) const {
  Line L;
  L.Str(Detail);
  return Check(CheckName, Condition, L);
}

VOID Section::Info(const Line &L) const {
  Line Out;
  Out.Str("INFO ").Str(Name).Str(": ").Str(L.Text());
  Emit(Out);
}
