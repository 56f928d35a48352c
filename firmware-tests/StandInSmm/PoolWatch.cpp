// Wrappers for the SMST's pool and page slots, put in place for two windows:
//
// - the load window, from the stand-in's entry until the load report: the
//   last allocations are kept with their callers, so that when
//   UsbSupportS5Smm registers, the SMM pool blocks its own code took while it
//   loaded (the SMRAM map) can be named, and a later free of one seen;
// - the pool watch, around the application's run of back-to-back SMIs: every
//   call is counted and every block taken in the window is tracked until it
//   is freed, so "the pool is as it was" is an exact statement about every
//   caller that reaches the pool through the SMST (the only way the handler
//   can), not an estimate from probing how much can still be allocated.
//
// A wrapper forwards to the slot it replaced, unchanged; the slots go back
// when a window ends (unless someone wrapped them after us).
#include "StandInSmm.h"

namespace {

using namespace StandIn;

struct Slots {
  EFI_ALLOCATE_POOL AllocatePool;
  EFI_FREE_POOL FreePool;
  EFI_ALLOCATE_PAGES AllocatePages;
  EFI_FREE_PAGES FreePages;
};
Slots gOriginal;

enum class Window : UINT8 { None, Load, Run };
Window gWindow = Window::None;

// Load window: the most recent allocations, a ring.
struct Allocation {
  UINT64 Caller;
  UINT64 Address;
  UINT64 Bytes;
};
constexpr UINTN RecentAllocations = 32;
Allocation gRecent[RecentAllocations];
UINTN gRecentNext;
UINTN gRecentCount;
// The driver's own blocks once known; frees of them are counted.
constexpr UINTN MaxDriverBlocks = 4;
UINT64 gDriverBlocks[MaxDriverBlocks];
UINTN gDriverBlockCount;

// Pool watch: blocks taken in the window and not yet given back.
struct LiveBlock {
  UINT64 Address;
  UINT64 Bytes;
  UINT64 Pages;
};
constexpr UINTN MaxLiveBlocks = 64;
constexpr UINTN ProbeBytes = 16;
LiveBlock gLive[MaxLiveBlocks];
LoadedImage gDriverImage;
SmmTest::SmiRecord gFirstSmi;

VOID NoteCaller(UINT64 Caller) {
  if (InImage(gDriverImage, Caller)) {
    ++gReport->Pool.CallsFromDriverImage;
  }
}

VOID NoteAllocation(UINT64 Caller, UINT64 Address, UINT64 Bytes, UINT64 Pages) {
  if (gWindow == Window::Load) {
    gRecent[gRecentNext] = {Caller, Address, Bytes};
    gRecentNext = (gRecentNext + 1) % RecentAllocations;
    gRecentCount += gRecentCount < RecentAllocations;
    return;
  }
  for (LiveBlock &Block : gLive) {
    if (Block.Address == 0) {
      Block = {Address, Bytes, Pages};
      return;
    }
  }
  ++gReport->Pool.Untracked;
}

VOID NoteFree(UINT64 Address) {
  if (gWindow == Window::Load) {
    for (UINTN I = 0; I < gDriverBlockCount; ++I) {
      if (gDriverBlocks[I] == Address) {
        ++gReport->DriverPoolFrees;
      }
    }
    return;
  }
  for (LiveBlock &Block : gLive) {
    if (Block.Address == Address) {
      Block = {};
      return;
    }
  }
  ++gReport->Pool.ForeignFrees;
}

EFI_STATUS EFIAPI WatchedAllocatePool(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer) {
  const auto Caller = reinterpret_cast<UINT64>(__builtin_return_address(0));
  const EFI_STATUS Status = gOriginal.AllocatePool(PoolType, Size, Buffer);
  if (gWindow == Window::Run) {
    ++gReport->Pool.AllocatePoolCalls;
    NoteCaller(Caller);
  }
  if (!EFI_ERROR(Status) && Buffer != nullptr && *Buffer != nullptr) {
    NoteAllocation(Caller, reinterpret_cast<UINT64>(*Buffer), Size, 0);
  }
  return Status;
}

EFI_STATUS EFIAPI WatchedFreePool(VOID *Buffer) {
  const auto Caller = reinterpret_cast<UINT64>(__builtin_return_address(0));
  const EFI_STATUS Status = gOriginal.FreePool(Buffer);
  if (gWindow == Window::Run) {
    ++gReport->Pool.FreePoolCalls;
    NoteCaller(Caller);
  }
  if (!EFI_ERROR(Status)) {
    NoteFree(reinterpret_cast<UINT64>(Buffer));
  }
  return Status;
}

EFI_STATUS EFIAPI WatchedAllocatePages(EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE MemoryType,
                                       UINTN Pages, EFI_PHYSICAL_ADDRESS *Memory) {
  const auto Caller = reinterpret_cast<UINT64>(__builtin_return_address(0));
  const EFI_STATUS Status = gOriginal.AllocatePages(Type, MemoryType, Pages, Memory);
  if (gWindow == Window::Run) {
    ++gReport->Pool.AllocatePagesCalls;
    NoteCaller(Caller);
  }
  if (!EFI_ERROR(Status) && Memory != nullptr) {
    NoteAllocation(Caller, *Memory, Pages * EFI_PAGE_SIZE, Pages);
  }
  return Status;
}

EFI_STATUS EFIAPI WatchedFreePages(EFI_PHYSICAL_ADDRESS Memory, UINTN Pages) {
  const auto Caller = reinterpret_cast<UINT64>(__builtin_return_address(0));
  const EFI_STATUS Status = gOriginal.FreePages(Memory, Pages);
  if (gWindow == Window::Run) {
    ++gReport->Pool.FreePagesCalls;
    NoteCaller(Caller);
  }
  if (!EFI_ERROR(Status)) {
    NoteFree(Memory);
  }
  return Status;
}

VOID Wrap(Window Which) {
  if (gWindow == Window::None) {
    gOriginal = {gSmst->SmmAllocatePool, gSmst->SmmFreePool, gSmst->SmmAllocatePages,
                 gSmst->SmmFreePages};
    gSmst->SmmAllocatePool = WatchedAllocatePool;
    gSmst->SmmFreePool = WatchedFreePool;
    gSmst->SmmAllocatePages = WatchedAllocatePages;
    gSmst->SmmFreePages = WatchedFreePages;
  }
  gWindow = Which;
}

// A slot someone replaced after us keeps its new owner, who forwards to us:
// we then stay in place, quietly forwarding.
VOID Unwrap() {
  if (gSmst->SmmAllocatePool == WatchedAllocatePool) {
    gSmst->SmmAllocatePool = gOriginal.AllocatePool;
  }
  if (gSmst->SmmFreePool == WatchedFreePool) {
    gSmst->SmmFreePool = gOriginal.FreePool;
  }
  if (gSmst->SmmAllocatePages == WatchedAllocatePages) {
    gSmst->SmmAllocatePages = gOriginal.AllocatePages;
  }
  if (gSmst->SmmFreePages == WatchedFreePages) {
    gSmst->SmmFreePages = gOriginal.FreePages;
  }
  gWindow = Window::None;
}

// The handler's part of an SMI: which event or CommBuffer raised it must
// not matter.
bool SameRecord(const SmmTest::SmiRecord &A, const SmmTest::SmiRecord &B) {
  if (A.HandlersCalled != B.HandlersCalled ||
      A.HandlerFailures != B.HandlerFailures || A.GateCallCount != B.GateCallCount ||
      A.GateEntryAfter != B.GateEntryAfter) {
    return false;
  }
  for (UINTN I = 0; I < A.GateCallCount && I < SmmTest::MaxGateCalls; ++I) {
    if (A.GateCalls[I].Argument != B.GateCalls[I].Argument ||
        A.GateCalls[I].Result != B.GateCalls[I].Result) {
      return false;
    }
  }
  return true;
}

}  // namespace

namespace StandIn {

VOID BeginLoadWatch() { Wrap(Window::Load); }

VOID AttributeLoadAllocations(const LoadedImage &Image) {
  if (gWindow != Window::Load || Image.Base == 0) {
    return;
  }
  for (UINTN I = 0; I < gRecentCount; ++I) {
    const Allocation &A = gRecent[(gRecentNext + RecentAllocations - gRecentCount + I) %
                                  RecentAllocations];
    if (!InImage(Image, A.Caller)) {
      continue;
    }
    if (gReport->DriverPoolAllocations == 0) {
      gReport->DriverPoolBlock = A.Address;
    }
    ++gReport->DriverPoolAllocations;
    gReport->DriverPoolBytes += A.Bytes;
    if (gDriverBlockCount < MaxDriverBlocks) {
      gDriverBlocks[gDriverBlockCount++] = A.Address;
    }
  }
}

VOID EndLoadWatch() {
  if (gWindow == Window::Load) {
    Unwrap();
  }
}

VOID BeginPoolWatch(const LoadedImage &DriverImage) {
  for (LiveBlock &Block : gLive) {
    Block = {};
  }
  gDriverImage = DriverImage;
  gFirstSmi = {};
  Wrap(Window::Run);
  // The instrument checked before use: one block through the SMST must be
  // counted and tracked, and gone again once freed.
  gReport->Pool = {};
  VOID *Probe = nullptr;
  if (!EFI_ERROR(gSmst->SmmAllocatePool(EfiRuntimeServicesData, ProbeBytes, &Probe))) {
    const bool Tracked = gLive[0].Address == reinterpret_cast<UINT64>(Probe);
    gSmst->SmmFreePool(Probe);
    const SmmTest::PoolWatch &P = gReport->Pool;
    const bool Seen = Tracked && P.AllocatePoolCalls == 1 && P.FreePoolCalls == 1 &&
                      gLive[0].Address == 0 && P.ForeignFrees == 0;
    gReport->Pool = {};
    gReport->Pool.ProbeSeen = Seen;
  }
}

VOID NotePoolWatchSmi(const SmmTest::SmiRecord &Record) {
  if (gWindow != Window::Run) {
    return;
  }
  if (gReport->Pool.Smis == 0) {
    gFirstSmi = Record;
  }
  ++gReport->Pool.Smis;
  gReport->Pool.SmisLikeFirst += SameRecord(gFirstSmi, Record);
}

VOID EndPoolWatch() {
  if (gWindow != Window::Run) {
    return;
  }
  gReport->Pool.SlotsHeld =
      gSmst->SmmAllocatePool == WatchedAllocatePool && gSmst->SmmFreePool == WatchedFreePool &&
      gSmst->SmmAllocatePages == WatchedAllocatePages && gSmst->SmmFreePages == WatchedFreePages;
  Unwrap();
  for (const LiveBlock &Block : gLive) {
    if (Block.Address != 0) {
      ++gReport->Pool.OutstandingBlocks;
      gReport->Pool.OutstandingBytes += Block.Bytes;
      gReport->Pool.OutstandingPages += Block.Pages;
    }
  }
}

}  // namespace StandIn
