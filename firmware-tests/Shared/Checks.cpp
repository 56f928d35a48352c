// PASS/FAIL lines. Check names are prefixed with the running section's
// name, so the host can hold every boot against its lists of expected names.
#include "TestApp.h"

const CHAR8 *gCurrentScenario = "app";

namespace {

Line Named(const CHAR8 *Kind, const CHAR8 *Name) {
  Line L;
  L.Str(Kind).Str(" ").Str(gCurrentScenario).Str(".").Str(Name);
  return L;
}

}  // namespace

bool Check(const CHAR8 *Name, bool Condition, const Line &Detail) {
  if (Condition) {
    ++gApp.Passed;
    Emit(Named("PASS", Name));
  } else {
    ++gApp.Failed;
    Line L = Named("FAIL", Name);
    L.Str(": ").Str(Detail.Length() != 0 ? Detail.Text() : "condition false");
    Emit(L);
  }
  return Condition;
}

bool Check(const CHAR8 *Name, bool Condition, const CHAR8 *Detail) {
  Line L;
  L.Str(Detail);
  return Check(Name, Condition, L);
}

VOID Info(const Line &L) {
  Line Out;
  Out.Str("INFO ").Str(gCurrentScenario).Str(": ").Str(L.Text());
  Emit(Out);
}
