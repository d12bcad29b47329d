#pragma once
// The small portable layer: entry classification, opening an input file without
// blocking, temporary output files and their removal on interruption, the pause before exit.

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The native path separator as a one-character text ("/" on POSIX, "\\" on Windows).
extern const char kPathSeparator[2];

// Creates the folder; an existing folder (or any failure) is ignored, as the first write to it
// reports the real problem.
void createFolder(const char* path) noexcept;

// Creates the folders on the way to the file at path that do not exist yet, as `mkdir -p` does
// for its parent folder (on POSIX with mode 0777 less the umask). Nothing that exists is
// changed. Failures are ignored (a name on the way that is a file, no permission, no memory for
// a copy of the path): creating the file then reports the problem.
void createParentFolders(const char* path) noexcept;

enum class EntryKind {
  file,  // a regular file, a link to one, or a link that leads nowhere: to be converted
  skip,  // a folder, a link to a folder, or a special file (FIFO, socket, device)
};

// Classifies an entry with a stat that follows links (on Windows by its attributes: the directory
// bit, which junctions and links to folders carry too, means skip).
[[nodiscard]] EntryKind classifyEntry(const char* path) noexcept;

// Opens a regular file for binary reading without ever blocking (a FIFO swapped in after the
// listing is refused) and returns the file with its size taken from the open file; null when the
// path cannot be opened or is not a regular file. On failure *error, when given, receives the
// system's error number, or 0 when the path is no regular file.
[[nodiscard]] std::FILE* openInputFile(const char* path, std::int64_t& size,
                                       int* error = nullptr) noexcept;

// Makes sure descriptors 0, 1 and 2 are open, opening the null device on each one that is
// closed, so that no file the program opens later takes the place of standard output or error
// and receives report lines. Call it first, before any other thread starts. Nothing on Windows,
// whose files never take the standard handles' places.
void openClosedStandardDescriptors() noexcept;

// What an output path names now, links followed.
enum class OutputTarget {
  absent,   // nothing (or a link that leads nowhere): the file is to be created
  regular,  // a regular file, to be replaced
  folder,   // a folder: no file can be written there
  special,  // a device, FIFO or socket: written in place, never replaced
};
[[nodiscard]] OutputTarget classifyOutput(const char* path) noexcept;

// Opens an existing special file (see OutputTarget) for binary writing in place, without
// creating or truncating anything; null when it cannot be opened or is, by now, a regular file
// or folder. Opening a FIFO waits for its reader.
[[nodiscard]] std::FILE* openSpecialOutput(const char* path) noexcept;

// The identity of a file on its device, to tell two names of the same file apart from two files.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t file = 0;
  bool known = false;  // false when the file does not exist or could not be examined

  [[nodiscard]] bool sameAs(const FileIdentity& other) const noexcept {
    return known && other.known && device == other.device && file == other.file;
  }
};
[[nodiscard]] FileIdentity identifyFile(const char* path) noexcept;
[[nodiscard]] FileIdentity identifyStream(std::FILE* stream) noexcept;

// Puts a standard stream into binary mode, so the bytes written are the bytes that arrive (on
// Windows a text-mode stream turns each "\n" into "\r\n"); nothing to do on POSIX.
void useBinaryMode(std::FILE* stream) noexcept;

// Temporary output files are named `.pow2bmp-HOST_SPACE-PID-N.tmp` (see base/temporary_name.h)
// in the folder of the file they become. Up to this many can exist at once in one process, more
// while reserveTemporaryFiles holds room for them.
constexpr std::size_t kMaxTemporaryFiles = 8;

// Makes room for count temporary files at once (a run whose finished files wait under their
// temporary names for their turn); room for kMaxTemporaryFiles is always there. False when the
// room cannot be allocated, or when it would have to move while a temporary file beyond
// kMaxTemporaryFiles exists. Call it, and releaseTemporaryFiles, while no other thread creates
// temporary files.
[[nodiscard]] bool reserveTemporaryFiles(std::size_t count) noexcept;

// Gives the room reserveTemporaryFiles made back, unless a file still occupies it.
void releaseTemporaryFiles() noexcept;

// Sets up the signals of a run: SIGXFSZ is ignored, so a write beyond the file size limit fails
// as a short write; SIGHUP, SIGINT, SIGTERM and SIGPIPE (a report read by a pipe that closed;
// each one not ignored at start-up) get a handler
// that removes every temporary file the process holds, then ends the process by the same signal
// with its default action, so the exit status is the signal's.
// On Windows: a console control handler does the same for Ctrl+C, Ctrl+Break and the console
// window closing, then leaves the ending of the process to the default action.
void installSignalHandling() noexcept;

// Removes the temporary files in folder that a process of this host and PID namespace made and
// whose PID is no running process: leftovers of a run that no handler saw end (SIGKILL, power
// loss). Names of any other form or of another host or namespace, and files of live processes
// (another run writing into the same folder), are left alone.
void removeStaleTemporaryFiles(const char* folder) noexcept;

// One temporary output file: created under a fresh name, then renamed over its final path or
// removed. While it exists its path is registered, so an interrupting signal removes it too.
class TemporaryFile {
 public:
  TemporaryFile() noexcept = default;
  ~TemporaryFile() { discard(); }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  TemporaryFile(TemporaryFile&& other) noexcept : slot_(other.slot_) { other.slot_ = -1; }
  TemporaryFile& operator=(TemporaryFile&& other) noexcept {
    if (this != &other) {
      discard();
      slot_ = other.slot_;
      other.slot_ = -1;
    }
    return *this;
  }

  // Creates a new empty file in the folder of finalPath, never following or reusing an existing
  // entry. Returns a stream open for binary writing, which the caller closes (before commit), or
  // null when no file could be made (the name too long, every registration in use, the open
  // refused or no stream to be had).
  [[nodiscard]] std::FILE* create(const char* finalPath) noexcept;

  // Renames the file over finalPath in one step; on failure the file is removed. Either way the
  // object holds no file afterwards. False when the rename failed.
  [[nodiscard]] bool commit(const char* finalPath) noexcept;

  // Removes the file, if the object holds one.
  void discard() noexcept;

 private:
  int slot_ = -1;  // index of the registration, -1 when no file is held
};

// Blocks SIGHUP, SIGINT, SIGTERM and SIGPIPE in the calling thread for good. Worker threads call it
// first, so the interrupting signals reach the main thread. Any thread may create and remove
// temporary files; the handler waits for a registration in progress and stops new ones, so it
// removes every file made before the process ends. On Windows nothing: the control handler runs on
// a thread of its own and takes the lock that every step on a temporary file holds.
void blockInterruptSignalsInThisThread() noexcept;

// The number of CPUs this process may run on: those of its affinity mask, fewer when a cgroup
// CPU quota (cgroup v2 cpu.max, v1 cpu.cfs_quota_us / cpu.cfs_period_us) allows less time,
// rounded up; at least 1. On Windows: the affinity mask within one processor group, every active
// CPU across several.
[[nodiscard]] unsigned availableCpuCount() noexcept;

// The bytes of memory this process may use: physical memory, less when a cgroup memory limit
// (v2 memory.max, v1 memory.limit_in_bytes, the tightest along the cgroup's path) is lower, and
// less again when an address-space limit (RLIMIT_AS, `ulimit -v`) leaves less room than that
// beyond the address space the process has mapped at the time of the call. On Windows: the
// physical memory (GlobalMemoryStatusEx).
[[nodiscard]] std::uint64_t usableMemoryBytes() noexcept;

// Under an address-space limit, makes the threads started from now on cheap in address space:
// they share the allocator's one arena (each extra arena reserves 64 MiB) and get stacks of
// kWorkerStackBytes instead of the stack limit's 8 MiB, so a job alone with idle workers beside it
// has nearly the room it would have with no workers. Without a limit it changes nothing. Call it
// before the first thread is started. Nothing on Windows.
void limitThreadAddressSpace() noexcept;
constexpr std::size_t kWorkerStackBytes = std::size_t{1} << 20;

// Asks the system to back the whole 2 MiB stretches of a large block with huge pages, so that
// first writes to a picture-sized block take one fault per 2 MiB instead of one per 4 KiB. Only
// for blocks written densely: a write into a huge page makes the whole 2 MiB resident.
// Contents and ownership are unchanged; a refusal is ignored. Nothing on Windows.
void adviseLargeBlock(void* block, std::size_t bytes) noexcept;

// The opposite, for a large block that may be written sparsely (coefficient arrays of which a
// hostile file fills a few blocks): its pages stay 4 KiB, whatever the system's huge-page mode,
// so only the pages written become resident. Nothing on Windows.
void adviseSparseBlock(void* block, std::size_t bytes) noexcept;

// Makes the pages of block writable and resident now, as a first write would, without changing
// a byte: the caller takes the faults of a block another thread is about to write, so that
// thread writes without them. Safe while other threads read or write the block. Whole pages
// holding any byte of the range are populated, so the range must lie in one mapping (a block
// from the allocator does). A refusal (a system without the call) is ignored. Nothing on
// Windows.
void populateBlock(void* block, std::size_t bytes) noexcept;

// From this size on, a fresh block is made resident in one call (prepareFreshBlock); below it,
// the call would cost about what it saves, and in a loop of small pictures whose blocks the
// allocator reuses it would save nothing.
constexpr std::size_t kMinPopulatedBytes = std::size_t{256} << 10;

// A fresh block about to be written whole (a file read, the picture data): advised for huge
// pages and, from kMinPopulatedBytes on, made resident at once, so the writes that fill it take
// no page fault per 4 KiB.
inline void prepareFreshBlock(void* block, std::size_t bytes) noexcept {
  adviseLargeBlock(block, bytes);
  if (bytes >= kMinPopulatedBytes) populateBlock(block, bytes);
}

// False only when no page of the block has ever been written or read: each is still the fresh
// zero page the system handed out (neither resident nor swapped out), so the block reads as zero
// without touching it. True when any page was touched, or when it cannot be told (always on
// Windows). Reading a fresh page makes it resident like a write on some Linux systems; callers
// read such a block only where this is true.
[[nodiscard]] bool anyPageTouched(const void* block, std::size_t bytes) noexcept;

// Sleeps for the given number of milliseconds.
void pauseMilliseconds(unsigned milliseconds) noexcept;

// The bytes the C allocator holds for a block it returned (at least the bytes asked for).
[[nodiscard]] std::size_t allocatedBytes(void* block) noexcept;

// Blocks from this size on come from allocateLargeBlock.
constexpr std::size_t kLargeBlockBytes = std::size_t{2} << 20;

// A block of at least `bytes` that the caller writes whole, freed with std::free; null on
// failure. From kLargeBlockBytes on, where the system offers huge pages, the block starts on a
// 2 MiB boundary, is rounded up to whole 2 MiB pages when that adds at most a sixteenth, and
// its whole 2 MiB pages are advised for huge pages: a block placed anywhere would have 4 KiB
// pages at both ends, and on virtual machines each first touch of a 4 KiB page can cost
// microseconds, twice over when the system writes it (a file read) and the process then reads
// it. Otherwise std::malloc.
[[nodiscard]] void* allocateLargeBlock(std::size_t bytes) noexcept;

// bytes rounded up to whole 2 MiB pages from kLargeBlockBytes on (unchanged below it, and where
// the rounding would overflow): for a fresh block written whole at once, such as a file read,
// whose last 2 MiB page is then a huge page too, at the cost of at most 2 MiB of memory.
[[nodiscard]] constexpr std::size_t wholeLargePages(std::size_t bytes) noexcept {
  if (bytes < kLargeBlockBytes) return bytes;
  const std::size_t rounded = (bytes + kLargeBlockBytes - 1) & ~(kLargeBlockBytes - 1);
  return rounded < bytes ? bytes : rounded;
}
