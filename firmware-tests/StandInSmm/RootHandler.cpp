// The root SMI handler: the SMM core calls it on every SMI. It acts only on
// the bench's APM command, once per request (it marks the request consumed
// on the data port, which raises nothing), and leaves every other SMI, such
// as OVMF's own SMM communication, to whoever owns it.
#include "Hal/IoAccess.h"
#include "StandInSmm.h"

namespace {

using namespace StandIn;

// The driver image the load report found, for the pool watch.
LoadedImage gDriverImage;

VOID RunHandlerCase(SmmTest::HandlerCase Case, SmmTest::SmiRecord *Record) {
  BeginGateSmi(Case.TheGate, Record);
  Record->HandlersCalled = RaiseEvent(Case.TheEvent, Case.TheComm, &Record->HandlerFailures);
  EndGateSmi();
  NotePoolWatchSmi(*Record);
}

VOID ReportLoad() {
  EndLoadWatch();
  gDriverImage = FindImage(S5EntryHandler());
  SmmTest::Report &R = *gReport;
  R.ImageFound = gDriverImage.Base != 0;
  R.ImageBase = gDriverImage.Base;
  R.ImageSizeOfImage = gDriverImage.Facts.SizeOfImage;
  R.ImageTimeDateStamp = gDriverImage.Facts.TimeDateStamp;
  R.ImageEntryRva = gDriverImage.Facts.EntryRva;
  R.ImageSubsystem = gDriverImage.Facts.Subsystem;
}

}  // namespace

namespace StandIn {

EFI_STATUS EFIAPI RootSmiHandler(EFI_HANDLE DispatchHandle, const VOID *Context,
                                 VOID *CommBuffer, UINTN *CommBufferSize) {
  (VOID)DispatchHandle;
  (VOID)Context;
  (VOID)CommBuffer;
  (VOID)CommBufferSize;
  if (IoRead8(SmmTest::ApmControlPort) != SmmTest::BoardTestCommand) {
    return EFI_WARN_INTERRUPT_SOURCE_PENDING;
  }
  const UINT8 Request = IoRead8(SmmTest::ApmDataPort);
  if (Request == SmmTest::RequestConsumed) {
    return EFI_WARN_INTERRUPT_SOURCE_PENDING;
  }

  SmmTest::SmiRecord Record = {};
  Record.Case = Request;
  if (SmmTest::IsHandlerCase(Request)) {
    RunHandlerCase(SmmTest::Decode(Request), &Record);
  } else if (Request == SmmTest::ReportLoad) {
    ReportLoad();
  } else if (Request == SmmTest::PoolWatchBegin) {
    BeginPoolWatch(gDriverImage);
  } else if (Request == SmmTest::PoolWatchEnd) {
    EndPoolWatch();
  }
  // Anything else is recorded as handled with nothing done; the
  // application sees its own byte in Last.Case.
  gReport->Last = Record;
  ++gReport->RequestsHandled;
  IoWrite8(SmmTest::ApmDataPort, SmmTest::RequestConsumed);
  return EFI_SUCCESS;
}

}  // namespace StandIn
