// Fault injection for every simulated platform service. Each service call
// goes through Check(<service name>): the call is counted, logged in order,
// and answered with an injected failure when a rule matches it.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Uefi/Base.h"

namespace Sim {

struct Fault {
  EFI_STATUS Status = EFI_DEVICE_ERROR;
  // For lookups: report success but hand back a NULL interface.
  bool NullInterface = false;
};

class FaultInjector {
 public:
  // Fail the Nth call (1-based) of Service; Nth == 0 fails every call.
  void Fail(const std::string &Service, unsigned Nth, EFI_STATUS Status);
  void FailAll(const std::string &Service, EFI_STATUS Status) { Fail(Service, 0, Status); }
  // Lookup answered with EFI_SUCCESS and a NULL interface.
  void NullResult(const std::string &Service, unsigned Nth);
  // Fail the Nth call overall, whatever service it is (for sweeps).
  void FailGlobal(unsigned Nth, Fault F);
  void Clear();

  // Counts the call and returns the fault to inject, if any. Detail (for
  // lookups, the protocol's name) is logged with the call for sweeps.
  std::optional<Fault> Check(const std::string &Service, const std::string &Detail = {});

  unsigned Calls(const std::string &Service) const;
  const std::vector<std::string> &CallLog() const { return Log; }
  const std::vector<std::string> &CallDetails() const { return Details; }
  unsigned Injected() const { return InjectedCount; }

 private:
  struct Rule {
    std::string Service;
    unsigned Nth;
    Fault F;
  };
  std::vector<Rule> Rules;
  std::optional<std::pair<unsigned, Fault>> Global;
  std::map<std::string, unsigned> Counts;
  std::vector<std::string> Log;
  std::vector<std::string> Details;
  unsigned InjectedCount = 0;
};

}  // namespace Sim
