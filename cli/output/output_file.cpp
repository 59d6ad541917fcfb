// Output rules. OUTPUT is opened with open(2) by the name the user typed
// (and only then followed through its links to where it leads), so the
// kernel's rules for links and files in shared folders (fs.protected_symlinks,
// protected_regular, protected_fifos) apply as they do to a shell's ">".
// Nothing is written before the JPEG is complete in memory, and no name
// changes before the file it names is complete and synced.
//
// - A name not taken yet (or a link to one): the JPEG goes into an unnamed
//   file (O_TMPFILE) in the folder where the name leads, linked in under
//   the name once complete, through /proc/self/fd or, without /proc,
//   AT_EMPTY_PATH. Where neither works, into a temporary name of its own
//   (TempName), linked to the name with link(2), so that a file appearing
//   there meanwhile is not replaced.
// - An existing regular file holding a JPEG (or nothing), or with --force
//   any regular file: a complete copy with the old file's owner, group,
//   mode, ACLs and extended attributes gets a temporary name in its folder
//   and is renamed over it. Where that copy cannot be made (a folder the
//   user cannot write, an owner the user cannot give) or the file has more
//   hard links, which a rename would part from it, it is written in place,
//   but only where room for the whole JPEG is reserved first; otherwise
//   refused (hard links: unless --force, which replaces it).
// - /dev/stdout, /dev/stderr, /dev/fd/N and /proc/self/fd/N: this process's
//   own descriptor, written as it stands (its offset and append mode kept).
// - Devices, FIFOs and sockets: written as they stand.
// While a regular file is written, SIGINT, SIGTERM, SIGHUP and SIGQUIT are
// held, so a run they stop ends before the file is touched or after it is
// whole; a write past the file size limit fails with an error instead of
// SIGXFSZ. OUTPUT that is an input (the same device and inode) is refused.
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
#include <linux/falloc.h>
#include <linux/fs.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <ctime>
#include <vector>
#endif

namespace dibjpeg::cli {
namespace {

using Bytes = std::span<const std::uint8_t>;  // the bytes to write
using Inputs = std::span<const FileId>;

#ifndef _WIN32

bool Failed(std::string* error, const std::string& what, int failure) {
  *error = what + ": " + std::strerror(failure);
  return false;
}

bool IsInput(const struct stat& st, Inputs inputs) {
  for (const FileId& input : inputs) {
    if (input.known && st.st_dev == input.device && st.st_ino == input.inode) return true;
  }
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

// Where the chain of symbolic links at `path` ends (`path` itself when it is
// no link). Called once the kernel has followed the chain for stat(2) or
// open(2), so its link rules have had their say.
std::string Resolve(std::string path) {
  for (int depth = 0; depth < 40; ++depth) {
    char target[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), target, sizeof target);
    if (n <= 0 || n == static_cast<ssize_t>(sizeof target)) break;
    const std::string next(target, static_cast<std::size_t>(n));
    path = next[0] == '/' ? next : DirName(path) + "/" + next;
  }
  return path;
}

// A temporary name beside `path`: ".NAME.dibjpeg-" and 12 random hex digits,
// NAME cut to 230 bytes so that the whole stays within 255.
std::string TempName(const std::string& path) {
  std::uint64_t random = 0;
  if (getrandom(&random, sizeof random, 0) != sizeof random) {
    random = static_cast<std::uint64_t>(getpid()) * 0x9E3779B97F4A7C15u ^ static_cast<std::uint64_t>(time(nullptr));
  }
  const std::size_t slash = path.rfind('/');
  const std::string base = path.substr(slash == std::string::npos ? 0 : slash + 1).substr(0, 230);
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, ".dibjpeg-%012llx", static_cast<unsigned long long>(random & 0xFFFFFFFFFFFFu));
  return DirName(path) + "/." + base + suffix;
}

// Makes the folder's new names durable; file systems that cannot sync a
// folder keep them as they keep any name.
void SyncFolder(const std::string& path) {
  const int fd = open(DirName(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  static_cast<void>(fsync(fd));
  close(fd);
}

// Gives the unnamed file `fd` the name `path`: through /proc/self/fd, or
// without /proc through AT_EMPTY_PATH (which needs CAP_DAC_READ_SEARCH).
bool LinkUnnamed(int fd, const std::string& path) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
  if (errno == EEXIST) return false;
  return linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0;
}

// Gives the complete file at `temp` the name `path` unless that is taken
// (EEXIST): link(2), or a rename that replaces nothing where the file system
// has no hard links.
bool NameOnce(const std::string& temp, const std::string& path) {
  if (link(temp.c_str(), path.c_str()) == 0) {
    unlink(temp.c_str());
    return true;
  }
  if (errno == EEXIST) return false;
  return syscall(SYS_renameat2, AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0;
}

// Gives the new file `to` the owner, group, extended attributes (ACLs among
// them) and mode of `from`.
bool CopyAttributes(int from, int to) {
  struct stat st;
  if (fstat(from, &st) != 0 || fchown(to, st.st_uid, st.st_gid) != 0) return false;
  ssize_t size = flistxattr(from, nullptr, 0);
  if (size < 0 && errno != ENOTSUP) return false;
  std::vector<char> names(static_cast<std::size_t>(std::max<ssize_t>(size, 0)));
  size = names.empty() ? 0 : flistxattr(from, names.data(), names.size());
  if (size < 0) return false;
  bool hasAcl = false;
  for (const char* name = names.data(); name < names.data() + size; name += std::strlen(name) + 1) {
    std::vector<char> value(static_cast<std::size_t>(std::max<ssize_t>(fgetxattr(from, name, nullptr, 0), 0)));
    const ssize_t got = fgetxattr(from, name, value.data(), value.size());
    if (got < 0 || fsetxattr(to, name, value.data(), static_cast<std::size_t>(got), 0) != 0) return false;
    hasAcl = hasAcl || std::strcmp(name, "system.posix_acl_access") == 0;
  }
  // The folder's default ACL may have given the new file one the old lacks.
  if (!hasAcl && fremovexattr(to, "system.posix_acl_access") != 0 && errno != ENODATA && errno != ENOTSUP) {
    return false;
  }
  return fchmod(to, st.st_mode & 07777) == 0;
}

enum class Result { Done, Failed, Taken, Unkept };  // Unkept: no copy with the old file's attributes here

// A complete, synced file in `path`'s folder: unnamed where `unnamed` and
// the file system has them, else under a fresh temporary name (`*temp`).
// With `like`, it takes that file's attributes. Returns -1 on failure.
int WriteComplete(const std::string& path, Bytes data, int like, bool unnamed, std::string* temp, Result* why) {
  int fd = -1;
#ifdef O_TMPFILE
  if (unnamed) fd = open(DirName(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
#endif
  temp->clear();
  if (fd < 0) {
    *temp = TempName(path);
    fd = open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
      *why = like >= 0 && (errno == EACCES || errno == EPERM || errno == EROFS) ? Result::Unkept : Result::Failed;
      return -1;
    }
  }
  const bool kept = like < 0 || CopyAttributes(like, fd);
  const bool ok = kept && WriteAll(fd, data) && fsync(fd) == 0;
  if (ok) return fd;
  const int failure = errno;
  close(fd);
  if (!temp->empty()) unlink(temp->c_str());
  *why = kept ? Result::Failed : Result::Unkept;
  errno = failure;
  return -1;
}

// Writes a new file `path` (OUTPUT `name`, or where its link leads) complete
// under that name, or leaves nothing. Taken: a file appeared there meanwhile
// and is left as it was.
Result CreateNew(const std::string& path, const std::string& name, Bytes data, std::string* error) {
  for (const bool unnamed : {true, false}) {
    std::string temp;
    Result why;
    const int fd = WriteComplete(path, data, -1, unnamed, &temp, &why);
    if (fd < 0) {
      Failed(error, "cannot create " + name, errno);
      return why;
    }
    bool named = temp.empty() ? LinkUnnamed(fd, path) : NameOnce(temp, path);
    const int failure = errno;
    if (!temp.empty() && !named) unlink(temp.c_str());
    const bool closed = close(fd) == 0;
    if (named) {
      SyncFolder(path);
      if (closed) return Result::Done;
      Failed(error, "cannot create " + name, errno);
      return Result::Failed;
    }
    if (failure == EEXIST) return Result::Taken;
    // An unnamed file that cannot be named (no /proc, no capability): again
    // under a temporary name.
    if (!temp.empty()) {
      Failed(error, "cannot create " + name, failure);
      return Result::Failed;
    }
  }
  return Result::Failed;
}

// Replaces the regular file open at `fd`, which `path` names, by a complete
// copy that keeps its attributes, renamed over it.
Result Replace(int fd, const std::string& path, Bytes data, std::string* error, const std::string& name) {
  for (const bool unnamed : {true, false}) {
    std::string temp;
    Result why;
    const int copy = WriteComplete(path, data, fd, unnamed, &temp, &why);
    if (copy < 0) {
      if (why != Result::Unkept) Failed(error, "cannot write " + name, errno);
      return why;
    }
    if (temp.empty()) {
      temp = TempName(path);
      if (!LinkUnnamed(copy, temp)) {
        close(copy);
        continue;
      }
    }
    close(copy);
    // The name must still lead to the file checked.
    struct stat now, old;
    const bool same = stat(path.c_str(), &now) == 0 && fstat(fd, &old) == 0 && now.st_dev == old.st_dev &&
                      now.st_ino == old.st_ino;
    if (!same || rename(temp.c_str(), path.c_str()) != 0) {
      const int failure = same ? errno : EAGAIN;
      unlink(temp.c_str());
      *error = "cannot write " + name + ": " + (same ? std::strerror(failure) : "it changed while being written");
      return Result::Failed;
    }
    SyncFolder(path);
    return Result::Done;
  }
  return Result::Failed;
}

// Reserves room for `size` bytes at the start of the regular file `fd`, so
// that writing it in place cannot run out of space part-way. Returns 0, or
// the reason the room is not guaranteed (ENOTSUP where this file system
// cannot tell, such as a copy-on-write one).
int Reserve(int fd, const struct stat& st, off_t size) {
  struct statfs fsInfo;
  if (fstatfs(fd, &fsInfo) != 0) return errno;
  constexpr unsigned long Ext = 0xEF53, Tmpfs = 0x01021994, Xfs = 0x58465342;  // statfs f_type of each
  const auto type = static_cast<unsigned long>(fsInfo.f_type);
  if (type != Ext && type != Tmpfs && type != Xfs) return ENOTSUP;
  // Blocks shared with another file (xfs reflinks) would be copied on write.
  if (type == Xfs && fallocate(fd, FALLOC_FL_UNSHARE_RANGE, 0, std::min(size, st.st_size)) != 0 && errno != EOPNOTSUPP) {
    return errno;
  }
  if (fallocate(fd, 0, 0, size) == 0) return 0;
  const int failure = errno;
  static_cast<void>(ftruncate(fd, st.st_size));  // drops whatever the reservation added
  // Without fallocate (ext2), blocks already allocated are written where
  // they are.
  const bool allocated = size <= st.st_size && st.st_blocks * 512 >= st.st_size;
  return failure == EOPNOTSUPP && allocated ? 0 : failure;
}

// Makes `data` the whole content of the regular file `fd` in place, once
// room for it is reserved.
bool Overwrite(int fd, const struct stat& st, Bytes data, std::string* error, const std::string& name) {
  const off_t size = static_cast<off_t>(data.size());
  if (const int failure = Reserve(fd, st, size); failure != 0) {
    if (failure != ENOTSUP) return Failed(error, "cannot write " + name, failure);
    *error = "cannot write " + name + " safely: replacing it would change its owner or its folder is not writable, "
             "and this file system cannot reserve room to write it in place";
    return false;
  }
  const bool ok = pwrite(fd, data.data(), data.size(), 0) == size && ftruncate(fd, size) == 0 && fsync(fd) == 0;
  return ok || Failed(error, "cannot write " + name, errno);
}

// A regular file starting as a JPEG does (FF D8 FF), or empty.
bool HoldsJpegOrNothing(int fd, const struct stat& st) {
  std::uint8_t start[3];
  return st.st_size == 0 ||
         (pread(fd, start, sizeof start, 0) == 3 && start[0] == 0xFF && start[1] == 0xD8 && start[2] == 0xFF);
}

// Writes over the existing regular file open at `fd` (read-write where the
// user may read it), which `name` names.
bool WriteRegular(int fd, const struct stat& st, const std::string& name, Bytes data, bool force, std::string* error) {
  if (!force && !HoldsJpegOrNothing(fd, st)) {
    *error = "not replacing " + name + ": it exists and is not a JPEG file (--force replaces it)";
    return false;
  }
  const HeldSignals held;
  if (st.st_nlink > 1) {
    const int reserved = Reserve(fd, st, static_cast<off_t>(data.size()));
    if (reserved == ENOTSUP && force) return Replace(fd, Resolve(name), data, error, name) == Result::Done;
    if (reserved == ENOTSUP) {
      *error = "not replacing " + name + ": it has " + std::to_string(st.st_nlink) +
               " hard links, which replacing it would part from it, and this file system cannot reserve room to "
               "write it in place (--force replaces it; the other links keep the old content)";
      return false;
    }
    return Overwrite(fd, st, data, error, name);
  }
  const Result replaced = Replace(fd, Resolve(name), data, error, name);
  if (replaced != Result::Unkept) return replaced == Result::Done;
  return Overwrite(fd, st, data, error, name);
}

// Writes to an open OUTPUT that is not a regular file, or is this process's
// own descriptor, as it stands; unless it is an input file.
bool WriteOpen(int fd, const std::string& name, Bytes data, Inputs inputs, std::string* error) {
  struct stat st;
  if (fstat(fd, &st) != 0) return Failed(error, "cannot write " + name, errno);
  if (IsInput(st, inputs)) {
    *error = "cannot write " + name + (inputs.size() > 1 ? ": it is an input file" : ": it is the input file");
    return false;
  }
  return WriteAll(fd, data) || Failed(error, "cannot write " + name, errno);
}

// An existing OUTPUT, or what a link there leads to: opened as a shell's ">"
// opens it, but not truncated.
bool WriteExisting(const std::string& name, Bytes data, Inputs inputs, bool force, std::string* error) {
  struct stat st;
  const bool regular = stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  constexpr int flags = O_CREAT | O_NOCTTY | O_CLOEXEC;
  int fd = open(name.c_str(), (regular ? O_RDWR : O_WRONLY) | flags, 0666);
  if (fd < 0 && regular && errno == EACCES) fd = open(name.c_str(), O_WRONLY | flags, 0666);  // written, not read
  if (fd < 0) return Failed(error, "cannot write " + name, errno);
  bool ok;
  if (fstat(fd, &st) != 0) {
    ok = Failed(error, "cannot write " + name, errno);
  } else if (!S_ISREG(st.st_mode) || IsInput(st, inputs)) {
    ok = WriteOpen(fd, name, data, inputs, error);
  } else {
    ok = WriteRegular(fd, st, name, data, force, error);
  }
  if (close(fd) != 0 && ok) ok = Failed(error, "cannot write " + name, errno);
  return ok;
}

#endif

}  // namespace

#ifndef _WIN32

bool WriteOutput(const std::string& name, Bytes data, Inputs inputs, bool force, std::string* error) {
  std::signal(SIGXFSZ, SIG_IGN);
  if (name == "-") return WriteOpen(STDOUT_FILENO, "standard output", data, inputs, error);
  if (const int fd = DescriptorOf(name); fd >= 0) return WriteOpen(fd, name, data, inputs, error);
  struct stat st;
  if (stat(name.c_str(), &st) != 0) {
    if (errno != ENOENT) return Failed(error, "cannot write " + name, errno);
    // Nothing there, or a link to nothing: then the file is made where the
    // link leads, in that folder.
    const HeldSignals held;
    const Result result = CreateNew(Resolve(name), name, data, error);
    if (result != Result::Taken) return result == Result::Done;
  }
  return WriteExisting(name, data, inputs, force, error);
}

#else

// Windows has no device files under ordinary names, so every OUTPUT is
// replaced through a temporary file.
bool WriteOutput(const std::string& name, Bytes data, Inputs, bool force, std::string* error) {
  if (name == "-") {
    if (std::fwrite(data.data(), 1, data.size(), stdout) == data.size() && std::fflush(stdout) == 0) return true;
    *error = std::string("cannot write standard output: ") + std::strerror(errno);
    return false;
  }
  if (std::FILE* old = force ? nullptr : std::fopen(name.c_str(), "rb"); old != nullptr) {
    unsigned char start[3];
    const std::size_t got = std::fread(start, 1, sizeof start, old);
    std::fclose(old);
    if (got != 0 && !(got == 3 && start[0] == 0xFF && start[1] == 0xD8 && start[2] == 0xFF)) {
      *error = "not replacing " + name + ": it exists and is not a JPEG file (--force replaces it)";
      return false;
    }
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
