// Every call into the operating system, on POSIX: folder listing, classification, non-blocking
// input open, temporary output files, signals, the huge-page advice for picture blocks and the
// pause. Nothing here throws: the listing grows its blocks with heapReallocate, so a
// failed allocation comes back as a result the driver reports.
//
// Temporary files and interruption: a file under construction is registered in a static
// table; a handler for SIGHUP, SIGINT, SIGTERM and SIGPIPE removes what the table holds and
// re-raises the signal. What no handler sees (SIGKILL, power loss) leaves a temporary file behind;
// the next run on the same host and in the same PID namespace removes those whose PID no longer
// runs (see base/temporary_name.h), never the file another live run is writing into the folder.

#include "base/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <thread>

#include "base/folder_listing.h"
#include "base/temporary_name.h"
#include "base/temporary_slots.h"

const char kPathSeparator[2] = {static_cast<char>(std::filesystem::path::preferred_separator),
                                '\0'};

void createFolder(const char* path) noexcept { (void)::mkdir(path, 0777); }

void createParentFolders(const char* path) noexcept {
  // The parent is what comes before the last name; separators after that name belong to it.
  std::size_t end = std::strlen(path);
  while (end > 1 && path[end - 1] == '/') --end;
  while (end > 0 && path[end - 1] != '/') --end;
  while (end > 1 && path[end - 1] == '/') --end;
  if (end == 0 || (end == 1 && path[0] == '/')) return;  // the working folder or the root
  const HeapPtr<char[]> parent = allocateArray<char>(end + 1);
  if (!parent) return;
  std::memcpy(parent.get(), path, end);
  parent[end] = '\0';
  // Usually the parent is there, or only it is missing.
  if (::mkdir(parent.get(), 0777) == 0 || errno != ENOENT) return;
  // Each folder on the way in turn, from the outermost: every name that ends at a separator.
  for (std::size_t at = 1; at <= end; ++at) {
    if (at < end && (parent[at] != '/' || parent[at - 1] == '/')) continue;
    const char kept = parent[at];
    parent[at] = '\0';
    (void)::mkdir(parent.get(), 0777);
    parent[at] = kept;
  }
}

namespace {

// Closes the folder stream when the listing leaves, on every path.
struct FolderStreamCloser {
  void operator()(DIR* folder) const noexcept { ::closedir(folder); }
};

}  // namespace

ListingResult FolderListing::read(const char* path) noexcept {
  clear();
  errno = 0;
  const std::unique_ptr<DIR, FolderStreamCloser> folder(::opendir(path));
  if (!folder) return errno == ENOMEM ? ListingResult::outOfMemory : ListingResult::cannotList;
  // A listing that fails part way ends there, as a search that finds no further entry.
  while (const dirent* entry = ::readdir(folder.get())) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (!append(name)) {
      clear();
      return ListingResult::outOfMemory;
    }
  }
  sortNames();
  return ListingResult::listed;
}

EntryKind classifyEntry(const char* path) noexcept {
  struct stat info {};
  if (::stat(path, &info) != 0) return EntryKind::file;  // dangling link: fails to load later
  return S_ISREG(info.st_mode) ? EntryKind::file : EntryKind::skip;
}

std::FILE* openInputFile(const char* path, std::int64_t& size, int* error) noexcept {
  const auto fail = [error](int number) noexcept -> std::FILE* {
    if (error != nullptr) *error = number;
    return nullptr;
  };
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return fail(errno);
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int number = errno;
    ::close(fd);
    return fail(number);
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd);
    return fail(0);
  }
  std::FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) {
    const int number = errno;
    ::close(fd);
    return fail(number);
  }
  size = static_cast<std::int64_t>(info.st_size);
  return file;
}

void openClosedStandardDescriptors() noexcept {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is fd, as every lower one is open by now. Should the null
    // device be missing (a bare chroot), the root folder holds the place: writes to it fail,
    // and a failed report write is itself reported.
    int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened < 0) opened = ::open("/", O_RDONLY | O_DIRECTORY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

OutputTarget classifyOutput(const char* path) noexcept {
  struct stat info {};
  if (::stat(path, &info) != 0) return OutputTarget::absent;
  if (S_ISREG(info.st_mode)) return OutputTarget::regular;
  return S_ISDIR(info.st_mode) ? OutputTarget::folder : OutputTarget::special;
}

std::FILE* openSpecialOutput(const char* path) noexcept {
  const int fd = ::open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || S_ISREG(info.st_mode) || S_ISDIR(info.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) ::close(fd);
  return file;
}

namespace {

FileIdentity identityOf(const struct stat& info) noexcept {
  return FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                      static_cast<std::uint64_t>(info.st_ino), true};
}

}  // namespace

FileIdentity identifyFile(const char* path) noexcept {
  struct stat info {};
  return ::stat(path, &info) == 0 ? identityOf(info) : FileIdentity{};
}

FileIdentity identifyStream(std::FILE* stream) noexcept {
  struct stat info {};
  return ::fstat(::fileno(stream), &info) == 0 ? identityOf(info) : FileIdentity{};
}

void useBinaryMode(std::FILE* stream) noexcept { static_cast<void>(stream); }

namespace {

// A registration moves free -> building (the name being written; the handler ignores it) ->
// held (the file exists; the handler removes it) -> free. The path lives in static storage so a
// handler can read it without allocating.
enum SlotState : int { kSlotFree, kSlotBuilding, kSlotHeld };
constexpr std::size_t kMaxTemporaryPath = PATH_MAX;
constexpr int kInterruptSignals[] = {SIGHUP, SIGINT, SIGTERM, SIGPIPE};
constexpr int kMaxNameAttempts = 100;

struct TemporarySlot {
  std::atomic<int> state{kSlotFree};
  char path[kMaxTemporaryPath] = {};

  [[nodiscard]] bool vacant() const noexcept { return state.load() == kSlotFree; }
};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the slot states");
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler sets the ending flag");
static_assert(std::atomic<TemporarySlot*>::is_always_lock_free &&
                  std::atomic<std::size_t>::is_always_lock_free,
              "the signal handler reads the extra registrations");

// Its extra registrations change only with the signals held back in the only thread that takes
// them. Initialised at compile time: a constructor run at start-up would write to every slot and
// so touch all of the table's pages in each process, most of which never registers a file.
constinit TemporarySlotTable<TemporarySlot> temporarySlots;
std::atomic<unsigned> temporaryCounter{0};
// Set by the handler before it removes anything: from then on no registration starts.
std::atomic<bool> processEnding{false};
// How long the handler waits for a registration another thread is building (at most).
constexpr long kBuildingWaitNanoseconds = 1'000'000;
constexpr int kMaxBuildingWaits = 2000;

// Holds the interrupt signals back in this thread for the life of the object, so registering a
// file and creating, renaming or removing it happen together as seen by the handler.
class InterruptsBlocked {
 public:
  InterruptsBlocked() noexcept {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int signalNumber : kInterruptSignals) sigaddset(&blocked, signalNumber);
    ::pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
  }
  ~InterruptsBlocked() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  InterruptsBlocked(const InterruptsBlocked&) = delete;
  InterruptsBlocked& operator=(const InterruptsBlocked&) = delete;

 private:
  sigset_t previous_{};
};

// Only async-signal-safe calls: unlink, nanosleep, sigaction, raise. The signal stays blocked
// until the handler returns; then the re-raised one takes its default action.
//
// Worker threads create temporary files while the handler runs on the main thread. Once
// processEnding is set no registration starts (create tests it after claiming a slot), and one
// already claimed is waited for until its file exists or it has given up, so every file made
// before the process ends is seen here. The wait is bounded in case a file system stalls.
void removeTemporaryFilesAndReraise(int signalNumber) {
  processEnding.store(true);
  const std::size_t count = temporarySlots.size();
  for (std::size_t index = 0; index < count; ++index) {
    TemporarySlot& slot = temporarySlots[index];
    for (int wait = 0; wait < kMaxBuildingWaits && slot.state.load() == kSlotBuilding; ++wait) {
      timespec pause{0, kBuildingWaitNanoseconds};
      ::nanosleep(&pause, nullptr);
    }
    if (slot.state.load() == kSlotHeld) ::unlink(slot.path);
  }
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  ::sigaction(signalNumber, &defaultAction, nullptr);
  ::raise(signalNumber);
}

// This process's host and process-id namespace, as temporary names carry them. Read once: the
// names a run makes and the leftovers it removes are judged by the same identity.
const RunIdentity& runIdentity() noexcept {
  static const RunIdentity identity = [] {
    char host[kMaxHostBytes + 1] = {};
    if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    struct stat space {};
    const bool known = ::stat("/proc/self/ns/pid", &space) == 0;
    return makeRunIdentity(host, known ? static_cast<std::uint64_t>(space.st_ino) : 0);
  }();
  return identity;
}

}  // namespace

void installSignalHandling() noexcept {
  // A write beyond the file size limit must fail as a short write, not end the process.
  ::signal(SIGXFSZ, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = removeTemporaryFilesAndReraise;
  sigemptyset(&action.sa_mask);
  for (const int signalNumber : kInterruptSignals) sigaddset(&action.sa_mask, signalNumber);
  for (const int signalNumber : kInterruptSignals) {
    struct sigaction previous {};
    // A signal ignored at start-up (nohup, a background job) stays ignored.
    if (::sigaction(signalNumber, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) {
      continue;
    }
    ::sigaction(signalNumber, &action, nullptr);
  }
}

void removeStaleTemporaryFiles(const char* folder) noexcept {
  const std::unique_ptr<DIR, FolderStreamCloser> stream(::opendir(folder));
  if (!stream) return;
  while (const dirent* entry = ::readdir(stream.get())) {
    const auto owner = static_cast<pid_t>(
        temporaryFileOwner(entry->d_name, runIdentity(),
                           static_cast<std::uint64_t>(std::numeric_limits<pid_t>::max())));
    // ESRCH: no such process. EPERM means a live process of another user.
    if (owner == 0 || ::kill(owner, 0) == 0 || errno != ESRCH) continue;
    ::unlinkat(::dirfd(stream.get()), entry->d_name, 0);
  }
}

bool reserveTemporaryFiles(std::size_t count) noexcept {
  const InterruptsBlocked blocked;
  return temporarySlots.reserve(count);
}

void releaseTemporaryFiles() noexcept {
  const InterruptsBlocked blocked;
  temporarySlots.release();
}

std::FILE* TemporaryFile::create(const char* finalPath) noexcept {
  discard();
  // The whole registration with the signals held back: a handler on this thread never finds a
  // slot of its own half built.
  const InterruptsBlocked blocked;
  const std::size_t count = temporarySlots.size();
  std::size_t index = 0;
  for (; index < count; ++index) {
    int expected = kSlotFree;
    if (temporarySlots[index].state.compare_exchange_strong(expected, kSlotBuilding)) break;
  }
  if (index == count) return nullptr;
  TemporarySlot& slot = temporarySlots[index];
  if (processEnding.load()) {
    slot.state.store(kSlotFree);
    return nullptr;
  }
  const char* slash = std::strrchr(finalPath, '/');
  const std::size_t folderBytes =
      slash == nullptr ? 0 : static_cast<std::size_t>(slash - finalPath) + 1;
  const RunIdentity& identity = runIdentity();
  int fd = -1;
  if (folderBytes < kMaxTemporaryPath) {
    // O_EXCL never follows or reuses an existing entry; a clash just takes the next number.
    for (int attempt = 0; attempt < kMaxNameAttempts && fd < 0; ++attempt) {
      if (!formatTemporaryPath(slot.path, sizeof slot.path, finalPath, folderBytes, identity,
                               static_cast<std::uint64_t>(::getpid()), temporaryCounter++)) {
        break;
      }
      fd = ::open(slot.path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        slot.state.store(kSlotHeld);
      } else if (errno != EEXIST) {
        break;
      }
    }
  }
  if (fd < 0) {
    slot.state.store(kSlotFree);
    return nullptr;
  }
  slot_ = static_cast<int>(index);
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    ::close(fd);
    discard();
  }
  return file;
}

bool TemporaryFile::commit(const char* finalPath) noexcept {
  if (slot_ < 0) return false;
  TemporarySlot& slot = temporarySlots[static_cast<std::size_t>(slot_)];
  bool renamed = false;
  {
    const InterruptsBlocked blocked;
    renamed = std::rename(slot.path, finalPath) == 0;
    if (!renamed) ::unlink(slot.path);
    slot.state.store(kSlotFree);
  }
  slot_ = -1;
  return renamed;
}

void TemporaryFile::discard() noexcept {
  if (slot_ < 0) return;
  TemporarySlot& slot = temporarySlots[static_cast<std::size_t>(slot_)];
  {
    const InterruptsBlocked blocked;
    ::unlink(slot.path);
    slot.state.store(kSlotFree);
  }
  slot_ = -1;
}

void blockInterruptSignalsInThisThread() noexcept {
  sigset_t blocked;
  sigemptyset(&blocked);
  for (const int signalNumber : kInterruptSignals) sigaddset(&blocked, signalNumber);
  ::pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
}

namespace {

constexpr char kCgroupRoot[] = "/sys/fs/cgroup";
constexpr std::size_t kCgroupTextBytes = 4096;

// The start of a small text file, zero-terminated; false when it cannot be read.
bool readSmallFile(const char* path, char* text, std::size_t bytes) noexcept {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t got = ::read(fd, text, bytes - 1);
  ::close(fd);
  if (got < 0) return false;
  text[got] = '\0';
  return true;
}

// Reads an unsigned decimal number at text; false when there is none or it overflows.
bool parseUnsigned(const char*& text, std::uint64_t& value) noexcept {
  if (*text < '0' || *text > '9') return false;
  value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    const auto digit = static_cast<std::uint64_t>(*text - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
}

// The path of this process's cgroup (from /proc/self/cgroup) in the hierarchy of a controller:
// v1 names it among a line's controllers, v2 has the one line "0::PATH" (controller null).
bool cgroupPathOf(const char* controller, char* path, std::size_t bytes) noexcept {
  char text[kCgroupTextBytes];
  if (!readSmallFile("/proc/self/cgroup", text, sizeof text)) return false;
  for (char* line = text; *line != '\0';) {
    char* end = std::strchr(line, '\n');
    if (end != nullptr) *end = '\0';
    char* controllers = std::strchr(line, ':');
    char* cgroup = controllers == nullptr ? nullptr : std::strchr(controllers + 1, ':');
    if (cgroup != nullptr) {
      *cgroup++ = '\0';
      ++controllers;
      bool match = controller == nullptr && std::strcmp(line, "0") == 0 && *controllers == '\0';
      for (char* name = controllers; controller != nullptr && !match && *name != '\0';) {
        const std::size_t length = std::strcspn(name, ",");
        match = std::strlen(controller) == length && std::strncmp(name, controller, length) == 0;
        name += length + (name[length] == ',' ? 1 : 0);
      }
      if (match) {
        const int written = std::snprintf(path, bytes, "%s", cgroup);
        return written >= 0 && static_cast<std::size_t>(written) < bytes;
      }
    }
    if (end == nullptr) break;
    line = end + 1;
  }
  return false;
}

// Calls visit(folder) for the process's cgroup folder under mount and for each of its ancestors
// up to mount: a limit set on an ancestor binds too. Inside a container the mount is usually the
// container's own cgroup.
template <class Visit>
void visitCgroupFolders(const char* mount, const char* controller, Visit visit) noexcept {
  char cgroup[PATH_MAX];
  if (!cgroupPathOf(controller, cgroup, sizeof cgroup)) cgroup[0] = '\0';
  std::size_t length = std::strlen(cgroup);
  while (true) {
    char folder[PATH_MAX];
    const int written =
        std::snprintf(folder, sizeof folder, "%s%.*s", mount, static_cast<int>(length), cgroup);
    if (written >= 0 && static_cast<std::size_t>(written) < sizeof folder) visit(folder);
    if (length == 0) break;
    while (length > 0 && cgroup[length - 1] != '/') --length;
    if (length > 0) --length;  // the separator goes too; the root is the empty path
  }
}

// Reads the file `name` of a cgroup folder into text; false when it cannot be read.
bool readCgroupFile(const char* folder, const char* name, char* text, std::size_t bytes) noexcept {
  char path[PATH_MAX];
  const int written = std::snprintf(path, sizeof path, "%s/%s", folder, name);
  return written >= 0 && static_cast<std::size_t>(written) < sizeof path &&
         readSmallFile(path, text, bytes);
}

}  // namespace

unsigned availableCpuCount() noexcept {
  unsigned count = 1;
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (::sched_getaffinity(0, sizeof cpus, &cpus) == 0) {
    count = static_cast<unsigned>(std::max(CPU_COUNT(&cpus), 1));
  } else {
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    count = online > 0 ? static_cast<unsigned>(online) : 1;
  }
  // A quota of Q microseconds per period P lets the cgroup use ceil(Q / P) CPUs at most.
  auto applyQuota = [&count](std::uint64_t quota, std::uint64_t period) {
    if (quota == 0 || period == 0) return;
    const std::uint64_t allowed = std::max<std::uint64_t>((quota + period - 1) / period, 1);
    if (allowed < count) count = static_cast<unsigned>(allowed);
  };
  char text[kCgroupTextBytes];
  visitCgroupFolders(kCgroupRoot, nullptr, [&](const char* folder) {
    std::uint64_t quota = 0;
    std::uint64_t period = 0;
    const char* cursor = text;
    // "max PERIOD" sets no quota and fails the first number.
    if (readCgroupFile(folder, "cpu.max", text, sizeof text) && parseUnsigned(cursor, quota) &&
        *cursor++ == ' ' && parseUnsigned(cursor, period)) {
      applyQuota(quota, period);
    }
  });
  for (const char* mount : {"/sys/fs/cgroup/cpu,cpuacct", "/sys/fs/cgroup/cpu"}) {
    visitCgroupFolders(mount, "cpu", [&](const char* folder) {
      std::uint64_t quota = 0;
      std::uint64_t period = 0;
      const char* cursor = text;
      // A quota of -1 is no quota and fails the number.
      if (!readCgroupFile(folder, "cpu.cfs_quota_us", text, sizeof text) ||
          !parseUnsigned(cursor, quota)) {
        return;
      }
      cursor = text;
      if (readCgroupFile(folder, "cpu.cfs_period_us", text, sizeof text) &&
          parseUnsigned(cursor, period)) {
        applyQuota(quota, period);
      }
    });
  }
  return count;
}

namespace {

constexpr std::uint64_t kNoAddressSpaceLimit = std::numeric_limits<std::uint64_t>::max();

// The soft address-space limit, or kNoAddressSpaceLimit.
std::uint64_t addressSpaceLimit() noexcept {
  rlimit limit{};
  if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return kNoAddressSpaceLimit;
  }
  return static_cast<std::uint64_t>(limit.rlim_cur);
}

// The address space the process has mapped (the first field of /proc/self/statm, in pages); 0
// when it cannot be read.
std::uint64_t mappedBytes() noexcept {
  char text[kCgroupTextBytes];
  const char* cursor = text;
  std::uint64_t pages = 0;
  const long pageBytes = ::sysconf(_SC_PAGE_SIZE);
  if (pageBytes <= 0 || !readSmallFile("/proc/self/statm", text, sizeof text) ||
      !parseUnsigned(cursor, pages)) {
    return 0;
  }
  return pages * static_cast<std::uint64_t>(pageBytes);
}

}  // namespace

std::uint64_t usableMemoryBytes() noexcept {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageBytes = ::sysconf(_SC_PAGE_SIZE);
  std::uint64_t usable = pages > 0 && pageBytes > 0 ? static_cast<std::uint64_t>(pages) *
                                                          static_cast<std::uint64_t>(pageBytes)
                                                    : std::numeric_limits<std::uint64_t>::max();
  // "max" (v2) is no limit and fails the number; v1 writes a huge number instead.
  auto applyLimit = [&usable](const char* folder, const char* name) {
    char text[kCgroupTextBytes];
    const char* cursor = text;
    std::uint64_t limit = 0;
    if (readCgroupFile(folder, name, text, sizeof text) && parseUnsigned(cursor, limit) &&
        limit > 0 && limit < usable) {
      usable = limit;
    }
  };
  visitCgroupFolders(kCgroupRoot, nullptr,
                     [&](const char* folder) { applyLimit(folder, "memory.max"); });
  visitCgroupFolders("/sys/fs/cgroup/memory", "memory",
                     [&](const char* folder) { applyLimit(folder, "memory.limit_in_bytes"); });
  // Under an address-space limit only what is not mapped yet can still be had.
  if (const std::uint64_t limit = addressSpaceLimit(); limit != kNoAddressSpaceLimit) {
    const std::uint64_t mapped = mappedBytes();
    usable = std::min(usable, limit > mapped ? limit - mapped : 0);
  }
  return usable;
}

void limitThreadAddressSpace() noexcept {
  if (addressSpaceLimit() == kNoAddressSpaceLimit) return;
  static_cast<void>(::mallopt(M_ARENA_MAX, 1));
  pthread_attr_t attributes;
  if (::pthread_attr_init(&attributes) != 0) return;
  if (::pthread_attr_setstacksize(&attributes, kWorkerStackBytes) == 0) {
    static_cast<void>(::pthread_setattr_default_np(&attributes));
  }
  ::pthread_attr_destroy(&attributes);
}

namespace {

constexpr std::uintptr_t kHugePageBytes = std::uintptr_t{2} << 20;

}  // namespace

void adviseLargeBlock(void* block, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
  if (block == nullptr || bytes < 2 * kHugePageBytes) return;
  const auto start = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t first = (start + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  const std::uintptr_t last = (start + bytes) & ~(kHugePageBytes - 1);
  if (last > first) {
    static_cast<void>(::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE));
  }
#else
  static_cast<void>(block);
  static_cast<void>(bytes);
#endif
}

void adviseSparseBlock(void* block, std::size_t bytes) noexcept {
#ifdef MADV_NOHUGEPAGE
  const long pageBytes = ::sysconf(_SC_PAGE_SIZE);
  if (block == nullptr || pageBytes <= 0) return;
  const auto page = static_cast<std::uintptr_t>(pageBytes);
  const auto start = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t first = (start + page - 1) & ~(page - 1);
  const std::uintptr_t last = (start + bytes) & ~(page - 1);
  if (last > first) {
    static_cast<void>(::madvise(reinterpret_cast<void*>(first), last - first, MADV_NOHUGEPAGE));
  }
#else
  static_cast<void>(block);
  static_cast<void>(bytes);
#endif
}

void populateBlock(void* block, std::size_t bytes) noexcept {
#ifdef __linux__
  // Linux 5.14 and later; older kernels refuse the advice with EINVAL.
  constexpr int kPopulateWrite = 23;  // MADV_POPULATE_WRITE
  const long pageBytes = ::sysconf(_SC_PAGE_SIZE);
  if (block == nullptr || bytes == 0 || pageBytes <= 0) return;
  const auto page = static_cast<std::uintptr_t>(pageBytes);
  const auto start = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t first = start & ~(page - 1);
  const std::uintptr_t end = (start + bytes + page - 1) & ~(page - 1);
  static_cast<void>(::madvise(reinterpret_cast<void*>(first), end - first, kPopulateWrite));
#else
  static_cast<void>(block);
  static_cast<void>(bytes);
#endif
}

bool anyPageTouched(const void* block, std::size_t bytes) noexcept {
#ifdef __linux__
  // /proc/self/pagemap: one 64-bit entry per page; bit 63 present, bit 62 swapped out.
  constexpr std::uint64_t kPresentOrSwapped = std::uint64_t{3} << 62;
  const long pageBytes = ::sysconf(_SC_PAGE_SIZE);
  if (block == nullptr || bytes == 0 || pageBytes <= 0) return true;
  const auto page = static_cast<std::uintptr_t>(pageBytes);
  const auto start = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t first = start / page;
  const std::uintptr_t last = (start + bytes - 1) / page;
  const int fd = ::open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  bool touched = false;
  std::uint64_t entries[512];
  for (std::uintptr_t at = first; at <= last && !touched;) {
    const std::uintptr_t count = std::min<std::uintptr_t>(last - at + 1, std::size(entries));
    const ssize_t got =
        ::pread(fd, entries, count * sizeof entries[0], static_cast<off_t>(at * sizeof entries[0]));
    if (got != static_cast<ssize_t>(count * sizeof entries[0])) {
      touched = true;
      break;
    }
    for (std::uintptr_t index = 0; index < count && !touched; ++index) {
      touched = (entries[index] & kPresentOrSwapped) != 0;
    }
    at += count;
  }
  ::close(fd);
  return touched;
#else
  static_cast<void>(block);
  static_cast<void>(bytes);
  return true;
#endif
}

void pauseMilliseconds(unsigned milliseconds) noexcept {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::size_t allocatedBytes(void* block) noexcept { return ::malloc_usable_size(block); }

void* allocateLargeBlock(std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
  if (bytes >= kHugePageBytes) {
    const std::size_t whole = wholeLargePages(bytes);
    const std::size_t size = whole - bytes <= bytes / 16 ? whole : bytes;
    void* block = nullptr;
    if (::posix_memalign(&block, kHugePageBytes, size) != 0) return nullptr;
    const std::size_t advised = size & ~std::size_t{kHugePageBytes - 1};
    static_cast<void>(::madvise(block, advised, MADV_HUGEPAGE));
    return block;
  }
#endif
  return std::malloc(bytes == 0 ? 1 : bytes);
}
