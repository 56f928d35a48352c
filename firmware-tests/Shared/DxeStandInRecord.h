// Test bench only: what the DXE stand-in driver saw and did in the dispatch
// boot, published for the application as a protocol of its own (interface:
// the record). None of this exists on a board.
#pragma once

#include "Caller.h"
#include "DispatchBoot.h"
#include "DispatchScenarios.h"
#include "SmbiosChecks.h"
#include "StandIns.h"

inline constexpr EFI_GUID DxeStandInRecordGuid = {
    0x16226675, 0xC4FF, 0x4000, {0x80, 0xAF, 0xCE, 0x63, 0xE8, 0xE8, 0x6B, 0x6D}};
inline constexpr UINT64 DxeStandInRecordSignature = 0x4E49444E41545344ULL;  // "DSTANDIN"

// The protocols the stand-in's dependency expression names, in its order
// (PUSH each, AND them): it runs after BoardSetupDxe has published its NIC
// protocol, writes "Setup" with SetVariable, adds SMBIOS records, and
// replaces the PCD protocol, all at its entry, and publishes its Setup form
// in the HII database. The build's add_ffs names the
// same GUIDs; the application reads the expression back from the volume.
inline constexpr UINTN DxeStandInDepexCount = 5;
extern const EFI_GUID *const DxeStandInDepex[DxeStandInDepexCount];

// The state right after the stand-in installed one producer.
struct StandInArrival {
  const CHAR8 *Producer;  // "SMBus host controller", "SetupStringProtocol", ...
  EFI_STATUS Status;
  UINTN StringOps;        // string calls of the driver recorded so far
  UINTN SmbusCalls;       // Execute calls of the driver so far
  UINTN PcdReads;         // Get32 calls of the driver so far
};

struct DxeStandInRecord {
  UINT64 Signature;
  const DxeScenario *Scenario;  // NULL: QEMU named no scenario we know
  CHAR8 ScenarioName[DispatchBoot::MaxScenarioName + 1];

  // At the stand-in's entry.
  EFI_STATUS DepexLookups[DxeStandInDepexCount];  // LocateProtocol of each
  VOID *NicInterface;          // BoardNicInfoProtocol as located then
  bool BoardSetupFound;        // the dispatcher had started BoardSetupDxe
  EFI_HANDLE BoardSetupImage;
  ImageRange BoardSetupRange;

  // The platform it played.
  bool PcdStandIn;
  bool RiserHob;               // the HOB-list copy is published
  EFI_STATUS SetupVariable;    // SetVariable (store, or delete when the scenario has none)
  bool SmbiosAdded;            // the slot records are in
  SmbiosSlotRun Smbios;        // before / after / again snapshots
  static constexpr UINTN MaxArrivals = 8;
  StandInArrival Arrivals[MaxArrivals];
  UINTN ArrivalCount;
  EFI_HANDLE SetupStringHandle;  // the first producers, for the application
  EFI_HANDLE SmbusHandle;

  // What the stand-ins recorded (the driver's calls only).
  SetupStringLog *Strings;
  PcdLog *Pcd;
  SmbusLog *Smbus;

  UINTN Passed;  // the stand-in's own checks
  UINTN Failed;
};
