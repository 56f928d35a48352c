// What every target on a prepared board (PreparedBoard.h) tells libFuzzer.
#include <cstring>
#include <vector>

// The board's models log every call, so an input allocates more than it
// frees, and libFuzzer would run its leak check (a scan of the whole heap)
// after every input. -detect_leaks=0 leaves leaks to LeakSanitizer's check
// at exit, which still sees anything an input leaked. A -detect_leaks given
// on the command line wins: it comes later.
extern "C" int LLVMFuzzerInitialize(int *Argc, char ***Argv) {
  static std::vector<char *> Args;
  static char NoLeakCheckPerInput[] = "-detect_leaks=0";
  Args.assign(*Argv, *Argv + *Argc);
  Args.insert(Args.begin() + 1, NoLeakCheckPerInput);
  Args.push_back(nullptr);
  *Argc += 1;
  *Argv = Args.data();
  return 0;
}
