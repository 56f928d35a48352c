// The sleep-state and power-button child dispatchers: they keep what was
// registered and, when the scenario raises the SMI, call each matching
// handler the way a dispatcher does, checking what the handler left behind.
#include "Simulator/Platform.h"
#include "Simulator/SmmModel.h"

namespace Sim {

namespace {

EFI_STATUS EFIAPI SimSxRegister(const EFI_SMM_SX_DISPATCH2_PROTOCOL *,
                                EFI_SMM_HANDLER_ENTRY_POINT2 Handler,
                                const EFI_SMM_SX_REGISTER_CONTEXT *Context,
                                EFI_HANDLE *DispatchHandle) {
  if (auto F = Inject("SxRegister")) {
    return F->Status;
  }
  if (Context == nullptr || Context->Type >= EfiMaximumSleepType ||
      Context->Phase >= EfiMaximumPhase) {
    return EFI_INVALID_PARAMETER;
  }
  SmmModel::Registration Row;
  Row.SxContext = *Context;  // dispatchers keep a copy, not the caller's pointer
  SmmModel &Smm = Platform::Current().Smm;
  return Smm.Register(Smm.SxRegs, Handler, Row, DispatchHandle);
}

EFI_STATUS EFIAPI SimSxUnRegister(const EFI_SMM_SX_DISPATCH2_PROTOCOL *, EFI_HANDLE Handle) {
  if (auto F = Inject("SxUnRegister")) {
    return F->Status;
  }
  SmmModel &Smm = Platform::Current().Smm;
  return Smm.UnRegister(Smm.SxRegs, Handle);
}

EFI_STATUS EFIAPI SimPowerButtonRegister(const EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL *,
                                         EFI_SMM_HANDLER_ENTRY_POINT2 Handler,
                                         EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT *Context,
                                         EFI_HANDLE *DispatchHandle) {
  if (auto F = Inject("PowerButtonRegister")) {
    return F->Status;
  }
  if (Context == nullptr || Context->Phase >= EfiPowerButtonMax) {
    return EFI_INVALID_PARAMETER;
  }
  SmmModel::Registration Row;
  Row.PowerButtonContext = *Context;
  SmmModel &Smm = Platform::Current().Smm;
  return Smm.Register(Smm.PowerButtonRegs, Handler, Row, DispatchHandle);
}

EFI_STATUS EFIAPI SimPowerButtonUnRegister(const EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL *,
                                           EFI_HANDLE Handle) {
  if (auto F = Inject("PowerButtonUnRegister")) {
    return F->Status;
  }
  SmmModel &Smm = Platform::Current().Smm;
  return Smm.UnRegister(Smm.PowerButtonRegs, Handle);
}

bool SxMatches(const SmmModel::Registration &R, const VOID *Want) {
  const auto *W = static_cast<const EFI_SMM_SX_REGISTER_CONTEXT *>(Want);
  return R.SxContext.Type == W->Type && R.SxContext.Phase == W->Phase;
}

bool PowerButtonMatches(const SmmModel::Registration &R, const VOID *Want) {
  const auto *W = static_cast<const EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT *>(Want);
  return R.PowerButtonContext.Phase == W->Phase;
}

}  // namespace

void SmmModel::InitDispatchers() {
  Sx.Register = SimSxRegister;
  Sx.UnRegister = SimSxUnRegister;
  PowerButton.Register = SimPowerButtonRegister;
  PowerButton.UnRegister = SimPowerButtonUnRegister;
}

EFI_STATUS SmmModel::Register(std::deque<Registration> &Regs,
                              EFI_SMM_HANDLER_ENTRY_POINT2 Handler, const Registration &Row,
                              EFI_HANDLE *DispatchHandle) {
  if (Handler == nullptr || DispatchHandle == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  Regs.push_back(Row);
  Regs.back().Handler = Handler;
  *DispatchHandle = &Regs.back();
  return EFI_SUCCESS;
}

EFI_STATUS SmmModel::UnRegister(std::deque<Registration> &Regs, EFI_HANDLE DispatchHandle) {
  for (Registration &R : Regs) {
    if (&R == DispatchHandle && R.Active) {
      R.Active = false;
      return EFI_SUCCESS;
    }
  }
  return EFI_INVALID_PARAMETER;
}

std::vector<SmmModel::Registration *> SmmModel::Active(const std::deque<Registration> &Regs) {
  std::vector<Registration *> Out;
  for (const Registration &R : Regs) {
    if (R.Active) {
      Out.push_back(const_cast<Registration *>(&R));
    }
  }
  return Out;
}

unsigned SmmModel::RaiseSx(EFI_SLEEP_TYPE Type, EFI_SLEEP_PHASE Phase) {
  const EFI_SMM_SX_REGISTER_CONTEXT Want = {Type, Phase};
  return Raise(SmiSource::S5Entry, SxRegs, SxMatches, &Want);
}

unsigned SmmModel::PressPowerButton() {
  const EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT Want = {EfiPowerButtonEntry};
  return Raise(SmiSource::PowerButton, PowerButtonRegs, PowerButtonMatches, &Want);
}

unsigned SmmModel::Raise(SmiSource Source, std::deque<Registration> &Regs,
                         bool (*Matches)(const Registration &, const VOID *), const VOID *Want) {
  if (InSmi) {
    P.Error("SMI raised while an SMI is being handled");
    return 0;
  }
  InSmi = true;
  const SmiArguments Args = NextSmi;
  NextSmi = {};
  unsigned Ran = 0;
  // Handlers registered during this SMI wait for the next one.
  const size_t Count = Regs.size();
  for (size_t I = 0; I < Count; ++I) {
    Registration &R = Regs[I];
    if (!R.Active || !Matches(R, Want)) {
      continue;
    }
    const VOID *Context = Source == SmiSource::S5Entry ? static_cast<const VOID *>(&R.SxContext)
                                                       : &R.PowerButtonContext;
    VOID *CommBuffer = nullptr;
    UINTN *CommBufferSize = nullptr;
    if (Args.Override) {
      Context = Args.Context;
      CommBuffer = Args.CommBuffer;
      CommBufferSize = Args.CommBufferSize;
    }
    HandlerRun Run{Source, EFI_SUCCESS, P.Trace.size(), 0, Gates.size(), 0, 0};
    const unsigned AllocationsBefore = P.Faults.Calls("SmmAllocatePool");
    Run.Status = R.Handler(&R, Context, CommBuffer, CommBufferSize);
    Run.TraceEnd = P.Trace.size();
    Run.GateEnd = Gates.size();
    Run.PoolAllocations = P.Faults.Calls("SmmAllocatePool") - AllocationsBefore;
    HandlerRuns.push_back(Run);
    CheckHandlerRun(Run);
    ++Ran;
  }
  InSmi = false;
  Held = false;  // the platform takes the gate back when the SMI ends
  return Ran;
}

void SmmModel::CheckHandlerRun(const HandlerRun &Run) {
  for (size_t I = Run.TraceBegin; I < Run.TraceEnd; ++I) {
    if (!P.Trace[I].IsPort()) {
      continue;
    }
    const GateCall *Last = nullptr;
    for (size_t G = Run.GateBegin; G < Run.GateEnd && Gates[G].TracePosition <= I; ++G) {
      Last = &Gates[G];
    }
    if (Last == nullptr || Last->Acquire == FALSE || EFI_ERROR(Last->Status)) {
      P.Error("SMI handler touched a port outside the SioAccessGate bracket");
      break;
    }
  }
  if (Run.GateEnd > Run.GateBegin) {
    const GateCall &Last = Gates[Run.GateEnd - 1];
    if (Last.Acquire != FALSE && !EFI_ERROR(Last.Status)) {
      P.Error("SMI handler returned holding the SioAccessGate");
    }
  }
  if (P.SuperIo.InConfigMode()) {
    P.Error("SMI handler left the Super I/O in configuration mode");
  }
}

}  // namespace Sim
