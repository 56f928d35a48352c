#include "Simulator/FaultInjector.h"

namespace Sim {

void FaultInjector::Fail(const std::string &Service, unsigned Nth, EFI_STATUS Status) {
  Rules.push_back({Service, Nth, Fault{Status, false}});
}

void FaultInjector::NullResult(const std::string &Service, unsigned Nth) {
  Rules.push_back({Service, Nth, Fault{EFI_SUCCESS, true}});
}

void FaultInjector::FailGlobal(unsigned Nth, Fault F) { Global = std::make_pair(Nth, F); }

void FaultInjector::Clear() {
  Rules.clear();
  Global.reset();
}

std::optional<Fault> FaultInjector::Check(const std::string &Service, const std::string &Detail) {
  const unsigned N = ++Counts[Service];
  Log.push_back(Service);
  Details.push_back(Detail);
  if (Global && Global->first == Log.size()) {
    ++InjectedCount;
    return Global->second;
  }
  for (const Rule &R : Rules) {
    if (R.Service == Service && (R.Nth == 0 || R.Nth == N)) {
      ++InjectedCount;
      return R.F;
    }
  }
  return std::nullopt;
}

unsigned FaultInjector::Calls(const std::string &Service) const {
  auto It = Counts.find(Service);
  return It == Counts.end() ? 0 : It->second;
}

}  // namespace Sim
