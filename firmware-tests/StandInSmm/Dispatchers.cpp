// The sleep-state and power-button dispatchers a chipset would provide.
// Register keeps the handler and a copy of its context and hands out the
// slot as the handle; UnRegister retires the slot. RaiseEvent calls the
// handlers of one event the way a dispatcher does on its SMI: for S5 entry
// only the {SxS5, SxEntry} registrations (OVMF registers S3 handlers with any
// Sx dispatcher; those must never run at S5), with the registration's own
// context, and a CommBuffer that the handler has no business reading.
#include "StandInSmm.h"

namespace {

using namespace StandIn;
using SmmTest::MaxRegistrations;

// Non-canonical: the first access through either faults at once.
constexpr UINT64 JunkCommBuffer = 0xDEAD00000000BEEFULL;
constexpr UINT64 JunkCommBufferSize = 0xDEAD0000000051A0ULL;

struct SxSlot {
  EFI_SMM_HANDLER_ENTRY_POINT2 Handler;
  EFI_SMM_SX_REGISTER_CONTEXT Context;
  bool Live;
};
struct PowerButtonSlot {
  EFI_SMM_HANDLER_ENTRY_POINT2 Handler;
  EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT Context;
  bool Live;
};

SxSlot gSx[MaxRegistrations];
UINT32 gSxUsed;
PowerButtonSlot gPowerButton[MaxRegistrations];
UINT32 gPowerButtonUsed;
bool gDriverAttributed;

constexpr const CHAR8 *SleepTypeNames[] = {"S0", "S1", "S2", "S3", "S4", "S5"};
constexpr const CHAR8 *SleepPhaseNames[] = {"entry", "exit"};
constexpr const CHAR8 *PowerButtonPhaseNames[] = {"entry", "exit"};
static_assert(sizeof(SleepTypeNames) / sizeof(SleepTypeNames[0]) == EfiMaximumSleepType);
static_assert(sizeof(SleepPhaseNames) / sizeof(SleepPhaseNames[0]) == EfiMaximumPhase);
static_assert(sizeof(PowerButtonPhaseNames) / sizeof(PowerButtonPhaseNames[0]) ==
              EfiPowerButtonMax);

bool IsS5Entry(const EFI_SMM_SX_REGISTER_CONTEXT &Context) {
  return Context.Type == SxS5 && Context.Phase == SxEntry;
}

VOID Mirror(SmmTest::Registration *Out, EFI_SMM_HANDLER_ENTRY_POINT2 Handler, UINT64 Caller,
            UINT32 Context0, UINT32 Context1) {
  Out->Handler = reinterpret_cast<UINT64>(Handler);
  Out->Caller = Caller;
  Out->Context[0] = Context0;
  Out->Context[1] = Context1;
  Out->Live = TRUE;
}

// One boot-report line per registration, as it happens: it shows who
// registered what, and when in the boot.
VOID LogRegistration(const CHAR8 *Dispatcher, const CHAR8 *Context, const CHAR8 *Phase,
                     UINT64 Handler, UINT64 Caller) {
  Line L;
  L.Str("INFO smm-standin: ").Str(Dispatcher).Str(" Register {").Str(Context);
  if (Phase != nullptr) {
    L.Str(", ").Str(Phase);
  }
  Emit(L.Str("} handler ").Hex(Handler).Str(" by code at ").Hex(Caller));
}

// The first S5-entry registration is UsbSupportS5Smm's (nobody else on this
// bench registers one): the allocations its image made while loading are
// still among the recent ones.
VOID NoteS5EntryRegistration(EFI_SMM_HANDLER_ENTRY_POINT2 Handler) {
  if (gDriverAttributed) {
    return;
  }
  gDriverAttributed = true;
  AttributeLoadAllocations(FindImage(reinterpret_cast<UINT64>(Handler)));
}

EFI_STATUS EFIAPI SxRegister(const EFI_SMM_SX_DISPATCH2_PROTOCOL *This,
                             EFI_SMM_HANDLER_ENTRY_POINT2 DispatchFunction,
                             const EFI_SMM_SX_REGISTER_CONTEXT *RegisterContext,
                             EFI_HANDLE *DispatchHandle) {
  (VOID)This;
  const auto Caller = reinterpret_cast<UINT64>(__builtin_return_address(0));
  if (DispatchFunction == nullptr || RegisterContext == nullptr || DispatchHandle == nullptr ||
      RegisterContext->Type >= EfiMaximumSleepType ||
      RegisterContext->Phase >= EfiMaximumPhase) {
    ++gReport->RejectedRegisterCalls;
    return EFI_INVALID_PARAMETER;
  }
  if (gSxUsed == MaxRegistrations) {
    ++gReport->RejectedRegisterCalls;
    return EFI_OUT_OF_RESOURCES;
  }
  SxSlot &Slot = gSx[gSxUsed];
  Slot = {DispatchFunction, *RegisterContext, true};
  Mirror(&gReport->Sx[gSxUsed], DispatchFunction, Caller, Slot.Context.Type, Slot.Context.Phase);
  gReport->SxCount = ++gSxUsed;
  *DispatchHandle = &Slot;

  LogRegistration("Sx", SleepTypeNames[Slot.Context.Type], SleepPhaseNames[Slot.Context.Phase],
                  reinterpret_cast<UINT64>(DispatchFunction), Caller);
  if (IsS5Entry(Slot.Context)) {
    NoteS5EntryRegistration(DispatchFunction);
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SxUnRegister(const EFI_SMM_SX_DISPATCH2_PROTOCOL *This,
                               EFI_HANDLE DispatchHandle) {
  (VOID)This;
  ++gReport->UnRegisterCalls;
  for (UINT32 I = 0; I < gSxUsed; ++I) {
    if (DispatchHandle == &gSx[I] && gSx[I].Live) {
      gSx[I].Live = false;
      gReport->Sx[I].Live = FALSE;
      return EFI_SUCCESS;
    }
  }
  return EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI PowerButtonRegister(const EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL *This,
                                      EFI_SMM_HANDLER_ENTRY_POINT2 DispatchFunction,
                                      EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT *RegisterContext,
                                      EFI_HANDLE *DispatchHandle) {
  (VOID)This;
  const auto Caller = reinterpret_cast<UINT64>(__builtin_return_address(0));
  if (DispatchFunction == nullptr || RegisterContext == nullptr || DispatchHandle == nullptr ||
      RegisterContext->Phase >= EfiPowerButtonMax) {
    ++gReport->RejectedRegisterCalls;
    return EFI_INVALID_PARAMETER;
  }
  if (gPowerButtonUsed == MaxRegistrations) {
    ++gReport->RejectedRegisterCalls;
    return EFI_OUT_OF_RESOURCES;
  }
  PowerButtonSlot &Slot = gPowerButton[gPowerButtonUsed];
  Slot = {DispatchFunction, *RegisterContext, true};
  Mirror(&gReport->PowerButton[gPowerButtonUsed], DispatchFunction, Caller, Slot.Context.Phase, 0);
  gReport->PowerButtonCount = ++gPowerButtonUsed;
  *DispatchHandle = &Slot;
  LogRegistration("power button", PowerButtonPhaseNames[Slot.Context.Phase], nullptr,
                  reinterpret_cast<UINT64>(DispatchFunction), Caller);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI PowerButtonUnRegister(const EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL *This,
                                        EFI_HANDLE DispatchHandle) {
  (VOID)This;
  ++gReport->UnRegisterCalls;
  for (UINT32 I = 0; I < gPowerButtonUsed; ++I) {
    if (DispatchHandle == &gPowerButton[I] && gPowerButton[I].Live) {
      gPowerButton[I].Live = false;
      gReport->PowerButton[I].Live = FALSE;
      return EFI_SUCCESS;
    }
  }
  return EFI_INVALID_PARAMETER;
}

constinit EFI_SMM_SX_DISPATCH2_PROTOCOL gSxDispatch = {SxRegister, SxUnRegister};
constinit EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL gPowerButtonDispatch = {PowerButtonRegister,
                                                                          PowerButtonUnRegister};

}  // namespace

namespace StandIn {

EFI_STATUS InstallDispatchers() {
  EFI_HANDLE SxHandle = nullptr;
  const EFI_STATUS Status = gSmst->SmmInstallProtocolInterface(
      &SxHandle, &EFI_SMM_SX_DISPATCH2_PROTOCOL_GUID, EFI_NATIVE_INTERFACE, &gSxDispatch);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_HANDLE PowerButtonHandle = nullptr;
  return gSmst->SmmInstallProtocolInterface(&PowerButtonHandle,
                                            &EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL_GUID,
                                            EFI_NATIVE_INTERFACE, &gPowerButtonDispatch);
}

UINT32 RaiseEvent(SmmTest::Event Event, SmmTest::Comm Comm, UINT32 *Failures) {
  const bool Junk = Comm == SmmTest::Comm::Junk;
  auto *CommBuffer = Junk ? reinterpret_cast<VOID *>(JunkCommBuffer) : nullptr;
  auto *CommBufferSize = Junk ? reinterpret_cast<UINTN *>(JunkCommBufferSize) : nullptr;
  UINT32 Ran = 0;
  if (Event == SmmTest::Event::S5Entry) {
    for (UINT32 I = 0; I < gSxUsed; ++I) {
      SxSlot &Slot = gSx[I];
      if (Slot.Live && IsS5Entry(Slot.Context)) {
        ++Ran;
        *Failures += Slot.Handler(&Slot, &Slot.Context, CommBuffer, CommBufferSize) != EFI_SUCCESS;
      }
    }
    return Ran;
  }
  for (UINT32 I = 0; I < gPowerButtonUsed; ++I) {
    PowerButtonSlot &Slot = gPowerButton[I];
    if (Slot.Live && Slot.Context.Phase == EfiPowerButtonEntry) {
      ++Ran;
      *Failures += Slot.Handler(&Slot, &Slot.Context, CommBuffer, CommBufferSize) != EFI_SUCCESS;
    }
  }
  return Ran;
}

UINT64 S5EntryHandler() {
  for (UINT32 I = 0; I < gSxUsed; ++I) {
    if (gSx[I].Live && IsS5Entry(gSx[I].Context)) {
      return reinterpret_cast<UINT64>(gSx[I].Handler);
    }
  }
  return 0;
}

}  // namespace StandIn
