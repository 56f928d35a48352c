// The SMM part of the boot, the last thing the application does.
//
// Before ExitBootServices: the load of UsbSupportS5Smm as the SMM stand-in saw
// it (dispatched into SMRAM, its registrations, the SMRAM it occupies), the
// same driver started as an ordinary image outside SMRAM, then the handler
// raised by real SMIs for every "UsbSupport" and gate case, at S5
// entry and at the power button, with a NULL and a junk CommBuffer. Then
// ExitBootServices, the same SMIs again, 1,000 back to back with the SMM pool
// watched, and power-off through PM1a_CNT with SLP_TYP from the DSDT's \_S5.
//
// The application checks what it can see (the stand-in's report); the port
// and gate order of every SMI is judged on the host from QEMU's port trace
// (TraceJudge), fed by the TRACE lines written here.
#pragma once

#include "TestApp.h"

// Prints the DONE line and powers off; never returns.
[[noreturn]] VOID RunSmmHandlerPhase();
