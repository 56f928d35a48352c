// boardsim: boot the simulated board with the real driver sources and print
// what the drivers did.
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "BootReport.h"
#if BOARD_HAVE_SMM_DRIVER
#include "SmmReport.h"
#endif

namespace {

int Usage(const char *Why) {
  std::cerr << "boardsim: " << Why << "\n"
            << "usage: boardsim [--riser] [--no-pcd] [--no-nics] [--pcd TOKEN=VALUE[,...]]\n"
            << BoardSetupOptionsUsage
#if BOARD_HAVE_SMM_DRIVER
            << "                [--smm] [--usb-support N|none] [--event s5|power-button]\n"
#endif
            ;
  return 2;
}

bool ParsePcd(const std::string &List, BootScenario &S) {
  size_t Pos = 0;
  while (Pos <= List.size()) {
    const size_t Comma = List.find(',', Pos);
    const std::string Item = List.substr(Pos, Comma == std::string::npos ? std::string::npos : Comma - Pos);
    const size_t Eq = Item.find('=');
    if (Eq == std::string::npos || Eq == 0 || Eq + 1 == Item.size()) {
      return false;
    }
    char *End = nullptr;
    const unsigned long Token = std::strtoul(Item.c_str(), &End, 0);
    if (End != Item.c_str() + Eq) {
      return false;
    }
    const unsigned long Value = std::strtoul(Item.c_str() + Eq + 1, &End, 0);
    if (*End != '\0' || Value > 0xFFFFFFFFul) {
      return false;
    }
    S.Pcd[Token] = static_cast<UINT32>(Value);
    if (Comma == std::string::npos) {
      break;
    }
    Pos = Comma + 1;
  }
  return true;
}

}  // namespace

int main(int Argc, char **Argv) {
  BootScenario S;
#if BOARD_HAVE_SMM_DRIVER
  bool Smm = false;
  SmmScenario Sm;
#endif
  // A typical board: every option-ROM slot enabled, NIC root ports at 00:1C.0 and 00:1C.4.
  for (UINTN Token = 655; Token <= 668; ++Token) {
    S.Pcd[Token] = 1;
  }
  for (int I = 1; I < Argc; ++I) {
    std::string Why;
    if (const int Board = ParseBoardSetupOption(Argc, Argv, I, S, Why)) {
      if (Board < 0) {
        return Usage(Why.c_str());
      }
      continue;
    }
    const std::string A = Argv[I];
    if (A == "--riser") {
      S.Riser = true;
    } else if (A == "--no-pcd") {
      S.PcdPresent = false;
    } else if (A == "--no-nics") {
      S.NicsPresent = false;
    } else if (A == "--pcd") {
      if (I + 1 >= Argc || !ParsePcd(Argv[++I], S)) {
        return Usage("--pcd wants TOKEN=VALUE[,TOKEN=VALUE...]");
      }
#if BOARD_HAVE_SMM_DRIVER
    } else if (A == "--smm") {
      Smm = true;
    } else if (A == "--usb-support") {
      char *End = nullptr;
      const unsigned long V = I + 1 < Argc ? std::strtoul(Argv[I + 1], &End, 0) : 0;
      if (I + 1 < Argc && std::strcmp(Argv[I + 1], "none") == 0) {
        Sm.UsbSupportPresent = false;
      } else if (I + 1 >= Argc || *End != '\0' || End == Argv[I + 1] || V > 0xFF) {
        return Usage("--usb-support wants a byte value (0-255) or none");
      } else {
        Sm.UsbSupport = static_cast<UINT8>(V);
      }
      ++I;
      Smm = true;
    } else if (A == "--event") {
      const std::string E = I + 1 < Argc ? Argv[++I] : "";
      if (E != "s5" && E != "power-button") {
        return Usage("--event wants s5 or power-button");
      }
      Sm.EnterS5 = E == "s5";
      Sm.PressPowerButton = E == "power-button";
      Smm = true;
#endif
    } else if (A == "--help" || A == "-h") {
      Usage("boots the simulated board and prints the boot report");
      return 0;
    } else {
      return Usage(("unknown argument: " + A).c_str());
    }
  }
  int Errors = RunBootReport(S, std::cout);
#if BOARD_HAVE_SMM_DRIVER
  if (Smm) {
    std::cout << "\n";
    Errors += RunSmmReport(Sm, std::cout);
  }
#endif
  return Errors == 0 ? 0 : 1;
}
