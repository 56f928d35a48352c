#include "Simulator/Platform.h"

#include <cstdio>
#include <stdexcept>

#include "BoardTriggers.h"
#include "SetupStringProtocol.h"
#include "SetupVariable.h"
#include "Simulator/GuidNames.h"

namespace Sim {

namespace {
Platform *gCurrent = nullptr;
CHAR16 SimVendor[] = u"Board simulator";
// The triggers' interfaces are never called: any distinct address will do.
UINT8 SioTriggerInterface;
UINT8 SmbiosTriggerInterface;
constexpr UINT32 SimFirmwareRevision = 0x00010000;
}  // namespace

std::optional<Fault> Inject(const char *Service, const EFI_GUID *Guid) {
  return Platform::Current().Faults.Check(Service, Guid == nullptr ? std::string() : GuidName(Guid));
}

std::string Describe(const HwAccess &A) {
  char Buf[96];
  const char *Op = A.K == HwAccess::Kind::IoRead      ? "in "
                   : A.K == HwAccess::Kind::IoWrite   ? "out"
                   : A.K == HwAccess::Kind::MmioRead  ? "rd "
                                                      : "wr ";
  if (A.IsPort()) {
    std::snprintf(Buf, sizeof(Buf), "%s port 0x%02llX  0x%02X", Op,
                  static_cast<unsigned long long>(A.Address), A.Value);
  } else {
    std::snprintf(Buf, sizeof(Buf), "%s%-2u 0x%08llX  0x%0*X", Op, A.Width,
                  static_cast<unsigned long long>(A.Address), static_cast<int>(A.Width / 4),
                  A.Value);
  }
  return Buf;
}

Platform::Platform() : Boot(*this), Smm(*this) {
  St.Hdr.Signature = EFI_SYSTEM_TABLE_SIGNATURE;
  St.Hdr.HeaderSize = sizeof(EFI_SYSTEM_TABLE);
  St.FirmwareVendor = SimVendor;
  St.FirmwareRevision = SimFirmwareRevision;
  St.BootServices = Boot.Table();
  St.RuntimeServices = Variables.Table();
  Previous = gCurrent;
  gCurrent = this;
}

Platform::~Platform() { gCurrent = Previous; }

Platform &Platform::Current() {
  if (gCurrent == nullptr) {
    throw std::logic_error("no simulated platform is current");
  }
  return *gCurrent;
}

std::vector<std::string> Platform::Errors() const {
  std::vector<std::string> All = OwnErrors;
  for (const auto &E : SuperIo.Errors()) {
    All.push_back("Super I/O: " + E);
  }
  for (const auto &E : Pci.Errors()) {
    All.push_back("PCIe: " + E);
  }
  for (const auto &E : Smbus.Errors()) {
    All.push_back("SMBus: " + E);
  }
  for (const auto &E : Smbios.Errors()) {
    All.push_back("SMBIOS: " + E);
  }
  return All;
}

void Platform::PublishHobList() {
  St.BootServices->InstallConfigurationTable(&EFI_HOB_LIST_GUID, Hobs.Finish());
}

EFI_HANDLE Platform::InstallProtocol(const EFI_GUID &Guid, VOID *Interface) {
  EFI_HANDLE H = nullptr;
  if (EFI_ERROR(Boot.InstallProtocol(&H, &Guid, Interface))) {
    Error("scenario could not install a protocol");
  }
  return H;
}

EFI_HANDLE Platform::InstallSetupStringProtocol() {
  return InstallProtocol(SetupStringProtocolGuid, SetupStrings.Protocol());
}

EFI_HANDLE Platform::InstallSioTrigger() {
  return InstallProtocol(SioTriggerProtocolGuid, &SioTriggerInterface);
}

EFI_HANDLE Platform::InstallSmbiosTrigger() {
  return InstallProtocol(SmbiosTriggerProtocolGuid, &SmbiosTriggerInterface);
}

void Platform::StoreSetupVariable(size_t Size, const std::vector<std::pair<size_t, UINT8>> &Bytes) {
  std::vector<UINT8> Data(Size, 0);
  for (const auto &[Offset, Value] : Bytes) {
    if (Offset >= Size) {
      Error("scenario sets a Setup byte beyond the variable");
      continue;
    }
    Data[Offset] = Value;
  }
  Variables.Set(u"Setup", SetupVariableGuid, std::move(Data));
}

EFI_STATUS Platform::StartImage(EFI_IMAGE_ENTRY_POINT Entry, EFI_HANDLE *ImageHandle) {
  EFI_HANDLE H = Boot.NewHandle();
  if (ImageHandle != nullptr) {
    *ImageHandle = H;
  }
  return Entry(H, &St);
}

std::vector<HwAccess> Platform::PortTrace() const {
  std::vector<HwAccess> Out;
  for (const HwAccess &A : Trace) {
    if (A.IsPort()) {
      Out.push_back(A);
    }
  }
  return Out;
}

std::vector<HwAccess> Platform::MmioTrace() const {
  std::vector<HwAccess> Out;
  for (const HwAccess &A : Trace) {
    if (!A.IsPort()) {
      Out.push_back(A);
    }
  }
  return Out;
}

UINT8 Platform::IoRead8(UINT16 Port) {
  UINT8 Value = 0xFF;
  if (SuperIo.Claims(Port)) {
    Value = SuperIo.Read(Port);
  } else {
    Error("read of unmodelled port " + std::to_string(Port));
  }
  Trace.push_back({HwAccess::Kind::IoRead, 8, Port, Value});
  return Value;
}

void Platform::IoWrite8(UINT16 Port, UINT8 Value) {
  Trace.push_back({HwAccess::Kind::IoWrite, 8, Port, Value});
  if (SuperIo.Claims(Port)) {
    SuperIo.Write(Port, Value);
  } else {
    Error("write to unmodelled port " + std::to_string(Port));
  }
}

UINT32 Platform::MmioRead(UINT64 Address, unsigned Width) {
  UINT32 Value = 0;
  if (!Pci.Read(Address, Width, Value)) {
    char Buf[64];
    std::snprintf(Buf, sizeof(Buf), "read of unmapped memory 0x%llX",
                  static_cast<unsigned long long>(Address));
    Error(Buf);
    Value = Width == 32 ? 0xFFFFFFFF : 0xFF;
  }
  Trace.push_back({HwAccess::Kind::MmioRead, Width, Address, Value});
  return Value;
}

void Platform::MmioWrite(UINT64 Address, unsigned Width, UINT32 Value) {
  Trace.push_back({HwAccess::Kind::MmioWrite, Width, Address, Value});
  if (!Pci.Write(Address, Width, Value)) {
    char Buf[64];
    std::snprintf(Buf, sizeof(Buf), "write to unmapped memory 0x%llX",
                  static_cast<unsigned long long>(Address));
    Error(Buf);
  }
}

}  // namespace Sim
