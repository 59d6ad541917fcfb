// Output rules. OUTPUT is only ever opened with open(2) by the name the user
// typed, never by a path worked out from its links, so the kernel's rules for
// links and files in shared folders (fs.protected_symlinks, protected_regular,
// protected_fifos) apply as they do to a shell's ">". Nothing is written
// before the JPEG is complete in memory.
//
// - A name not taken yet: the JPEG goes into an unnamed file (O_TMPFILE) in
//   the folder, linked in under the name once complete, so a failed or
//   killed run leaves nothing behind. Where the file system has no unnamed
//   files, the name is created (O_EXCL) and removed again if the write fails.
// - An existing file, or a link to one: written in place. Room for the JPEG
//   is reserved first, so a full disk or the file size limit fails before a
//   byte changes; then the file is written from the start and cut to length.
//   The inode stays, and with it owner, group, mode, hard links, ACLs and
//   extended attributes; the folder need not be writable.
// - /dev/stdout, /dev/stderr, /dev/fd/N and /proc/self/fd/N: this process's
//   own descriptor, written as it stands (its offset and append mode kept).
// - Devices, FIFOs and sockets: written as they stand.
// While a regular file is written, SIGINT, SIGTERM, SIGHUP and SIGQUIT are
// held, so a run they stop ends before the file is touched or after it is
// whole; a write past the file size limit fails with an error instead of
// SIGXFSZ. OUTPUT that is INPUT (the same device and inode) is refused.
#include "output/output_file.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <filesystem>
#include <random>
#include <system_error>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace dibjpeg::cli {
namespace {

using Bytes = std::span<const std::uint8_t>;  // the bytes to write

#ifndef _WIN32

bool Failed(std::string* error, const std::string& what, int failure) {
  *error = what + ": " + std::strerror(failure);
  return false;
}

std::string DirName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(int fd, Bytes data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The descriptor /dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N or
// /proc/<this process>/fd/N names, or -1. These are recognised by name, as
// a shell recognises them in redirections.
int DescriptorOf(const std::string& path) {
  if (path == "/dev/stdout") return STDOUT_FILENO;
  if (path == "/dev/stderr") return STDERR_FILENO;
  const std::string prefixes[] = {"/proc/self/fd/", "/dev/fd/", "/proc/" + std::to_string(getpid()) + "/fd/"};
  for (const std::string& prefix : prefixes) {
    const std::string number = path.rfind(prefix, 0) == 0 ? path.substr(prefix.size()) : "";
    if (!number.empty() && number.size() < 9 && number.find_first_not_of("0123456789") == std::string::npos) {
      return std::stoi(number);
    }
  }
  return -1;
}

// Holds the termination signals for its lifetime; one that arrives meanwhile
// takes effect when they are released.
class HeldSignals {
 public:
  HeldSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, &old_);
  }
  ~HeldSignals() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;

 private:
  sigset_t old_;
};

// Makes `data` the whole content of the regular file `fd` (open at offset 0,
// `oldSize` bytes long). A failed reservation leaves the old bytes as they
// were; errno tells why on failure.
bool Overwrite(int fd, off_t oldSize, Bytes data) {
  const off_t size = static_cast<off_t>(data.size());
  if (const int failure = posix_fallocate(fd, 0, size); failure != 0) {
    const int restored = ftruncate(fd, oldSize);  // drops what the reservation added; the old bytes are untouched
    static_cast<void>(restored);
    errno = failure;
    return false;
  }
  return WriteAll(fd, data) && ftruncate(fd, size) == 0;
}

// Writes to an open OUTPUT, unless it is the input file. `own` marks this
// process's standard descriptors, written as they stand; other regular files
// are overwritten whole.
bool WriteOpen(int fd, bool own, const std::string& name, Bytes data, const FileId& input, std::string* error) {
  struct stat st;
  if (fstat(fd, &st) != 0) return Failed(error, "cannot write " + name, errno);
  if (input.known && st.st_dev == input.device && st.st_ino == input.inode) {
    *error = "cannot write " + name + ": it is the input file";
    return false;
  }
  bool ok;
  if (S_ISREG(st.st_mode) && !own) {
    const HeldSignals held;
    ok = Overwrite(fd, st.st_size, data);
  } else {
    ok = WriteAll(fd, data);
  }
  return ok || Failed(error, "cannot write " + name, errno);
}

// An existing OUTPUT, or what a link there leads to: opened as a shell's ">"
// opens it, but not truncated.
bool WriteExisting(const std::string& name, Bytes data, const FileId& input, std::string* error) {
  const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return Failed(error, "cannot write " + name, errno);
  bool ok = WriteOpen(fd, false, name, data, input, error);
  if (close(fd) != 0 && ok) ok = Failed(error, "cannot write " + name, errno);
  return ok;
}

enum class Created { Yes, No, Taken };  // Taken: the name exists after all

// A name not taken yet, written complete under that name or not at all.
Created CreateNew(const std::string& name, Bytes data, std::string* error) {
  const HeldSignals held;
#ifdef O_TMPFILE
  if (const int fd = open(DirName(name).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666); fd >= 0) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    bool ok = Overwrite(fd, 0, data) && linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
    int failure = errno;
    if (close(fd) != 0 && ok) {
      ok = false;
      failure = errno;
    }
    if (ok) return Created::Yes;
    if (failure == EEXIST) return Created::Taken;
    Failed(error, "cannot create " + name, failure);
    return Created::No;
  }
#endif
  // No unnamed files here (or no folder to make one in, which the named
  // file reports as well).
  const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (errno == EEXIST) return Created::Taken;
    Failed(error, "cannot create " + name, errno);
    return Created::No;
  }
  bool ok = Overwrite(fd, 0, data) || Failed(error, "cannot write " + name, errno);
  if (close(fd) != 0 && ok) ok = Failed(error, "cannot write " + name, errno);
  if (!ok) unlink(name.c_str());
  return ok ? Created::Yes : Created::No;
}

#endif

}  // namespace

#ifndef _WIN32

bool WriteOutput(const std::string& name, Bytes data, const FileId& input, std::string* error) {
  std::signal(SIGXFSZ, SIG_IGN);
  if (name == "-") return WriteOpen(STDOUT_FILENO, true, "standard output", data, input, error);
  if (const int fd = DescriptorOf(name); fd >= 0) return WriteOpen(fd, true, name, data, input, error);
  struct stat st;
  if (stat(name.c_str(), &st) != 0) {
    if (errno != ENOENT) return Failed(error, "cannot write " + name, errno);
    // Nothing there, or a link to nothing: then the link is followed by
    // open(2) as for an existing file, creating what it names.
    const Created created = CreateNew(name, data, error);
    if (created != Created::Taken) return created == Created::Yes;
  }
  return WriteExisting(name, data, input, error);
}

#else

// Windows has no device files under ordinary names, so every OUTPUT is
// replaced through a temporary file.
bool WriteOutput(const std::string& name, Bytes data, const FileId&, std::string* error) {
  if (name == "-") {
    if (std::fwrite(data.data(), 1, data.size(), stdout) == data.size() && std::fflush(stdout) == 0) return true;
    *error = std::string("cannot write standard output: ") + std::strerror(errno);
    return false;
  }
  std::random_device random;
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, ".tmp%08x", static_cast<unsigned>(random()));
  const std::string temp = name + suffix;
  std::FILE* f = std::fopen(temp.c_str(), "wb");
  if (f == nullptr) {
    *error = "cannot create " + name + ": " + std::strerror(errno);
    return false;
  }
  bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) *error = "cannot write " + name + ": " + std::strerror(errno);
  std::error_code ec;
  if (ok) {
    std::filesystem::rename(temp, name, ec);
    if (ec) {
      *error = "cannot replace " + name + ": " + ec.message();
      ok = false;
    }
  }
  if (!ok) std::filesystem::remove(temp, ec);
  return ok;
}

#endif

}  // namespace dibjpeg::cli
