// EFI system table, boot services, runtime services and the configuration
// table. Slots the drivers and the simulator never call keep a placeholder
// pointer of the right width so that every used slot sits at its published
// offset (asserted below).
#pragma once

#include "Uefi/Base.h"

struct EFI_TABLE_HEADER {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
};

struct EFI_CONFIGURATION_TABLE {
  EFI_GUID VendorGuid;
  VOID *VendorTable;
};

inline constexpr UINT32 EVT_NOTIFY_SIGNAL = 0x00000200;
inline constexpr UINT32 EVT_NOTIFY_WAIT = 0x00000100;

enum EFI_INTERFACE_TYPE : UINT32 { EFI_NATIVE_INTERFACE = 0 };

enum EFI_RESET_TYPE : UINT32 {
  EfiResetCold = 0,
  EfiResetWarm = 1,
  EfiResetShutdown = 2,
  EfiResetPlatformSpecific = 3,
};

inline constexpr UINT32 EFI_VARIABLE_NON_VOLATILE = 0x1;
inline constexpr UINT32 EFI_VARIABLE_BOOTSERVICE_ACCESS = 0x2;
inline constexpr UINT32 EFI_VARIABLE_RUNTIME_ACCESS = 0x4;

using EFI_EVENT_NOTIFY = VOID(EFIAPI *)(EFI_EVENT Event, VOID *Context);

enum EFI_ALLOCATE_TYPE : UINT32 { AllocateAnyPages = 0, AllocateMaxAddress = 1, AllocateAddress = 2 };

using EFI_RAISE_TPL = EFI_TPL(EFIAPI *)(EFI_TPL NewTpl);
using EFI_RESTORE_TPL = VOID(EFIAPI *)(EFI_TPL OldTpl);
using EFI_ALLOCATE_POOL = EFI_STATUS(EFIAPI *)(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer);
using EFI_FREE_POOL = EFI_STATUS(EFIAPI *)(VOID *Buffer);
// AllocatePages counts in pages of this size.
inline constexpr UINTN EFI_PAGE_SIZE = 0x1000;
using EFI_ALLOCATE_PAGES = EFI_STATUS(EFIAPI *)(EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE MemoryType,
                                                UINTN Pages, EFI_PHYSICAL_ADDRESS *Memory);
using EFI_FREE_PAGES = EFI_STATUS(EFIAPI *)(EFI_PHYSICAL_ADDRESS Memory, UINTN Pages);
// The map is an array of descriptors DescriptorSize bytes apart; callers that
// only hand it back to ExitBootServices never look inside.
using EFI_GET_MEMORY_MAP = EFI_STATUS(EFIAPI *)(UINTN *MemoryMapSize, VOID *MemoryMap,
                                                UINTN *MapKey, UINTN *DescriptorSize,
                                                UINT32 *DescriptorVersion);
using EFI_EXIT_BOOT_SERVICES = EFI_STATUS(EFIAPI *)(EFI_HANDLE ImageHandle, UINTN MapKey);
using EFI_CREATE_EVENT = EFI_STATUS(EFIAPI *)(UINT32 Type, EFI_TPL NotifyTpl,
                                              EFI_EVENT_NOTIFY NotifyFunction,
                                              VOID *NotifyContext, EFI_EVENT *Event);
using EFI_SIGNAL_EVENT = EFI_STATUS(EFIAPI *)(EFI_EVENT Event);
using EFI_CLOSE_EVENT = EFI_STATUS(EFIAPI *)(EFI_EVENT Event);
using EFI_INSTALL_PROTOCOL_INTERFACE = EFI_STATUS(EFIAPI *)(EFI_HANDLE *Handle,
                                                            const EFI_GUID *Protocol,
                                                            EFI_INTERFACE_TYPE InterfaceType,
                                                            VOID *Interface);
using EFI_REINSTALL_PROTOCOL_INTERFACE = EFI_STATUS(EFIAPI *)(EFI_HANDLE Handle,
                                                              const EFI_GUID *Protocol,
                                                              VOID *OldInterface,
                                                              VOID *NewInterface);
using EFI_UNINSTALL_PROTOCOL_INTERFACE = EFI_STATUS(EFIAPI *)(EFI_HANDLE Handle,
                                                              const EFI_GUID *Protocol,
                                                              VOID *Interface);
using EFI_HANDLE_PROTOCOL = EFI_STATUS(EFIAPI *)(EFI_HANDLE Handle, const EFI_GUID *Protocol,
                                                 VOID **Interface);
using EFI_REGISTER_PROTOCOL_NOTIFY = EFI_STATUS(EFIAPI *)(const EFI_GUID *Protocol,
                                                          EFI_EVENT Event, VOID **Registration);
using EFI_INSTALL_CONFIGURATION_TABLE = EFI_STATUS(EFIAPI *)(const EFI_GUID *Guid, VOID *Table);
using EFI_IMAGE_LOAD = EFI_STATUS(EFIAPI *)(BOOLEAN BootPolicy, EFI_HANDLE ParentImageHandle,
                                            VOID *DevicePath, VOID *SourceBuffer,
                                            UINTN SourceSize, EFI_HANDLE *ImageHandle);
using EFI_IMAGE_START = EFI_STATUS(EFIAPI *)(EFI_HANDLE ImageHandle, UINTN *ExitDataSize,
                                             CHAR16 **ExitData);
using EFI_STALL = EFI_STATUS(EFIAPI *)(UINTN Microseconds);
using EFI_SET_WATCHDOG_TIMER = EFI_STATUS(EFIAPI *)(UINTN Timeout, UINT64 WatchdogCode,
                                                    UINTN DataSize, CHAR16 *WatchdogData);
using EFI_LOCATE_PROTOCOL = EFI_STATUS(EFIAPI *)(const EFI_GUID *Protocol, VOID *Registration,
                                                 VOID **Interface);

enum EFI_LOCATE_SEARCH_TYPE : UINT32 { AllHandles = 0, ByRegisterNotify = 1, ByProtocol = 2 };

// BufferSize is in bytes; EFI_BUFFER_TOO_SMALL returns the size needed.
using EFI_LOCATE_HANDLE = EFI_STATUS(EFIAPI *)(EFI_LOCATE_SEARCH_TYPE SearchType,
                                               const EFI_GUID *Protocol, VOID *SearchKey,
                                               UINTN *BufferSize, EFI_HANDLE *Buffer);

// A slot this project never calls; kept so the slots after it stay in place.
using EFI_UNUSED_SLOT = VOID *;

struct EFI_BOOT_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_RAISE_TPL RaiseTPL;
  EFI_RESTORE_TPL RestoreTPL;
  EFI_ALLOCATE_PAGES AllocatePages;
  EFI_FREE_PAGES FreePages;
  EFI_GET_MEMORY_MAP GetMemoryMap;
  EFI_ALLOCATE_POOL AllocatePool;
  EFI_FREE_POOL FreePool;
  EFI_CREATE_EVENT CreateEvent;
  EFI_UNUSED_SLOT SetTimer;
  EFI_UNUSED_SLOT WaitForEvent;
  EFI_SIGNAL_EVENT SignalEvent;
  EFI_CLOSE_EVENT CloseEvent;
  EFI_UNUSED_SLOT CheckEvent;
  EFI_INSTALL_PROTOCOL_INTERFACE InstallProtocolInterface;
  EFI_REINSTALL_PROTOCOL_INTERFACE ReinstallProtocolInterface;
  EFI_UNINSTALL_PROTOCOL_INTERFACE UninstallProtocolInterface;
  EFI_HANDLE_PROTOCOL HandleProtocol;
  VOID *Reserved;
  EFI_REGISTER_PROTOCOL_NOTIFY RegisterProtocolNotify;
  EFI_LOCATE_HANDLE LocateHandle;
  EFI_UNUSED_SLOT LocateDevicePath;
  EFI_INSTALL_CONFIGURATION_TABLE InstallConfigurationTable;
  EFI_IMAGE_LOAD LoadImage;
  EFI_IMAGE_START StartImage;
  EFI_UNUSED_SLOT Exit;
  EFI_UNUSED_SLOT UnloadImage;
  EFI_EXIT_BOOT_SERVICES ExitBootServices;
  EFI_UNUSED_SLOT GetNextMonotonicCount;
  EFI_STALL Stall;
  EFI_SET_WATCHDOG_TIMER SetWatchdogTimer;
  EFI_UNUSED_SLOT ConnectController;
  EFI_UNUSED_SLOT DisconnectController;
  EFI_UNUSED_SLOT OpenProtocol;
  EFI_UNUSED_SLOT CloseProtocol;
  EFI_UNUSED_SLOT OpenProtocolInformation;
  EFI_UNUSED_SLOT ProtocolsPerHandle;
  EFI_UNUSED_SLOT LocateHandleBuffer;
  EFI_LOCATE_PROTOCOL LocateProtocol;
  EFI_UNUSED_SLOT InstallMultipleProtocolInterfaces;
  EFI_UNUSED_SLOT UninstallMultipleProtocolInterfaces;
  EFI_UNUSED_SLOT CalculateCrc32;
  EFI_UNUSED_SLOT CopyMem;
  EFI_UNUSED_SLOT SetMem;
  EFI_UNUSED_SLOT CreateEventEx;
};

using EFI_GET_VARIABLE = EFI_STATUS(EFIAPI *)(const CHAR16 *VariableName,
                                              const EFI_GUID *VendorGuid, UINT32 *Attributes,
                                              UINTN *DataSize, VOID *Data);
using EFI_SET_VARIABLE = EFI_STATUS(EFIAPI *)(const CHAR16 *VariableName,
                                              const EFI_GUID *VendorGuid, UINT32 Attributes,
                                              UINTN DataSize, const VOID *Data);
using EFI_RESET_SYSTEM = VOID(EFIAPI *)(EFI_RESET_TYPE ResetType, EFI_STATUS ResetStatus,
                                        UINTN DataSize, VOID *ResetData);

struct EFI_RUNTIME_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_UNUSED_SLOT GetTime;
  EFI_UNUSED_SLOT SetTime;
  EFI_UNUSED_SLOT GetWakeupTime;
  EFI_UNUSED_SLOT SetWakeupTime;
  EFI_UNUSED_SLOT SetVirtualAddressMap;
  EFI_UNUSED_SLOT ConvertPointer;
  EFI_GET_VARIABLE GetVariable;
  EFI_UNUSED_SLOT GetNextVariableName;
  EFI_SET_VARIABLE SetVariable;
  EFI_UNUSED_SLOT GetNextHighMonotonicCount;
  EFI_RESET_SYSTEM ResetSystem;
  EFI_UNUSED_SLOT UpdateCapsule;
  EFI_UNUSED_SLOT QueryCapsuleCapabilities;
  EFI_UNUSED_SLOT QueryVariableInfo;
};

struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL;

using EFI_TEXT_STRING = EFI_STATUS(EFIAPI *)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This,
                                             const CHAR16 *String);

struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL {
  EFI_UNUSED_SLOT Reset;
  EFI_TEXT_STRING OutputString;
  EFI_UNUSED_SLOT TestString;
  EFI_UNUSED_SLOT QueryMode;
  EFI_UNUSED_SLOT SetMode;
  EFI_UNUSED_SLOT SetAttribute;
  EFI_UNUSED_SLOT ClearScreen;
  EFI_UNUSED_SLOT SetCursorPosition;
  EFI_UNUSED_SLOT EnableCursor;
  VOID *Mode;
};

struct EFI_SYSTEM_TABLE {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  VOID *ConIn;
  EFI_HANDLE ConsoleOutHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *ConOut;
  EFI_HANDLE StandardErrorHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *StdErr;
  EFI_RUNTIME_SERVICES *RuntimeServices;
  EFI_BOOT_SERVICES *BootServices;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE *ConfigurationTable;
};

using EFI_IMAGE_ENTRY_POINT = EFI_STATUS(EFIAPI *)(EFI_HANDLE ImageHandle,
                                                   EFI_SYSTEM_TABLE *SystemTable);

struct EFI_LOADED_IMAGE_PROTOCOL {
  UINT32 Revision;
  EFI_HANDLE ParentHandle;
  EFI_SYSTEM_TABLE *SystemTable;
  EFI_HANDLE DeviceHandle;
  VOID *FilePath;
  VOID *Reserved;
  UINT32 LoadOptionsSize;
  VOID *LoadOptions;
  VOID *ImageBase;
  UINT64 ImageSize;
  EFI_MEMORY_TYPE ImageCodeType;
  EFI_MEMORY_TYPE ImageDataType;
  EFI_UNUSED_SLOT Unload;
};

inline constexpr UINT64 EFI_SYSTEM_TABLE_SIGNATURE = 0x5453595320494249ULL;
inline constexpr UINT64 EFI_BOOT_SERVICES_SIGNATURE = 0x56524553544F4F42ULL;
inline constexpr UINT64 EFI_RUNTIME_SERVICES_SIGNATURE = 0x56524553544E5552ULL;

inline constexpr EFI_GUID EFI_LOADED_IMAGE_PROTOCOL_GUID = {
    0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};

static_assert(sizeof(EFI_TABLE_HEADER) == 0x18);
static_assert(offsetof(EFI_TABLE_HEADER, Revision) == 0x08 &&
              offsetof(EFI_TABLE_HEADER, HeaderSize) == 0x0C &&
              offsetof(EFI_TABLE_HEADER, CRC32) == 0x10);
static_assert(sizeof(EFI_CONFIGURATION_TABLE) == 0x18);
static_assert(offsetof(EFI_CONFIGURATION_TABLE, VendorTable) == 0x10);
static_assert(sizeof(EFI_INTERFACE_TYPE) == 4 && sizeof(EFI_RESET_TYPE) == 4 &&
              sizeof(EFI_ALLOCATE_TYPE) == 4);

static_assert(sizeof(EFI_SYSTEM_TABLE) == 0x78);
static_assert(offsetof(EFI_SYSTEM_TABLE, FirmwareRevision) == 0x20);
static_assert(offsetof(EFI_SYSTEM_TABLE, ConsoleInHandle) == 0x28);
static_assert(offsetof(EFI_SYSTEM_TABLE, ConOut) == 0x40);
static_assert(offsetof(EFI_SYSTEM_TABLE, RuntimeServices) == 0x58);
static_assert(offsetof(EFI_SYSTEM_TABLE, BootServices) == 0x60);
static_assert(offsetof(EFI_SYSTEM_TABLE, NumberOfTableEntries) == 0x68);
static_assert(offsetof(EFI_SYSTEM_TABLE, ConfigurationTable) == 0x70);

static_assert(sizeof(EFI_BOOT_SERVICES) == 0x178);
static_assert(offsetof(EFI_BOOT_SERVICES, RaiseTPL) == 0x18);
static_assert(offsetof(EFI_BOOT_SERVICES, RestoreTPL) == 0x20);
static_assert(offsetof(EFI_BOOT_SERVICES, AllocatePages) == 0x28 &&
              offsetof(EFI_BOOT_SERVICES, FreePages) == 0x30 &&
              offsetof(EFI_BOOT_SERVICES, GetMemoryMap) == 0x38);
static_assert(offsetof(EFI_BOOT_SERVICES, AllocatePool) == 0x40);
static_assert(offsetof(EFI_BOOT_SERVICES, FreePool) == 0x48);
static_assert(offsetof(EFI_BOOT_SERVICES, CreateEvent) == 0x50);
static_assert(offsetof(EFI_BOOT_SERVICES, SignalEvent) == 0x68);
static_assert(offsetof(EFI_BOOT_SERVICES, CloseEvent) == 0x70);
static_assert(offsetof(EFI_BOOT_SERVICES, InstallProtocolInterface) == 0x80);
static_assert(offsetof(EFI_BOOT_SERVICES, ReinstallProtocolInterface) == 0x88);
static_assert(offsetof(EFI_BOOT_SERVICES, UninstallProtocolInterface) == 0x90);
static_assert(offsetof(EFI_BOOT_SERVICES, HandleProtocol) == 0x98);
static_assert(offsetof(EFI_BOOT_SERVICES, Reserved) == 0xA0);
static_assert(offsetof(EFI_BOOT_SERVICES, RegisterProtocolNotify) == 0xA8);
static_assert(offsetof(EFI_BOOT_SERVICES, LocateHandle) == 0xB0);
static_assert(sizeof(EFI_LOCATE_SEARCH_TYPE) == 4);
static_assert(offsetof(EFI_BOOT_SERVICES, InstallConfigurationTable) == 0xC0);
static_assert(offsetof(EFI_BOOT_SERVICES, LoadImage) == 0xC8);
static_assert(offsetof(EFI_BOOT_SERVICES, StartImage) == 0xD0);
static_assert(offsetof(EFI_BOOT_SERVICES, ExitBootServices) == 0xE8);
static_assert(offsetof(EFI_BOOT_SERVICES, Stall) == 0xF8);
static_assert(offsetof(EFI_BOOT_SERVICES, SetWatchdogTimer) == 0x100);
static_assert(offsetof(EFI_BOOT_SERVICES, OpenProtocol) == 0x118);
static_assert(offsetof(EFI_BOOT_SERVICES, LocateHandleBuffer) == 0x138);
static_assert(offsetof(EFI_BOOT_SERVICES, LocateProtocol) == 0x140);
static_assert(offsetof(EFI_BOOT_SERVICES, InstallMultipleProtocolInterfaces) == 0x148);
static_assert(offsetof(EFI_BOOT_SERVICES, UninstallMultipleProtocolInterfaces) == 0x150);
static_assert(offsetof(EFI_BOOT_SERVICES, CreateEventEx) == 0x170);

static_assert(sizeof(EFI_RUNTIME_SERVICES) == 0x88);
static_assert(offsetof(EFI_RUNTIME_SERVICES, GetVariable) == 0x48);
static_assert(offsetof(EFI_RUNTIME_SERVICES, GetNextVariableName) == 0x50);
static_assert(offsetof(EFI_RUNTIME_SERVICES, SetVariable) == 0x58);
static_assert(offsetof(EFI_RUNTIME_SERVICES, ResetSystem) == 0x68);
static_assert(offsetof(EFI_RUNTIME_SERVICES, QueryVariableInfo) == 0x80);

static_assert(sizeof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL) == 0x50);
static_assert(offsetof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, OutputString) == 0x08);
static_assert(offsetof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, Mode) == 0x48);

static_assert(sizeof(EFI_LOADED_IMAGE_PROTOCOL) == 0x60);
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, ParentHandle) == 0x08);
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, SystemTable) == 0x10);
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, LoadOptionsSize) == 0x30);
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageBase) == 0x40);
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageSize) == 0x48);
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageCodeType) == 0x50);
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, Unload) == 0x58);
