#include "Simulator/SetupStringStore.h"

#include "Simulator/Platform.h"

namespace Sim {

namespace {
EFI_STATUS EFIAPI SimHideString(const CHAR8 *Form, UINT16 Id) {
  if (auto F = Platform::Current().Faults.Check("HideString")) {
    return F->Status;
  }
  return Platform::Current().SetupStrings.Hide(Form, Id);
}
EFI_STATUS EFIAPI SimSetString(const CHAR8 *Form, UINT16 Id, const CHAR8 *Text) {
  if (auto F = Platform::Current().Faults.Check("SetString")) {
    return F->Status;
  }
  return Platform::Current().SetupStrings.SetText(Form, Id, Text);
}
}  // namespace

SetupStringStore::SetupStringStore() {
  Proto.HideString = SimHideString;
  Proto.SetString = SimSetString;
}

EFI_STATUS SetupStringStore::Hide(const CHAR8 *Form, UINT16 Id) {
  if (Form == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  Log.push_back({Op::Kind::Hide, Form, Id, "", nullptr});
  HiddenIds.insert(Id);
  return EFI_SUCCESS;
}

EFI_STATUS SetupStringStore::SetText(const CHAR8 *Form, UINT16 Id, const CHAR8 *Text) {
  if (Form == nullptr || Text == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  Log.push_back({Op::Kind::Set, Form, Id, Text, Text});
  Texts[Id] = Text;
  return EFI_SUCCESS;
}

std::vector<SetupStringStore::Op> SetupStringStore::Hides() const {
  std::vector<Op> Out;
  for (const Op &O : Log) {
    if (O.K == Op::Kind::Hide) {
      Out.push_back(O);
    }
  }
  return Out;
}

std::vector<SetupStringStore::Op> SetupStringStore::Sets() const {
  std::vector<Op> Out;
  for (const Op &O : Log) {
    if (O.K == Op::Kind::Set) {
      Out.push_back(O);
    }
  }
  return Out;
}

std::string SetupStringStore::Text(UINT16 Id) const {
  auto It = Texts.find(Id);
  return It == Texts.end() ? std::string() : It->second;
}

}  // namespace Sim
