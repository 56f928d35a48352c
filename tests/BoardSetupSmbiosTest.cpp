// Riser slot text in SMBIOS: the System Slots table as the firmware
// publishes it, before and after the SMBIOS trigger.
#include <algorithm>

#include "BoardSetupFixture.h"
#include "Uefi/Smbios.h"

namespace {

constexpr UINT16 CpuSlot = 7;
const std::string RiserName = "TRK-M-4H2";
constexpr UINT8 MemoryDeviceType = 17;

bool SmbiosEventOpen(const Sim::Platform &Board) {
  return std::any_of(Board.Boot.Events().begin(), Board.Boot.Events().end(), [](const auto &E) {
    return E->Notify == SmbiosRiserSlotCallback && !E->Closed;
  });
}

class RiserSlot : public BoardBoot {
 protected:
  std::vector<EFI_SMBIOS_HANDLE> Slots;
  std::vector<std::vector<UINT8>> Before;

  // Type 9 records in table order, named after their position.
  void Table(std::initializer_list<UINT16> SlotIds) {
    for (UINT16 Id : SlotIds) {
      Slots.push_back(P.Smbios.AddSlot(Id, "SLOT" + std::to_string(Slots.size() + 1)));
    }
  }
  void Boot(bool Riser = true) {
    if (Riser) {
      P.Hobs.AddRiser(1);
    }
    P.PublishHobList();
    for (EFI_SMBIOS_HANDLE H : P.Smbios.Handles()) {
      Before.push_back(P.Smbios.Bytes(H));
    }
    LoadDriver();
    P.InstallSmbiosProtocol();
    P.InstallSmbiosTrigger();
  }
  // Index (into Slots) of every record that changed.
  std::vector<size_t> Changed() const {
    std::vector<size_t> Out;
    const auto All = P.Smbios.Handles();
    for (size_t I = 0; I < All.size(); ++I) {
      if (P.Smbios.Bytes(All[I]) != Before[I]) {
        Out.push_back(std::find(Slots.begin(), Slots.end(), All[I]) - Slots.begin());
      }
    }
    return Out;
  }
  void ExpectRenamed(size_t Index) {
    EXPECT_EQ(P.Smbios.SlotId(Slots[Index]), RiserSlotId);
    EXPECT_EQ(P.Smbios.SlotDesignation(Slots[Index]), RiserName);
    EXPECT_EQ(Changed(), std::vector<size_t>{Index}) << "every other record unchanged";
  }
  bool EventOpen() const { return SmbiosEventOpen(P); }
};

TEST_F(RiserSlot, SlotSevenInTheSecondRecordNamesTheRiser) {
  Table({3, CpuSlot, 4});
  Boot();
  ExpectRenamed(1);
  const auto Bytes = P.Smbios.Bytes(Slots[1]);
  EXPECT_EQ(Bytes[9], 0x01);
  EXPECT_EQ(Bytes[10], 0xE1);
  EXPECT_EQ(P.Smbios.Updates(), 1u);
  EXPECT_EQ(P.Faults.Calls("SmbiosGetNext"), 2u);
  EXPECT_FALSE(EventOpen());
}

TEST_F(RiserSlot, OnlyTheFirstFiveTypeNineRecordsAreSearched) {
  Table({1, 2, 3, 4, 5, CpuSlot});
  Boot();
  EXPECT_TRUE(Changed().empty());
  EXPECT_EQ(P.Faults.Calls("SmbiosGetNext"), 5u);
  EXPECT_FALSE(EventOpen());
}

TEST_F(RiserSlot, OtherRecordTypesDoNotCountTowardsTheFive) {
  P.Smbios.AddRaw({MemoryDeviceType, 4, 0, 0}, {});
  Table({1, 2});
  P.Smbios.AddRaw({MemoryDeviceType, 4, 0, 0}, {"DIMM"});
  Table({3, 4, CpuSlot});
  Boot();
  ExpectRenamed(4);
}

TEST_F(RiserSlot, OfTwoSlotSevenRecordsOnlyTheFirstChanges) {
  Table({2, CpuSlot, 3, CpuSlot});
  Boot();
  ExpectRenamed(1);
  EXPECT_EQ(P.Smbios.SlotId(Slots[3]), CpuSlot);
}

TEST_F(RiserSlot, WithoutARiserTheTableIsUntouched) {
  for (const bool HobPresent : {false, true}) {
    SCOPED_TRACE(HobPresent ? "riser flag 0" : "no riser HOB");
    Sim::Platform Board;
    gBoardSetup = {};
    const EFI_SMBIOS_HANDLE H = Board.Smbios.AddSlot(CpuSlot, "CPU SLOT7");
    if (HobPresent) {
      Board.Hobs.AddRiser(0);
    }
    Board.PublishHobList();
    const auto Was = Board.Smbios.Bytes(H);
    ASSERT_EQ(Board.StartImage(BoardSetupDxeEntry), EFI_SUCCESS);
    Board.InstallSmbiosProtocol();
    Board.InstallSmbiosTrigger();
    EXPECT_EQ(Board.Smbios.Bytes(H), Was);
    EXPECT_EQ(Board.Faults.Calls("SmbiosGetNext"), 0u);
    EXPECT_FALSE(SmbiosEventOpen(Board));
    EXPECT_TRUE(Board.Errors().empty());
  }
}

TEST_F(RiserSlot, StaysArmedUntilTheSmbiosProtocolIsThere) {
  Table({CpuSlot});
  P.Hobs.AddRiser(1);
  P.PublishHobList();
  LoadDriver();
  P.InstallSmbiosTrigger();
  EXPECT_TRUE(EventOpen()) << "no SMBIOS protocol yet";
  EXPECT_EQ(P.Smbios.SlotId(Slots[0]), CpuSlot);
  P.InstallSmbiosProtocol();
  EXPECT_EQ(P.Smbios.SlotId(Slots[0]), CpuSlot) << "the protocol itself is not the trigger";
  P.InstallSmbiosTrigger();
  EXPECT_EQ(P.Smbios.SlotDesignation(Slots[0]), RiserName);
  EXPECT_FALSE(EventOpen());
  P.InstallSmbiosTrigger();
  EXPECT_EQ(P.Smbios.Updates(), 1u) << "changed at most once per boot";
}

TEST_F(RiserSlot, ALookupWithNoInterfaceLeavesTheEventArmed) {
  Table({CpuSlot});
  P.Hobs.AddRiser(1);
  P.PublishHobList();
  LoadDriver();
  P.InstallSmbiosProtocol();
  P.Faults.NullResult("LocateProtocol", P.Faults.Calls("LocateProtocol") + 1);
  P.InstallSmbiosTrigger();
  EXPECT_TRUE(EventOpen());
  EXPECT_EQ(P.Faults.Calls("SmbiosGetNext"), 0u);
  P.InstallSmbiosTrigger();
  EXPECT_EQ(P.Smbios.SlotId(Slots[0]), RiserSlotId);
}

TEST_F(RiserSlot, SlotIdIsSixteenBits) {
  Table({0x0107, CpuSlot});
  Boot();
  ExpectRenamed(1);
}

TEST_F(RiserSlot, ARecordTooShortForASlotIdIsNotTheSlot) {
  // Ten bytes, byte 9 = 7, no strings: byte 10 would be the string area's
  // first NUL, so reading past the formatted area would see 0x0007.
  P.Smbios.AddRaw({SMBIOS_TYPE_SYSTEM_SLOTS, 10, 0, 0, 0, 0, 0, 0, 0, CpuSlot}, {});
  Table({CpuSlot});
  Boot();
  ExpectRenamed(0);
}

TEST_F(RiserSlot, FewerThanFiveRecordsEndTheSearchAtTheEnd) {
  for (const size_t Count : {size_t{0}, size_t{2}}) {
    SCOPED_TRACE(std::to_string(Count) + " type 9 records");
    Sim::Platform Board;
    gBoardSetup = {};
    for (size_t I = 0; I < Count; ++I) {
      Board.Smbios.AddSlot(static_cast<UINT16>(I + 1), "SLOT");
    }
    Board.Hobs.AddRiser(1);
    Board.PublishHobList();
    ASSERT_EQ(Board.StartImage(BoardSetupDxeEntry), EFI_SUCCESS);
    Board.InstallSmbiosProtocol();
    Board.InstallSmbiosTrigger();
    EXPECT_EQ(Board.Faults.Calls("SmbiosGetNext"), Count + 1) << "stops at EFI_NOT_FOUND";
    EXPECT_EQ(Board.Smbios.Updates(), 0u);
    EXPECT_FALSE(SmbiosEventOpen(Board));
    EXPECT_TRUE(Board.Errors().empty());
  }
}

TEST_F(RiserSlot, AGetNextThatHandsNoRecordBackEndsTheSearch) {
  // An error, and a success that leaves the record pointer unwritten.
  for (const bool Unwritten : {false, true}) {
    SCOPED_TRACE(Unwritten ? "record not written" : "error");
    Sim::Platform Board;
    gBoardSetup = {};
    const EFI_SMBIOS_HANDLE Second = Board.Smbios.AddSlot(1, "SLOT1");
    Board.Smbios.AddSlot(CpuSlot, "SLOT2");
    (void)Second;
    Board.Hobs.AddRiser(1);
    Board.PublishHobList();
    ASSERT_EQ(Board.StartImage(BoardSetupDxeEntry), EFI_SUCCESS);
    Board.InstallSmbiosProtocol();
    if (Unwritten) {
      Board.Faults.NullResult("SmbiosGetNext", 2);
    } else {
      Board.Faults.Fail("SmbiosGetNext", 2, EFI_DEVICE_ERROR);
    }
    Board.InstallSmbiosTrigger();
    EXPECT_EQ(Board.Faults.Calls("SmbiosGetNext"), 2u);
    EXPECT_EQ(Board.Smbios.Updates(), 0u);
    EXPECT_FALSE(SmbiosEventOpen(Board));
    EXPECT_TRUE(Board.Errors().empty());
  }
}

TEST_F(RiserSlot, AFailedRenameKeepsTheNewSlotId) {
  Table({CpuSlot});
  P.Faults.FailAll("SmbiosUpdateString", EFI_OUT_OF_RESOURCES);
  Boot();
  EXPECT_EQ(P.Smbios.SlotId(Slots[0]), RiserSlotId);
  EXPECT_EQ(P.Smbios.SlotDesignation(Slots[0]), "SLOT1");
  EXPECT_FALSE(EventOpen());
}

TEST_F(RiserSlot, RunsBelowTheNotifyCallbacks) {
  Table({CpuSlot});
  P.Hobs.AddRiser(1);
  P.PublishHobList();
  P.StoreSetupVariable(5349, {});
  LoadDriver();
  P.InstallSmbiosProtocol();
  const EFI_TPL Old = P.Hold(TPL_CALLBACK);
  P.InstallSmbiosTrigger();
  P.InstallSioTrigger();
  EXPECT_FALSE(P.PortTrace().empty()) << "the Super I/O callback pre-empts TPL_CALLBACK";
  EXPECT_EQ(P.Smbios.SlotId(Slots[0]), CpuSlot) << "the SMBIOS callback waits";
  P.Release(Old);
  EXPECT_EQ(P.Smbios.SlotId(Slots[0]), RiserSlotId);
}

// The store itself: what makes the tests above mean something.
TEST_F(BoardBoot, SmbiosStoreHandsOutItsOwnCopyAndRebuildsOnUpdate) {
  const EFI_SMBIOS_HANDLE H = P.Smbios.AddSlot(CpuSlot, "OLD");
  const EFI_SMBIOS_PROTOCOL *Proto = P.Smbios.Protocol();
  EFI_SMBIOS_HANDLE Handle = SMBIOS_HANDLE_PI_RESERVED;
  EFI_SMBIOS_TYPE Type = SMBIOS_TYPE_SYSTEM_SLOTS;
  EFI_SMBIOS_TABLE_HEADER *Record = nullptr;
  ASSERT_EQ(Proto->GetNext(Proto, &Handle, &Type, &Record, nullptr), EFI_SUCCESS);
  EXPECT_EQ(Handle, H);
  reinterpret_cast<UINT8 *>(Record)[9] = 0x42;
  EXPECT_EQ(P.Smbios.SlotId(H), 0x0042) << "a write through the pointer changes the table";

  UINTN StringNumber = 1;
  CHAR8 Name[] = "A LONGER NEW NAME";
  ASSERT_EQ(Proto->UpdateString(Proto, &Handle, &StringNumber, Name), EFI_SUCCESS);
  EXPECT_EQ(P.Smbios.SlotDesignation(H), Name);
  EXPECT_EQ(P.Smbios.SlotId(H), 0x0042) << "the formatted area survives the rebuild";
  EFI_SMBIOS_TABLE_HEADER *Moved = nullptr;
  EFI_SMBIOS_HANDLE Again = SMBIOS_HANDLE_PI_RESERVED;
  ASSERT_EQ(Proto->GetNext(Proto, &Again, &Type, &Moved, nullptr), EFI_SUCCESS);
  EXPECT_NE(Moved, Record) << "rebuilt elsewhere";
  EXPECT_EQ(Proto->GetNext(Proto, &Again, &Type, &Moved, nullptr), EFI_NOT_FOUND);
  EXPECT_EQ(Again, SMBIOS_HANDLE_PI_RESERVED);

  if (!Sim::SmbiosStore::StaleAccessFaults()) {
    reinterpret_cast<UINT8 *>(Record)[9] = 0x01;  // the bug the callback must not have
    EXPECT_EQ(P.Smbios.Errors().size(), 1u);
    reinterpret_cast<UINT8 *>(Record)[9] = Sim::SmbiosStore::PoisonByte;  // undone for TearDown
    EXPECT_TRUE(P.Smbios.Errors().empty());
  }
}

}  // namespace
