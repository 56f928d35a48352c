// BoardNicInfoProtocol as another firmware driver uses it, over simulated
// PCIe configuration space and controller registers.
#include <array>
#include <cstring>

#include "BoardSetupFixture.h"
#include "Simulator/PciExpress.h"

namespace {

using Sim::HwAccess;
using Sim::PciExpressSpace;

constexpr UINT16 RootPort1 = 0x00E0;  // 00:1C.0
constexpr UINT16 RootPort2 = 0x00E4;  // 00:1C.4
constexpr UINT8 Bus1 = 4;
constexpr UINT8 Bus2 = 5;
constexpr UINT32 Bar1 = 0x92000004;  // 64-bit memory BAR flags in the low bits
constexpr UINT32 Bar2 = 0x92100000;
constexpr std::array<UINT8, 6> Mac1 = {0x00, 0x1B, 0x21, 0x11, 0x22, 0x33};
constexpr std::array<UINT8, 6> Mac2 = {0xA0, 0x36, 0x9F, 0x44, 0x55, 0x66};
constexpr UINT8 CallerBytes[3] = {0xDE, 0xAD, 0x42};

UINT64 Cfg(UINT8 Bus, UINT8 Reg) { return PciExpressSpace::Base + Bus * 0x100000ull + Reg; }

class Nic : public BoardBoot {
 protected:
  const BOARD_NIC_INFO_PROTOCOL *Proto = nullptr;
  UINT8 First[10] = {CallerBytes[0], CallerBytes[1], CallerBytes[2], 9, 9, 9, 9, 9, 9, 9};
  NicMacRecord Second{7, {9, 9, 9, 9, 9, 9}};

  void Board(bool Pcd = true) {
    P.Pcd.Set(630, RootPort1);
    P.Pcd.Set(631, RootPort2);
    if (Pcd) {
      P.InstallPcdProtocol();
    }
    P.Pci.AddRootPort(RootPort1, Bus1);
    P.Pci.AddRootPort(RootPort2, Bus2);
    EFI_HANDLE Image = nullptr;
    ASSERT_EQ(P.StartImage(BoardSetupDxeEntry, &Image), EFI_SUCCESS);
    const auto Handles = P.Boot.HandlesWith(BoardNicInfoProtocolGuid);
    ASSERT_EQ(Handles.size(), 1u);
    EXPECT_NE(Handles[0], Image);
    VOID *I = nullptr;
    ASSERT_EQ(P.Boot.LocateProtocol(&BoardNicInfoProtocolGuid, nullptr, &I), EFI_SUCCESS);
    Proto = static_cast<const BOARD_NIC_INFO_PROTOCOL *>(I);
  }
  const NicMacRecord &FirstRecord() const {
    return *reinterpret_cast<const NicMacRecord *>(First + NicFirstRecordOffset);
  }
};

TEST_F(Nic, InterfaceRecordHasNineSlots) {
  Board();
  EXPECT_EQ(Proto->Slot0AlwaysFalse, Proto->Slot3AlwaysFalse);
  EXPECT_EQ(Proto->Slot0AlwaysFalse(), FALSE);
  EXPECT_EQ(Proto->Slot1, nullptr);
  for (VOID *Slot : Proto->Slot4To8) {
    EXPECT_EQ(Slot, nullptr);
  }
}

TEST_F(Nic, BothControllersGiveTheirMacsInRegisterOrder) {
  P.Pci.AddNic(PciExpressSpace::Address(Bus1, 0, 0), Bar1, Mac1);
  P.Pci.AddNic(PciExpressSpace::Address(Bus2, 0, 0), Bar2, Mac2);
  Board();
  ASSERT_EQ(Proto->GetNicMacAddresses(First, &Second), EFI_SUCCESS);
  EXPECT_EQ(FirstRecord().Count, 1);
  EXPECT_EQ(std::to_array(FirstRecord().Mac), Mac1);
  EXPECT_EQ(Second.Count, 1);
  EXPECT_EQ(std::to_array(Second.Mac), Mac2);
  EXPECT_EQ(0, std::memcmp(First, CallerBytes, 3));
  // A second call re-reads the hardware and still holds one entry a record.
  ASSERT_EQ(Proto->GetNicMacAddresses(First, &Second), EFI_SUCCESS);
  EXPECT_EQ(FirstRecord().Count, 1);
  EXPECT_EQ(Second.Count, 1);
}

TEST_F(Nic, EachReadIsOneLiveAccessAndTheCommandRegisterIsRestored) {
  constexpr UINT8 Command = 0x47;  // I/O decoding on, among others
  auto &Fn = P.Pci.AddNic(PciExpressSpace::Address(Bus1, 0, 0), Bar1, Mac1, Command);
  Board();
  P.Trace.clear();
  ASSERT_EQ(Proto->GetNicMacAddresses(First, nullptr), EFI_SUCCESS);
  const UINT64 Mmio = Bar1 & ~0xFull;
  const std::vector<HwAccess> Expected = {
      {HwAccess::Kind::MmioRead, 8, PciExpressSpace::Base + 0xE0 * 0x1000ull + 0x1A, Bus1},
      {HwAccess::Kind::MmioRead, 32, Cfg(Bus1, 0x00), 0x15F28086},
      {HwAccess::Kind::MmioRead, 8, Cfg(Bus1, 0x04), Command},
      {HwAccess::Kind::MmioWrite, 8, Cfg(Bus1, 0x04), 0x06},
      {HwAccess::Kind::MmioRead, 32, Cfg(Bus1, 0x10), Bar1},
      {HwAccess::Kind::MmioRead, 32, Mmio + 0x40, 0x11211B00},
      {HwAccess::Kind::MmioRead, 32, Mmio + 0x44, 0x80003322},
      {HwAccess::Kind::MmioWrite, 8, Cfg(Bus1, 0x04), Command},
  };
  EXPECT_EQ(P.Trace, Expected);
  EXPECT_EQ(Fn.CommandWrites, (std::vector<UINT8>{0x06, Command}));
  EXPECT_EQ(Fn.Config[0x04], Command);
  EXPECT_EQ(std::to_array(FirstRecord().Mac), Mac1);
}

TEST_F(Nic, MissingOrForeignControllersReadAsCountZero) {
  auto &Foreign = P.Pci.AddDevice(PciExpressSpace::Address(Bus1, 0, 0), 0x15338086);
  Board();  // nothing at all behind the second root port
  ASSERT_EQ(Proto->GetNicMacAddresses(First, &Second), EFI_SUCCESS);
  EXPECT_EQ(FirstRecord().Count, 0);
  EXPECT_EQ(Second.Count, 0);
  EXPECT_TRUE(Foreign.CommandWrites.empty());
  EXPECT_EQ(0, std::memcmp(First, CallerBytes, 3));
  EXPECT_EQ(First[4], 9) << "MAC bytes of a controller not found stay as they were";
}

TEST_F(Nic, WithoutPcdProtocolBothRecordsAreEmptyAndNoHardwareIsTouched) {
  P.Pci.AddNic(PciExpressSpace::Address(Bus1, 0, 0), Bar1, Mac1);
  Board(false);
  P.Trace.clear();
  ASSERT_EQ(Proto->GetNicMacAddresses(First, &Second), EFI_SUCCESS);
  EXPECT_EQ(FirstRecord().Count, 0);
  EXPECT_EQ(Second.Count, 0);
  EXPECT_TRUE(P.Trace.empty());
}

TEST_F(Nic, ANullRecordPointerSkipsOnlyThatRecord) {
  P.Pci.AddNic(PciExpressSpace::Address(Bus2, 0, 0), Bar2, Mac2);
  Board();
  ASSERT_EQ(Proto->GetNicMacAddresses(nullptr, &Second), EFI_SUCCESS);
  EXPECT_EQ(Second.Count, 1);
  EXPECT_EQ(Proto->GetNicMacAddresses(nullptr, nullptr), EFI_SUCCESS);
}

}  // namespace
