// Registration of UsbStandbyHandler with the sleep-state dispatcher (S5
// entry) and the power-button dispatcher.
#include "UsbSupportS5Smm.h"

namespace {

constexpr EFI_SMM_SX_REGISTER_CONTEXT S5EntryContext = {SxS5, SxEntry};

}  // namespace

EFI_STATUS RegisterUsbStandbyHandler(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (VOID)ImageHandle;
  // The second run finds the tables and the base protocol held and retries a
  // platform-service lookup that failed the first time.
  const SmmContextResult Context = InitSmmDriverContext(SystemTable);
  if (Context.End == SmmContextEnd::NotInSmm) {
    return EFI_SUCCESS;
  }
  if (EFI_ERROR(Context.Status)) {
    return Context.Status;
  }
  EFI_SMM_SYSTEM_TABLE2 *Smst = gSmmDriverContext.Smst;
  if (Smst == nullptr) {
    return EFI_UNSUPPORTED;  // the SMST went away between the two runs
  }

  // Neither handle outlives the load: a loaded driver never unregisters.
  EFI_HANDLE DispatchHandle = nullptr;

  VOID *Sx = nullptr;
  if (EFI_ERROR(Smst->SmmLocateProtocol(&EFI_SMM_SX_DISPATCH2_PROTOCOL_GUID, nullptr, &Sx)) ||
      Sx == nullptr) {
    return EFI_SUCCESS;  // no S5 hook on this platform, so no power-button one either
  }
  auto *SxDispatch = static_cast<EFI_SMM_SX_DISPATCH2_PROTOCOL *>(Sx);
  EFI_STATUS Status =
      SxDispatch->Register(SxDispatch, UsbStandbyHandler, &S5EntryContext, &DispatchHandle);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_HANDLE S5Handle = DispatchHandle;

  VOID *PowerButton = nullptr;
  if (EFI_ERROR(Smst->SmmLocateProtocol(&EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL_GUID, nullptr,
                                        &PowerButton)) ||
      PowerButton == nullptr) {
    return EFI_SUCCESS;  // the S5 registration is enough to load
  }
  auto *PowerButtonDispatch = static_cast<EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL *>(PowerButton);
  // The dispatcher's Register takes a non-const context.
  EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT PowerButtonContext = {EfiPowerButtonEntry};
  Status = PowerButtonDispatch->Register(PowerButtonDispatch, UsbStandbyHandler,
                                         &PowerButtonContext, &DispatchHandle);
  if (EFI_ERROR(Status)) {
    // A failed load may have its SMRAM freed by the SMM core; a handler left
    // registered would then point into freed SMRAM.
    SxDispatch->UnRegister(SxDispatch, S5Handle);
  }
  return Status;
}
