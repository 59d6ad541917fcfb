// Output rules. A regular file, or a name not yet taken, gets a temporary file
// in the same folder that is renamed over it once complete, so a failure
// leaves the old file as it was; a symbolic link is followed and its target
// replaced, keeping the link. The replacement keeps the old file's mode (and
// owner, when run as root), and a file the user could not open for writing
// is not replaced. Everything else is written in place, as standard output
// is: renaming over a device, FIFO or socket would destroy it, and the
// links in /proc (behind /dev/stdout and /dev/fd/N) name open files, not
// paths to replace; those naming this process's descriptors (/dev/stdout)
// write to the descriptor itself, keeping its offset and append mode.
#include "output_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <filesystem>
#include <random>
#include <system_error>
#else
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace dibjpeg::cli {
namespace {

using Bytes = std::span<const std::uint8_t>;  // the bytes to write

bool WriteStdout(Bytes data, std::string* error) {
  if (std::fwrite(data.data(), 1, data.size(), stdout) != data.size() || std::fflush(stdout) != 0) {
    *error = std::string("cannot write standard output: ") + std::strerror(errno);
    return false;
  }
  return true;
}

#ifndef _WIN32

std::string ErrorText() { return std::strerror(errno); }

std::string DirName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
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

bool InProc(const std::string& folder) {
  char* real = realpath(folder.c_str(), nullptr);
  if (real == nullptr) return false;
  const bool inProc = std::strncmp(real, "/proc/", 6) == 0;
  std::free(real);
  return inProc;
}

// The descriptor a /proc/self/fd/N, /proc/<own pid>/fd/N or /dev/fd/N path
// names, or -1.
int DescriptorOf(const std::string& path) {
  const std::string prefixes[] = {"/proc/self/fd/", "/dev/fd/", "/proc/" + std::to_string(getpid()) + "/fd/"};
  for (const std::string& prefix : prefixes) {
    const std::string number = path.rfind(prefix, 0) == 0 ? path.substr(prefix.size()) : "";
    if (!number.empty() && number.size() < 9 && number.find_first_not_of("0123456789") == std::string::npos) {
      return std::stoi(number);
    }
  }
  return -1;
}

// Follows symbolic links from `name` to the path the bytes finally go to.
// *inProc is set when that chain passes through /proc, *descriptor when it
// names one of this process's open descriptors.
bool FollowLinks(const std::string& name, std::string* target, bool* inProc, int* descriptor, std::string* error) {
  std::string path = name;
  for (int hops = 0;; ++hops) {
    *inProc = *inProc || InProc(DirName(path));
    if (*descriptor < 0) *descriptor = DescriptorOf(path);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
    char link[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
    if (n < 0 || hops == 40) {
      *error = "cannot write " + name + ": " + (n < 0 ? ErrorText() : std::strerror(ELOOP));
      return false;
    }
    const std::string to(link, static_cast<std::size_t>(n));
    path = to[0] == '/' ? to : DirName(path) + "/" + to;
  }
  *target = path;
  return true;
}

bool WriteInPlace(const std::string& name, bool truncate, Bytes data, std::string* error) {
  const int fd = open(name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | (truncate ? O_TRUNC : 0));
  if (fd < 0) {
    *error = "cannot open " + name + ": " + ErrorText();
    return false;
  }
  bool ok = WriteAll(fd, data);
  int failure = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    failure = errno;
  }
  if (!ok) *error = "cannot write " + name + ": " + std::strerror(failure);
  return ok;
}

// `old` is the file being replaced, or null when there is none.
bool ReplaceAtomically(const std::string& name, const std::string& target, const struct stat* old, Bytes data,
                       std::string* error) {
  if (old != nullptr && faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
    *error = "cannot write " + name + ": " + ErrorText();
    return false;
  }
  std::string temp = DirName(target) + "/." + BaseName(target) + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) {
    *error = "cannot create " + name + ": " + ErrorText();
    return false;
  }
  mode_t mode;
  if (old != nullptr) {
    mode = old->st_mode & 07777;
    // Root may replace anyone's file; the file stays theirs. A refused
    // change of owner leaves the file root's, with the right content.
    if (geteuid() == 0 && fchown(fd, old->st_uid, old->st_gid) != 0) mode &= 0777;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, data);
  int failure = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    failure = errno;
  }
  if (!ok) {
    *error = "cannot write " + name + ": " + std::strerror(failure);
  } else if (rename(temp.c_str(), target.c_str()) != 0) {
    *error = "cannot replace " + name + ": " + ErrorText();
    ok = false;
  }
  if (!ok) unlink(temp.c_str());
  return ok;
}

#endif

}  // namespace

#ifndef _WIN32

bool WriteOutput(const std::string& name, Bytes data, std::string* error) {
  if (name == "-") return WriteStdout(data, error);
  std::string target;
  bool inProc = false;
  int descriptor = -1;
  if (!FollowLinks(name, &target, &inProc, &descriptor, error)) return false;
  // An open descriptor (/dev/stdout, say) is written as it stands, keeping
  // its offset and append mode, as "-" writes standard output.
  if (descriptor >= 0) {
    if (!WriteAll(descriptor, data)) {
      *error = "cannot write " + name + ": " + ErrorText();
      return false;
    }
    return true;
  }
  struct stat st;
  const bool exists = stat(target.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) {
    *error = "cannot write " + name + ": " + ErrorText();
    return false;
  }
  if (exists && S_ISDIR(st.st_mode)) {
    *error = "cannot write " + name + ": " + std::strerror(EISDIR);
    return false;
  }
  if (inProc || (exists && !S_ISREG(st.st_mode))) return WriteInPlace(name, exists && S_ISREG(st.st_mode), data, error);
  return ReplaceAtomically(name, target, exists ? &st : nullptr, data, error);
}

#else

// Windows has no device files under ordinary names, so every OUTPUT is
// replaced through a temporary file.
bool WriteOutput(const std::string& name, Bytes data, std::string* error) {
  if (name == "-") return WriteStdout(data, error);
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
