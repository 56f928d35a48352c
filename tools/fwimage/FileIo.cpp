#include "FileIo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace fwimage {

namespace {
constexpr mode_t DefaultFileMode = 0666;
} // namespace

Bytes ReadFile(const std::string &Path) {
  std::ifstream In(Path, std::ios::binary);
  if (!In) {
    throw Error("cannot read " + Path + ": " + std::strerror(errno));
  }
  // Whole flash images (64 MiB for AArch64 firmware) in one read.
  In.seekg(0, std::ios::end);
  const std::streamoff Size = In.tellg();
  In.seekg(0, std::ios::beg);
  if (Size < 0) {
    throw Error("cannot read " + Path + ": not a regular file");
  }
  Bytes Data(static_cast<size_t>(Size));
  if (!In.read(reinterpret_cast<char *>(Data.data()), Size)) {
    throw Error("cannot read " + Path);
  }
  return Data;
}

void WriteFileAtomic(const std::string &Path, ByteView Data) {
  const size_t Slash = Path.rfind('/');
  const std::string Dir = Slash == std::string::npos ? "." : Path.substr(0, Slash == 0 ? 1 : Slash);
  const std::string Base = Slash == std::string::npos ? Path : Path.substr(Slash + 1);
  std::string Temp = Dir + "/." + Base + ".XXXXXX";
  const int Fd = mkstemp(Temp.data());
  if (Fd < 0) {
    throw Error("cannot create a temporary file in " + Dir + ": " + std::strerror(errno));
  }
  auto Fail = [&](const std::string &Why) {
    const int Saved = errno;
    close(Fd);
    unlink(Temp.c_str());
    throw Error("cannot write " + Path + ": " + Why + (Saved != 0 ? std::string(": ") + std::strerror(Saved) : ""));
  };
  // mkstemp makes the file private; give it the mode a plain create would.
  const mode_t Mask = umask(0);
  umask(Mask);
  if (fchmod(Fd, DefaultFileMode & ~Mask) != 0) {
    Fail("fchmod");
  }
  size_t Done = 0;
  while (Done < Data.size()) {
    const ssize_t N = write(Fd, Data.data() + Done, Data.size() - Done);
    if (N < 0) {
      if (errno == EINTR) {
        continue;
      }
      Fail("write");
    }
    Done += static_cast<size_t>(N);
  }
  if (fsync(Fd) != 0) {
    Fail("fsync");
  }
  if (close(Fd) != 0) {
    const int Saved = errno;
    unlink(Temp.c_str());
    throw Error("cannot write " + Path + ": close: " + std::strerror(Saved));
  }
  if (rename(Temp.c_str(), Path.c_str()) != 0) {
    const int Saved = errno;
    unlink(Temp.c_str());
    throw Error("cannot write " + Path + ": rename: " + std::strerror(Saved));
  }
}

} // namespace fwimage
