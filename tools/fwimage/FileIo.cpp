#include "FileIo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace fwimage {

namespace {
constexpr mode_t DefaultFileMode = 0666;
constexpr size_t ReadChunk = 1 << 20;
} // namespace

Bytes ReadFile(const std::string &Path) {
  const int Fd = open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) {
    throw Error("cannot read " + Path + ": " + std::strerror(errno));
  }
  // One read per chunk into a buffer sized from fstat: the images run to
  // 64 MiB. A directory opens fine and fails only at the read; say so plainly.
  Bytes Data;
  struct stat Info {};
  std::string Why;
  if (fstat(Fd, &Info) != 0) {
    Why = std::strerror(errno);
  } else if (S_ISDIR(Info.st_mode)) {
    Why = "is a directory";
  } else {
    Data.reserve((S_ISREG(Info.st_mode) ? static_cast<size_t>(Info.st_size) : 0) + ReadChunk);
    for (;;) {
      const size_t Done = Data.size();
      Data.resize(Done + ReadChunk);
      const ssize_t N = read(Fd, Data.data() + Done, ReadChunk);
      if (N < 0 && errno == EINTR) {
        Data.resize(Done);
        continue;
      }
      if (N <= 0) {
        Data.resize(Done);
        if (N < 0) {
          Why = std::strerror(errno);
        }
        break;
      }
      Data.resize(Done + static_cast<size_t>(N));
    }
  }
  close(Fd);
  if (!Why.empty()) {
    throw Error("cannot read " + Path + ": " + Why);
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
