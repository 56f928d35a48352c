#include "Simulator/PciExpress.h"

#include <cstdio>
#include <cstring>

namespace Sim {

namespace {
constexpr unsigned RegVendorDevice = 0x00;
constexpr unsigned RegCommand = 0x04;
constexpr unsigned RegHeaderType = 0x0E;
constexpr unsigned RegBar0 = 0x10;
constexpr unsigned RegSecondaryBus = 0x19;
constexpr unsigned RegSubordinateBus = 0x1A;
constexpr UINT8 HeaderTypeBridge = 0x01;
constexpr UINT32 RootPortId = 0x7A388086;

void Put32(std::array<UINT8, 4096> &C, unsigned Reg, UINT32 V) { std::memcpy(&C[Reg], &V, 4); }
}  // namespace

PciExpressSpace::Function &PciExpressSpace::AddRootPort(UINT16 PciAddress, UINT8 Secondary) {
  auto F = std::make_unique<Function>();
  Put32(F->Config, RegVendorDevice, RootPortId);
  F->Config[RegHeaderType] = HeaderTypeBridge;
  F->Config[RegSecondaryBus] = Secondary;
  F->Config[RegSubordinateBus] = Secondary;
  auto &Ref = *F;
  Functions[PciAddress] = std::move(F);
  return Ref;
}

PciExpressSpace::Function &PciExpressSpace::AddNic(UINT16 PciAddress, UINT32 Bar0,
                                                   const std::array<UINT8, 6> &Mac,
                                                   UINT8 Command) {
  auto F = std::make_unique<Function>();
  Put32(F->Config, RegVendorDevice, NicVendorDeviceId);
  F->Config[RegCommand] = Command;
  Put32(F->Config, RegBar0, Bar0);
  F->IsNic = true;
  F->Mac = Mac;
  auto &Ref = *F;
  Functions[PciAddress] = std::move(F);
  return Ref;
}

PciExpressSpace::Function &PciExpressSpace::AddDevice(UINT16 PciAddress, UINT32 VendorDeviceId) {
  auto F = std::make_unique<Function>();
  Put32(F->Config, RegVendorDevice, VendorDeviceId);
  auto &Ref = *F;
  Functions[PciAddress] = std::move(F);
  return Ref;
}

PciExpressSpace::Function *PciExpressSpace::Find(UINT16 PciAddress) {
  auto It = Functions.find(PciAddress);
  return It == Functions.end() ? nullptr : It->second.get();
}

PciExpressSpace::Function *PciExpressSpace::NicForBar(UINT64 Address, UINT64 &Offset) {
  for (auto &[Addr, F] : Functions) {
    if (!F->IsNic) {
      continue;
    }
    UINT32 Bar;
    std::memcpy(&Bar, &F->Config[RegBar0], 4);
    const UINT64 Start = Bar & ~UINT64{0xF};
    if (Address >= Start && Address < Start + NicBarSize) {
      Offset = Address - Start;
      return F.get();
    }
  }
  return nullptr;
}

bool PciExpressSpace::Claims(UINT64 Address) const {
  if (Address >= Base && Address < Base + Size) {
    return true;
  }
  UINT64 Offset;
  return const_cast<PciExpressSpace *>(this)->NicForBar(Address, Offset) != nullptr;
}

bool PciExpressSpace::Read(UINT64 Address, unsigned Width, UINT32 &Value) {
  const unsigned Bytes = Width / 8;
  if (Address >= Base && Address < Base + Size) {
    const auto PciAddress = static_cast<UINT16>((Address - Base) >> 12);
    const auto Reg = static_cast<unsigned>((Address - Base) & 0xFFF);
    if (Reg % Bytes != 0) {
      ErrorLog.push_back("unaligned configuration read");
    }
    Function *F = Find(PciAddress);
    if (F == nullptr) {
      Value = Width == 32 ? 0xFFFFFFFF : (1u << Width) - 1;
      return true;
    }
    Value = 0;
    std::memcpy(&Value, &F->Config[Reg], Bytes);
    return true;
  }
  UINT64 Offset;
  Function *Nic = NicForBar(Address, Offset);
  if (Nic == nullptr) {
    return false;
  }
  if ((Nic->Config[RegCommand] & CommandMemorySpace) == 0) {
    // Memory decoding off: the controller does not answer.
    Value = 0xFFFFFFFF;
    return true;
  }
  const auto &M = Nic->Mac;
  if (Offset == NicMacLowOffset && Width == 32) {
    Value = M[0] | (M[1] << 8) | (M[2] << 16) | (UINT32{M[3]} << 24);
  } else if (Offset == NicMacHighOffset && Width == 32) {
    Value = M[4] | (M[5] << 8) | 0x80000000u;  // address-valid bit
  } else {
    Value = 0;
  }
  return true;
}

bool PciExpressSpace::Write(UINT64 Address, unsigned Width, UINT32 Value) {
  if (Address < Base || Address >= Base + Size) {
    UINT64 Offset;
    return NicForBar(Address, Offset) != nullptr;  // device registers ignore writes here
  }
  const auto PciAddress = static_cast<UINT16>((Address - Base) >> 12);
  const auto Reg = static_cast<unsigned>((Address - Base) & 0xFFF);
  Function *F = Find(PciAddress);
  if (F == nullptr) {
    return true;  // master abort: the write goes nowhere
  }
  if (Reg == RegCommand && Width == 8) {
    F->CommandWrites.push_back(static_cast<UINT8>(Value));
  }
  std::memcpy(&F->Config[Reg], &Value, Width / 8);
  return true;
}

}  // namespace Sim
