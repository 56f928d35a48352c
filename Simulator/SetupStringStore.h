// The platform's Setup-string component: records every hide and every set,
// in order, and keeps the resulting form state.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "SetupStringProtocol.h"

namespace Sim {

class SetupStringStore {
 public:
  struct Op {
    enum class Kind { Hide, Set } K;
    std::string Form;
    UINT16 Id;
    std::string Text;      // empty for a hide
    const CHAR8 *TextPtr;  // the pointer handed over, which must stay valid
  };

  SetupStringStore();
  SETUP_STRING_PROTOCOL *Protocol() { return &Proto; }

  EFI_STATUS Hide(const CHAR8 *Form, UINT16 Id);
  EFI_STATUS SetText(const CHAR8 *Form, UINT16 Id, const CHAR8 *Text);

  const std::vector<Op> &Ops() const { return Log; }
  std::vector<Op> Hides() const;
  std::vector<Op> Sets() const;
  bool Hidden(UINT16 Id) const { return HiddenIds.count(Id) != 0; }
  // The current text of Id, or "" when the form keeps its own.
  std::string Text(UINT16 Id) const;
  bool Written(UINT16 Id) const { return Texts.count(Id) != 0; }

 private:
  SETUP_STRING_PROTOCOL Proto{};
  std::vector<Op> Log;
  std::set<UINT16> HiddenIds;
  std::map<UINT16, std::string> Texts;
};

}  // namespace Sim
