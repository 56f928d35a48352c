// The SMM side of the simulated board: what an SMM driver meets at load and
// what raises its handlers afterwards.
//
// - EFI_SMM_BASE2_PROTOCOL and EFI_SMM_ACCESS2_PROTOCOL in the boot-services
//   database (in SMM or not; SMRAM ranges over a real host arena);
// - an SMST with its own protocol database, an SMM pool carved from SMRAM
//   (tracked: a free of anything it did not hand out is an error) and a
//   configuration table;
// - the sleep-state and power-button child dispatchers, which keep their
//   registrations and raise the SMI on demand ("enter S5", "press the power
//   button");
// - the SMM variable protocol over the platform's variable store, the Super
//   I/O access gate record (it records its calls and can fail), the SMM
//   runtime-services table and SmmPlatformServiceProtocol;
// - poisoning of the boot services, runtime services and system table once
//   the driver's entry has returned: any later use is an error.
//
// Every service goes through Faults.Check("<Name>"). After each handler run
// the model checks that every port access lay inside a held SioAccessGate,
// that the gate was handed back and that the Super I/O left configuration
// mode.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "SmmPlatform.h"
#include "Simulator/SmmPoison.h"
#include "Uefi/Smm.h"

namespace Sim {

class Platform;

// Which parts of SMM the board offers; everything by default.
struct SmmSetup {
  bool InSmm = true;             // what EFI_SMM_BASE2_PROTOCOL.InSmm reports
  bool Base2 = true;             // boot-services database
  bool Access2 = true;           // boot-services database
  bool PlatformService = true;   // SMM database
  bool SxDispatcher = true;      // SMM database
  bool PowerButtonDispatcher = true;
  bool VariableProtocol = true;  // SMM database
  bool SioAccessGate = true;     // SMST configuration table
  bool RuntimeServicesTable = true;  // SMST configuration table
};

enum class SmiSource { S5Entry, PowerButton };

class SmmModel {
 public:
  // One registration kept by a child dispatcher.
  struct Registration {
    EFI_SMM_HANDLER_ENTRY_POINT2 Handler = nullptr;
    EFI_SMM_SX_REGISTER_CONTEXT SxContext{};
    EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT PowerButtonContext{};
    bool Active = true;
  };

  struct GateCall {
    BOOLEAN Acquire;
    EFI_STATUS Status;
    size_t TracePosition;  // hardware-trace length when the call was made
  };

  // One handler run inside one SMI.
  struct HandlerRun {
    SmiSource Source;
    EFI_STATUS Status;
    size_t TraceBegin, TraceEnd;      // its slice of the hardware trace
    size_t GateBegin, GateEnd;        // its slice of GateCalls()
    unsigned PoolAllocations;         // SmmAllocatePool calls it made
  };

  // Arguments a raised SMI hands to the handlers; by default what the
  // dispatchers pass (the registration context, no communication buffer).
  struct SmiArguments {
    bool Override = false;
    const VOID *Context = nullptr;
    VOID *CommBuffer = nullptr;
    UINTN *CommBufferSize = nullptr;
  };

  static constexpr UINTN SmramSize = 0x20000;
  static constexpr UINTN SmmCoreReserved = 0x4000;  // first range: not pool
  static constexpr UINT64 SmramRangeState = 0x8 | 0x10;  // CACHEABLE | ALLOCATED

  explicit SmmModel(Platform &Owner);
  ~SmmModel();
  SmmModel(const SmmModel &) = delete;
  SmmModel &operator=(const SmmModel &) = delete;

  // --- the board's SMM, as the SMM core would set it up --------------------
  void Build(const SmmSetup &Setup = {});
  bool InSmm = true;
  std::vector<EFI_SMRAM_DESCRIPTOR> SmramRanges;  // what Access2 reports
  // When set, replaces SmramRanges once a size query has been answered: a
  // map that changes between the caller's two GetCapabilities calls.
  std::optional<std::vector<EFI_SMRAM_DESCRIPTOR>> SmramRangesAfterSizeQuery;
  // The SMST pool hands out boot-services pool (a core outside SMRAM).
  bool PoolOutsideSmram = false;
  SmiArguments NextSmi;

  void InstallSmmProtocol(const EFI_GUID &Guid, VOID *Interface);
  // Appends, even when the GUID is already in the table.
  void AddConfigurationTable(const EFI_GUID &Guid, VOID *Table);

  // Starts the driver as the SMM core does, then poisons what the driver
  // must not use any more.
  EFI_STATUS LoadDriver(EFI_IMAGE_ENTRY_POINT Entry);

  // --- events after the load ------------------------------------------------
  unsigned EnterS5() { return RaiseSx(SxS5, SxEntry); }
  unsigned RaiseSx(EFI_SLEEP_TYPE Type, EFI_SLEEP_PHASE Phase);
  unsigned PressPowerButton();

  // --- inspection -----------------------------------------------------------
  EFI_SMM_SYSTEM_TABLE2 *Smst() { return &Table; }
  EFI_SMM_BASE2_PROTOCOL *Base2() { return &Base; }
  EFI_SMM_ACCESS2_PROTOCOL *Access2() { return &Access; }
  EFI_RUNTIME_SERVICES *SmmRuntimeServices() { return &SmmRt; }
  VOID *PlatformService() { return &PlatformServiceRecord; }
  SIO_ACCESS_GATE *Gate() { return &GateRecord; }
  const std::vector<Registration *> SxRegistrations() const { return Active(SxRegs); }
  const std::vector<Registration *> PowerButtonRegistrations() const {
    return Active(PowerButtonRegs);
  }
  const std::vector<GateCall> &GateCalls() const { return Gates; }
  const std::vector<HandlerRun> &Runs() const { return HandlerRuns; }
  bool GateHeld() const { return Held; }
  size_t PoolInUse() const { return Pool.size(); }
  bool InSmmPool(const VOID *Buffer) const { return Pool.count(const_cast<VOID *>(Buffer)) != 0; }
  bool InSmram(const VOID *Buffer) const;
  bool Poisoned() const { return Poison.Applied(); }
  void LiftPoison() { Poison.Lift(); }

  // --- the services, as the firmware-facing trampolines call them ----------
  EFI_STATUS GetSmstLocation(EFI_SMM_SYSTEM_TABLE2 **Smst);
  EFI_STATUS GetCapabilities(UINTN *Size, EFI_SMRAM_DESCRIPTOR *Map);
  EFI_STATUS AllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, VOID **Buffer);
  EFI_STATUS FreePool(VOID *Buffer);
  EFI_STATUS InstallProtocol(EFI_HANDLE *Handle, const EFI_GUID *Guid, VOID *Interface);
  EFI_STATUS HandleProtocol(EFI_HANDLE Handle, const EFI_GUID *Guid, VOID **Interface);
  EFI_STATUS LocateProtocol(const EFI_GUID *Guid, VOID *Registration, VOID **Interface);
  EFI_STATUS InstallConfigurationTable(const EFI_GUID *Guid, VOID *Table);
  EFI_STATUS Register(std::deque<Registration> &Regs, EFI_SMM_HANDLER_ENTRY_POINT2 Handler,
                      const Registration &Row, EFI_HANDLE *DispatchHandle);
  EFI_STATUS UnRegister(std::deque<Registration> &Regs, EFI_HANDLE DispatchHandle);
  EFI_STATUS SioAccessGate(BOOLEAN Acquire);

  std::deque<Registration> SxRegs, PowerButtonRegs;  // stable addresses: the handles

 private:
  struct SmmProtocol {
    EFI_HANDLE Handle;
    EFI_GUID Guid;
    VOID *Interface;
  };
  static std::vector<Registration *> Active(const std::deque<Registration> &Regs);
  void PublishConfig();
  unsigned Raise(SmiSource Source, std::deque<Registration> &Regs,
                 bool (*Matches)(const Registration &, const VOID *), const VOID *Want);
  void InitDispatchers();
  // Port accesses inside the gate, gate released, Super I/O left closed.
  void CheckHandlerRun(const HandlerRun &Run);

  Platform &P;
  EFI_SMM_BASE2_PROTOCOL Base{};
  EFI_SMM_ACCESS2_PROTOCOL Access{};
  EFI_SMM_SYSTEM_TABLE2 Table{};
  EFI_SMM_SX_DISPATCH2_PROTOCOL Sx{};
  EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL PowerButton{};
  EFI_SMM_VARIABLE_PROTOCOL Variable{};
  EFI_RUNTIME_SERVICES SmmRt{};
  SIO_ACCESS_GATE GateRecord{};
  UINT64 PlatformServiceRecord = 0;

  std::unique_ptr<UINT8[]> Smram;
  UINTN PoolNext = 0;  // bump offset into Smram
  std::map<VOID *, UINTN> Pool;
  std::vector<SmmProtocol> Protocols;
  std::vector<std::unique_ptr<UINT8>> Handles;
  std::vector<EFI_CONFIGURATION_TABLE> Config;
  std::vector<GateCall> Gates;
  std::vector<HandlerRun> HandlerRuns;
  bool Held = false;
  bool InSmi = false;
  LoadTimeTablePoison Poison;
};

}  // namespace Sim
