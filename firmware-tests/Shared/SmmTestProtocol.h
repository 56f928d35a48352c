// Test bench only: how the dispatch-boot application raises SMIs for the SMM
// stand-in (firmware-tests/StandInSmm) and reads what it saw. None of
// this exists on a board; the GUID and the command byte are the bench's own.
//
// One SMI = the case byte on the APM data port, then BoardTestCommand on the
// APM control port. The stand-in's root SMI handler acts on it once, records
// the outcome in the report below and marks the request consumed.
#pragma once

#include "DispatchBoot.h"
#include "Uefi/Smm.h"

namespace SmmTest {

// ---- Raising an SMI -------------------------------------------------------
// A write to the control port raises an SMI; the data port is a latch that
// raises nothing and that the SMM side reads back.
inline constexpr UINT16 ApmControlPort = 0xB2;
inline constexpr UINT16 ApmDataPort = 0xB3;
// OVMF's own SMM communication writes 0 to both ports; ours is nonzero.
inline constexpr UINT8 BoardTestCommand = 0x5B;
// The stand-in writes this to the data port once it has acted, so a later
// SMI that is not ours (the control port still reads our command) does
// nothing.
inline constexpr UINT8 RequestConsumed = 0xFF;
// Written to the data port right before the application reads 0x2E, 0x2F
// and the log port once each: from those three reads the host judge learns
// which trace region is which port.
inline constexpr UINT8 IdentifyPortsMarker = 0xA5;

// ---- The case byte: what one handler SMI plays ----------------------------
enum class Event : UINT8 { S5Entry = 0, PowerButton = 1 };
enum class Comm : UINT8 { Null = 0, Junk = 1 };  // the CommBuffer the handler gets
enum class Gate : UINT8 {
  Working = 0,       // the gate entry is there and both calls succeed
  Absent = 1,        // the entry is taken out of the SMST table for this SMI
  AcquireFails = 2,  // the call with 1 fails
};

// bit 0: event; bit 1: junk CommBuffer; bits 2-3: gate. Bytes from
// HandlerCaseLimit up are requests, not handler cases.
inline constexpr UINT8 EventBit = 0x01;
inline constexpr UINT8 JunkCommBit = 0x02;
inline constexpr UINT8 GateShift = 2;
inline constexpr UINT8 GateMask = 0x03;
inline constexpr UINT8 HandlerCaseLimit = 0x0C;

struct HandlerCase {
  Event TheEvent;
  Comm TheComm;
  Gate TheGate;
};

constexpr UINT8 Encode(HandlerCase C) {
  return static_cast<UINT8>(static_cast<UINT8>(C.TheEvent) |
                            (C.TheComm == Comm::Junk ? JunkCommBit : 0) |
                            (static_cast<UINT8>(C.TheGate) << GateShift));
}
constexpr bool IsHandlerCase(UINT8 Byte) { return Byte < HandlerCaseLimit; }
constexpr HandlerCase Decode(UINT8 Byte) {
  return {static_cast<Event>(Byte & EventBit),
          (Byte & JunkCommBit) != 0 ? Comm::Junk : Comm::Null,
          static_cast<Gate>((Byte >> GateShift) & GateMask)};
}

// Requests that run no handler.
enum Request : UINT8 {
  ReportLoad = 0x40,      // find the SMM driver's image and fill the load part of the report
  PoolWatchBegin = 0x41,  // wrap the SMST pool and page slots, zero the counts
  PoolWatchEnd = 0x42,    // put the slots back, keep the counts
};

static_assert(Encode({Event::PowerButton, Comm::Junk, Gate::AcquireFails}) == 0x0B);
static_assert(IsHandlerCase(0x0B) && !IsHandlerCase(ReportLoad) && !IsHandlerCase(RequestConsumed) &&
              !IsHandlerCase(IdentifyPortsMarker));
static_assert(Decode(0x05).TheEvent == Event::PowerButton && Decode(0x05).TheGate == Gate::Absent);

// ---- The report ------------------------------------------------------------
// Filled by the stand-in from SMM, read by the application. It lives in
// EfiRuntimeServicesData allocated at the stand-in's entry, the one kind of
// memory outside SMRAM that SMM may still write once SMM is locked, and is
// published as a system configuration table under ReportGuid.
inline constexpr EFI_GUID ReportGuid = {
    0xB7A1085F, 0x8E4A, 0x4303, {0xB2, 0x9B, 0xB7, 0xEB, 0x69, 0x49, 0x79, 0x27}};
inline constexpr UINT64 ReportSignature = 0x444E4154534D4D53ULL;  // "SMMSTAND"

inline constexpr UINTN MaxRegistrations = 8;
inline constexpr UINTN MaxSmramRanges = 8;
inline constexpr UINTN MaxGateCalls = 4;

// One Register call that succeeded. Context is the registration context as
// given: Sx {Type, Phase}; power button {Phase, 0}.
struct Registration {
  UINT64 Handler;
  UINT64 Caller;  // return address of the Register call: who registered
  UINT32 Context[2];
  UINT8 Live;     // not unregistered since
  UINT8 Reserved[7];
};

struct GateCall {
  UINT8 Argument;  // the 8-bit argument exactly as received
  UINT8 Reserved[7];
  EFI_STATUS Result;
};

// One handled request.
struct SmiRecord {
  UINT8 Case;
  UINT8 GateEntryAfter;  // the gate entry was in the SMST table once the handlers had run
  UINT8 Reserved[2];
  UINT32 HandlersCalled;
  UINT32 HandlerFailures;  // handlers that returned anything but EFI_SUCCESS
  UINT32 GateCallCount;    // may exceed MaxGateCalls; only the first ones are kept
  GateCall GateCalls[MaxGateCalls];
};

// SMST pool and page calls between PoolWatchBegin and PoolWatchEnd.
struct PoolWatch {
  UINT64 AllocatePoolCalls;
  UINT64 FreePoolCalls;
  UINT64 AllocatePagesCalls;
  UINT64 FreePagesCalls;
  UINT64 CallsFromDriverImage;  // made from inside UsbSupportS5Smm's image
  UINT64 OutstandingBlocks;     // allocated in the window and not freed in it
  UINT64 OutstandingBytes;
  UINT64 OutstandingPages;
  UINT64 ForeignFrees;          // frees of blocks allocated before the window
  UINT64 Untracked;             // allocations past the tracking table: counts inexact
  UINT64 Smis;                  // handler SMIs in the window
  UINT64 SmisLikeFirst;         // of those, with the same record as the first one
  UINT64 ProbeSeen;             // a probe allocation at the start was counted and tracked
  UINT64 SlotsHeld;             // the four slots still held the wrappers at the end
};

struct Report {
  UINT64 Signature;
  UINT32 Size;
  // The stand-in's entry.
  UINT8 EntryInSmm;
  UINT8 PlatformServiceInstalled;
  UINT8 DispatchersInstalled;
  UINT8 GateInstalled;
  UINT8 RootHandlerRegistered;
  UINT8 Reserved0;
  CHAR8 Scenario[DispatchBoot::MaxScenarioName + 1];  // as the stand-in read it
  UINT64 Smst;
  UINT32 SmramRangeCount;  // as EFI_SMM_ACCESS2_PROTOCOL reported them at the entry
  UINT32 Reserved1;
  EFI_SMRAM_DESCRIPTOR SmramRanges[MaxSmramRanges];
  // Registrations with the stand-in's dispatchers, in call order.
  UINT32 SxCount;
  UINT32 PowerButtonCount;
  Registration Sx[MaxRegistrations];
  Registration PowerButton[MaxRegistrations];
  UINT32 UnRegisterCalls;
  UINT32 RejectedRegisterCalls;
  // ReportLoad: the image that holds the S5-entry handler, and the SMM pool
  // blocks its code allocated while it loaded.
  UINT8 ImageFound;
  UINT8 Reserved2[3];
  UINT32 ImageSizeOfImage;
  UINT64 ImageBase;
  UINT32 ImageTimeDateStamp;
  UINT32 ImageEntryRva;
  UINT32 ImageSubsystem;
  UINT32 DriverPoolAllocations;
  UINT64 DriverPoolBytes;
  UINT64 DriverPoolBlock;  // the first such block
  UINT32 DriverPoolFrees;
  UINT32 Reserved3;
  // Requests.
  UINT64 RequestsHandled;
  UINT64 StrayGateCalls;  // gate calls outside a handler SMI of ours
  SmiRecord Last;
  PoolWatch Pool;
};

static_assert(sizeof(Registration) == 32 && sizeof(GateCall) == 16);
static_assert(offsetof(Report, SmramRanges) % 8 == 0 && offsetof(Report, Sx) % 8 == 0);

}  // namespace SmmTest
