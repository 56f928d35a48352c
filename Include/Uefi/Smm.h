// PI SMM interfaces: base and access protocols, the SMM system table, the
// sleep-state and power-button child dispatchers, the SMM variable protocol.
#pragma once

#include "Uefi/SystemTable.h"

struct EFI_SMM_SYSTEM_TABLE2;

// --- EFI_SMM_BASE2_PROTOCOL --------------------------------------------------
struct EFI_SMM_BASE2_PROTOCOL;
using EFI_SMM_INSIDE_OUT2 = EFI_STATUS(EFIAPI *)(const EFI_SMM_BASE2_PROTOCOL *This,
                                                 BOOLEAN *InSmram);
using EFI_SMM_GET_SMST_LOCATION2 = EFI_STATUS(EFIAPI *)(const EFI_SMM_BASE2_PROTOCOL *This,
                                                        EFI_SMM_SYSTEM_TABLE2 **Smst);
struct EFI_SMM_BASE2_PROTOCOL {
  EFI_SMM_INSIDE_OUT2 InSmm;
  EFI_SMM_GET_SMST_LOCATION2 GetSmstLocation;
};

// --- EFI_SMM_ACCESS2_PROTOCOL ------------------------------------------------
struct EFI_SMRAM_DESCRIPTOR {
  EFI_PHYSICAL_ADDRESS PhysicalStart;
  EFI_PHYSICAL_ADDRESS CpuStart;
  UINT64 PhysicalSize;
  UINT64 RegionState;
};

struct EFI_SMM_ACCESS2_PROTOCOL;
using EFI_SMM_OPEN2 = EFI_STATUS(EFIAPI *)(EFI_SMM_ACCESS2_PROTOCOL *This);
using EFI_SMM_CAPABILITIES2 = EFI_STATUS(EFIAPI *)(const EFI_SMM_ACCESS2_PROTOCOL *This,
                                                   UINTN *SmramMapSize,
                                                   EFI_SMRAM_DESCRIPTOR *SmramMap);
struct EFI_SMM_ACCESS2_PROTOCOL {
  EFI_SMM_OPEN2 Open;
  EFI_SMM_OPEN2 Close;
  EFI_SMM_OPEN2 Lock;
  EFI_SMM_CAPABILITIES2 GetCapabilities;
  BOOLEAN LockState;
  BOOLEAN OpenState;
};

// --- EFI_SMM_SYSTEM_TABLE2 ---------------------------------------------------
using EFI_SMM_HANDLER_ENTRY_POINT2 = EFI_STATUS(EFIAPI *)(EFI_HANDLE DispatchHandle,
                                                          const VOID *Context,
                                                          VOID *CommBuffer,
                                                          UINTN *CommBufferSize);
using EFI_SMM_INSTALL_CONFIGURATION_TABLE2 = EFI_STATUS(EFIAPI *)(
    const EFI_SMM_SYSTEM_TABLE2 *SystemTable, const EFI_GUID *Guid, VOID *Table,
    UINTN TableSize);
using EFI_SMM_NOTIFY_FN = EFI_STATUS(EFIAPI *)(const EFI_GUID *Protocol, VOID *Interface,
                                               EFI_HANDLE Handle);
using EFI_SMM_REGISTER_PROTOCOL_NOTIFY = EFI_STATUS(EFIAPI *)(const EFI_GUID *Protocol,
                                                              EFI_SMM_NOTIFY_FN Function,
                                                              VOID **Registration);
// HandlerType NULL registers a root SMI handler: the SMM core calls it on
// every SMI, whatever raised it.
using EFI_SMM_INTERRUPT_REGISTER = EFI_STATUS(EFIAPI *)(EFI_SMM_HANDLER_ENTRY_POINT2 Handler,
                                                        const EFI_GUID *HandlerType,
                                                        EFI_HANDLE *DispatchHandle);
using EFI_SMM_INTERRUPT_UNREGISTER = EFI_STATUS(EFIAPI *)(EFI_HANDLE DispatchHandle);

// What an SMI handler returns besides EFI_SUCCESS (PI status codes).
inline constexpr EFI_STATUS EFI_WARN_INTERRUPT_SOURCE_PENDING = 0x2000000000000000ULL;
inline constexpr EFI_STATUS EFI_WARN_INTERRUPT_SOURCE_QUIESCED = 0x2000000000000001ULL;
inline constexpr EFI_STATUS EFI_INTERRUPT_PENDING = 0xA000000000000000ULL;

struct EFI_SMM_CPU_IO2_PROTOCOL {
  VOID *MemRead;
  VOID *MemWrite;
  VOID *IoRead;
  VOID *IoWrite;
};

struct EFI_SMM_SYSTEM_TABLE2 {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *SmmFirmwareVendor;
  UINT32 SmmFirmwareRevision;
  EFI_SMM_INSTALL_CONFIGURATION_TABLE2 SmmInstallConfigurationTable;
  EFI_SMM_CPU_IO2_PROTOCOL SmmIo;
  EFI_ALLOCATE_POOL SmmAllocatePool;
  EFI_FREE_POOL SmmFreePool;
  EFI_ALLOCATE_PAGES SmmAllocatePages;
  EFI_FREE_PAGES SmmFreePages;
  EFI_UNUSED_SLOT SmmStartupThisAp;
  UINTN CurrentlyExecutingCpu;
  UINTN NumberOfCpus;
  UINTN *CpuSaveStateSize;
  VOID **CpuSaveState;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE *SmmConfigurationTable;
  EFI_INSTALL_PROTOCOL_INTERFACE SmmInstallProtocolInterface;
  EFI_UNINSTALL_PROTOCOL_INTERFACE SmmUninstallProtocolInterface;
  EFI_HANDLE_PROTOCOL SmmHandleProtocol;
  EFI_SMM_REGISTER_PROTOCOL_NOTIFY SmmRegisterProtocolNotify;
  EFI_UNUSED_SLOT SmmLocateHandle;
  EFI_LOCATE_PROTOCOL SmmLocateProtocol;
  EFI_UNUSED_SLOT SmiManage;
  EFI_SMM_INTERRUPT_REGISTER SmiHandlerRegister;
  EFI_SMM_INTERRUPT_UNREGISTER SmiHandlerUnRegister;
};

inline constexpr UINT32 SMM_SMST_SIGNATURE = 0x54534D53;

// --- Sleep-state dispatcher --------------------------------------------------
enum EFI_SLEEP_TYPE : UINT32 { SxS0 = 0, SxS1, SxS2, SxS3, SxS4, SxS5, EfiMaximumSleepType };
enum EFI_SLEEP_PHASE : UINT32 { SxEntry = 0, SxExit, EfiMaximumPhase };

struct EFI_SMM_SX_REGISTER_CONTEXT {
  EFI_SLEEP_TYPE Type;
  EFI_SLEEP_PHASE Phase;
};

struct EFI_SMM_SX_DISPATCH2_PROTOCOL;
using EFI_SMM_SX_REGISTER2 = EFI_STATUS(EFIAPI *)(const EFI_SMM_SX_DISPATCH2_PROTOCOL *This,
                                                  EFI_SMM_HANDLER_ENTRY_POINT2 DispatchFunction,
                                                  const EFI_SMM_SX_REGISTER_CONTEXT *RegisterContext,
                                                  EFI_HANDLE *DispatchHandle);
using EFI_SMM_SX_UNREGISTER2 = EFI_STATUS(EFIAPI *)(const EFI_SMM_SX_DISPATCH2_PROTOCOL *This,
                                                    EFI_HANDLE DispatchHandle);
struct EFI_SMM_SX_DISPATCH2_PROTOCOL {
  EFI_SMM_SX_REGISTER2 Register;
  EFI_SMM_SX_UNREGISTER2 UnRegister;
};

// --- Power-button dispatcher -------------------------------------------------
enum EFI_POWER_BUTTON_PHASE : UINT32 {
  EfiPowerButtonEntry = 0,
  EfiPowerButtonExit,
  EfiPowerButtonMax
};

struct EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT {
  EFI_POWER_BUTTON_PHASE Phase;
};

struct EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL;
using EFI_SMM_POWER_BUTTON_REGISTER2 = EFI_STATUS(EFIAPI *)(
    const EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL *This,
    EFI_SMM_HANDLER_ENTRY_POINT2 DispatchFunction,
    EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT *RegisterContext, EFI_HANDLE *DispatchHandle);
using EFI_SMM_POWER_BUTTON_UNREGISTER2 = EFI_STATUS(EFIAPI *)(
    const EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL *This, EFI_HANDLE DispatchHandle);
struct EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL {
  EFI_SMM_POWER_BUTTON_REGISTER2 Register;
  EFI_SMM_POWER_BUTTON_UNREGISTER2 UnRegister;
};

// --- SMM variable protocol (no This pointer, like the runtime services) ------
struct EFI_SMM_VARIABLE_PROTOCOL {
  EFI_GET_VARIABLE SmmGetVariable;
  EFI_UNUSED_SLOT SmmGetNextVariableName;
  EFI_SET_VARIABLE SmmSetVariable;
  EFI_UNUSED_SLOT SmmQueryVariableInfo;
};

inline constexpr EFI_GUID EFI_SMM_BASE2_PROTOCOL_GUID = {
    0xF4CCBFB7, 0xF6E0, 0x47FD, {0x9D, 0xD4, 0x10, 0xA8, 0xF1, 0x50, 0xC1, 0x91}};
inline constexpr EFI_GUID EFI_SMM_ACCESS2_PROTOCOL_GUID = {
    0xC2702B74, 0x800C, 0x4131, {0x87, 0x46, 0x8F, 0xB5, 0xB8, 0x9C, 0xE4, 0xAC}};
inline constexpr EFI_GUID EFI_SMM_SX_DISPATCH2_PROTOCOL_GUID = {
    0x456D2859, 0xA84B, 0x4E47, {0xA2, 0xEE, 0x32, 0x76, 0xD8, 0x86, 0x99, 0x7D}};
inline constexpr EFI_GUID EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL_GUID = {
    0x1B1183FA, 0x1823, 0x46A7, {0x88, 0x72, 0x9C, 0x57, 0x87, 0x55, 0x40, 0x9D}};
inline constexpr EFI_GUID EFI_SMM_VARIABLE_PROTOCOL_GUID = {
    0xED32D533, 0x99E6, 0x4209, {0x9C, 0xC0, 0x2D, 0x72, 0xCD, 0xD9, 0x98, 0xA7}};

static_assert(sizeof(EFI_SMM_BASE2_PROTOCOL) == 0x10);
static_assert(offsetof(EFI_SMM_BASE2_PROTOCOL, GetSmstLocation) == 0x08);
static_assert(sizeof(EFI_SMM_ACCESS2_PROTOCOL) == 0x28);
static_assert(offsetof(EFI_SMM_ACCESS2_PROTOCOL, GetCapabilities) == 0x18 &&
              offsetof(EFI_SMM_ACCESS2_PROTOCOL, LockState) == 0x20 &&
              offsetof(EFI_SMM_ACCESS2_PROTOCOL, OpenState) == 0x21);
static_assert(sizeof(EFI_SMRAM_DESCRIPTOR) == 0x20);
static_assert(offsetof(EFI_SMRAM_DESCRIPTOR, CpuStart) == 0x08 &&
              offsetof(EFI_SMRAM_DESCRIPTOR, PhysicalSize) == 0x10 &&
              offsetof(EFI_SMRAM_DESCRIPTOR, RegionState) == 0x18);
static_assert(sizeof(EFI_SMM_CPU_IO2_PROTOCOL) == 0x20);
static_assert(sizeof(EFI_SMM_SYSTEM_TABLE2) == 0xF0);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmFirmwareRevision) == 0x20);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmInstallConfigurationTable) == 0x28);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmIo) == 0x30);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmAllocatePool) == 0x50);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmFreePool) == 0x58);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmAllocatePages) == 0x60);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmFreePages) == 0x68);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmStartupThisAp) == 0x70);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, CurrentlyExecutingCpu) == 0x78);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, NumberOfCpus) == 0x80);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, CpuSaveStateSize) == 0x88);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, CpuSaveState) == 0x90);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, NumberOfTableEntries) == 0x98);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmConfigurationTable) == 0xA0);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmInstallProtocolInterface) == 0xA8);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmUninstallProtocolInterface) == 0xB0);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmHandleProtocol) == 0xB8);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmRegisterProtocolNotify) == 0xC0);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmLocateHandle) == 0xC8);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmLocateProtocol) == 0xD0);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmiManage) == 0xD8);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmiHandlerRegister) == 0xE0);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmiHandlerUnRegister) == 0xE8);
static_assert(sizeof(EFI_SMM_SX_REGISTER_CONTEXT) == 8);
static_assert(offsetof(EFI_SMM_SX_REGISTER_CONTEXT, Phase) == 0x04);
static_assert(sizeof(EFI_SMM_SX_DISPATCH2_PROTOCOL) == 0x10);
static_assert(offsetof(EFI_SMM_SX_DISPATCH2_PROTOCOL, UnRegister) == 0x08);
static_assert(sizeof(EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT) == 4);
static_assert(sizeof(EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL) == 0x10);
static_assert(sizeof(EFI_SMM_VARIABLE_PROTOCOL) == 0x20);
static_assert(offsetof(EFI_SMM_VARIABLE_PROTOCOL, SmmGetNextVariableName) == 0x08 &&
              offsetof(EFI_SMM_VARIABLE_PROTOCOL, SmmSetVariable) == 0x10 &&
              offsetof(EFI_SMM_VARIABLE_PROTOCOL, SmmQueryVariableInfo) == 0x18);
static_assert(sizeof(EFI_SLEEP_TYPE) == 4 && SxS5 == 5 && sizeof(EFI_POWER_BUTTON_PHASE) == 4);
static_assert(sizeof(EFI_SLEEP_PHASE) == 4 && SxEntry == 0 && EfiPowerButtonEntry == 0);
static_assert(EFI_ERROR(EFI_INTERRUPT_PENDING) && !EFI_ERROR(EFI_WARN_INTERRUPT_SOURCE_PENDING));
