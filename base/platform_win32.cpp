// Every call into the operating system, on Windows (Win32, ANSI code page paths): folder listing
// with FindFirstFileA / FindNextFileA, classification by attributes, the input open through
// CreateFileA, temporary output files renamed with MoveFileExA, Ctrl+C and console-close clean-up
// through SetConsoleCtrlHandler, and Sleep for the pause. Nothing here throws.
//
// Temporary files and interruption: a console control event runs its handler on a thread of its
// own, so instead of masking signals, one lock covers each step that creates, renames or removes
// a temporary file and the handler's clean-up. The handler takes the lock for good, removes what
// the table holds and lets the default action end the process. Files are opened with
// FILE_SHARE_DELETE, so removing one still open marks it for deletion when its last handle goes.
// What no handler sees (a killed process, power loss) leaves a temporary file behind; the next run
// on the same machine removes those whose PID no longer runs (see base/temporary_name.h).

#include <fcntl.h>
#include <io.h>
#include <malloc.h>
#include <windows.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>

#include "base/folder_listing.h"
#include "base/platform.h"
#include "base/temporary_name.h"
#include "base/temporary_slots.h"

const char kPathSeparator[2] = {'\\', '\0'};

void createFolder(const char* path) noexcept { (void)::CreateDirectoryA(path, nullptr); }

void createParentFolders(const char* path) noexcept {
  const auto separator = [](char c) { return c == '\\' || c == '/'; };
  // The parent is what comes before the last name.
  std::size_t end = std::strlen(path);
  while (end > 0 && separator(path[end - 1])) --end;
  while (end > 0 && !separator(path[end - 1])) --end;
  if (end == 0) return;  // the working folder
  const HeapPtr<char[]> parent = allocateArray<char>(end + 1);
  if (!parent) return;
  std::memcpy(parent.get(), path, end);
  parent[end] = '\0';
  // Every folder on the way, from the outermost; one that exists (a drive "C:", a server's
  // share) just fails.
  for (std::size_t at = 1; at <= end; ++at) {
    if (!separator(parent[at - 1]) && (at == end || separator(parent[at]))) {
      const char kept = parent[at];
      parent[at] = '\0';
      (void)::CreateDirectoryA(parent.get(), nullptr);
      parent[at] = kept;
    }
  }
}

namespace {

// Ends a folder search when the listing leaves, on every path.
struct SearchCloser {
  void operator()(HANDLE search) const noexcept { ::FindClose(search); }
};
using SearchHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, SearchCloser>;

// Starts a search for every entry of folder; null when the folder cannot be listed (an empty
// folder still has "." and "..", so ERROR_FILE_NOT_FOUND means no folder too).
SearchHandle startSearch(const char* folder, WIN32_FIND_DATAA& entry, DWORD& error) noexcept {
  char pattern[MAX_PATH];
  const int written = std::snprintf(pattern, sizeof pattern, "%s\\*", folder);
  if (written < 0 || static_cast<std::size_t>(written) >= sizeof pattern) {
    error = ERROR_FILENAME_EXCED_RANGE;
    return nullptr;
  }
  const HANDLE search = ::FindFirstFileA(pattern, &entry);
  if (search == INVALID_HANDLE_VALUE) {
    error = ::GetLastError();
    return nullptr;
  }
  return SearchHandle(search);
}

// The errno value of a Win32 error, so that every failure reads as on POSIX through strerror.
int errnoOf(DWORD error) noexcept {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    default:
      return EIO;
  }
}

// A C stream over a Win32 file handle; the handle is closed on failure too.
std::FILE* streamOf(HANDLE handle, int flags, const char* mode) noexcept {
  const int fd = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(handle), flags | _O_BINARY);
  if (fd < 0) {
    ::CloseHandle(handle);
    return nullptr;
  }
  std::FILE* stream = ::_fdopen(fd, mode);
  if (stream == nullptr) ::_close(fd);
  return stream;
}

}  // namespace

ListingResult FolderListing::read(const char* path) noexcept {
  clear();
  WIN32_FIND_DATAA entry{};
  DWORD error = ERROR_SUCCESS;
  const SearchHandle search = startSearch(path, entry, error);
  if (!search) {
    return error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY
               ? ListingResult::outOfMemory
               : ListingResult::cannotList;
  }
  // A search that fails part way ends there, as one that finds no further entry.
  do {
    const char* name = entry.cFileName;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (!append(name)) {
      clear();
      return ListingResult::outOfMemory;
    }
  } while (::FindNextFileA(search.get(), &entry) != 0);
  sortNames();
  return ListingResult::listed;
}

EntryKind classifyEntry(const char* path) noexcept {
  const DWORD attributes = ::GetFileAttributesA(path);
  // Gone since the listing, or a link that leads nowhere: fails to load later.
  if (attributes == INVALID_FILE_ATTRIBUTES) return EntryKind::file;
  // Folders, and the reparse points that stand for folders (junctions, links to folders), carry
  // the directory bit. Devices cannot sit in a folder; a reserved name (NUL, CON) that opens
  // one is refused by openInputFile.
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EntryKind::skip;
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return EntryKind::skip;
  return EntryKind::file;
}

std::FILE* openInputFile(const char* path, std::int64_t& size, int* error) noexcept {
  const auto fail = [error](int number) noexcept -> std::FILE* {
    if (error != nullptr) *error = number;
    return nullptr;
  };
  // Other programs may read, write or rename the file meanwhile, as on POSIX. A folder swapped
  // in after the listing fails the open (no FILE_FLAG_BACKUP_SEMANTICS).
  const HANDLE handle =
      ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD openError = ::GetLastError();
    // A folder refuses the open with access denied: it is no regular file, as on POSIX, not a
    // file that may not be read.
    const DWORD attributes = ::GetFileAttributesA(path);
    if (openError == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return fail(0);
    }
    return fail(errnoOf(openError));
  }
  // Only a file on a disk is a regular file: a console, a pipe or the NUL device is refused.
  LARGE_INTEGER bytes{};
  if (::GetFileType(handle) != FILE_TYPE_DISK || ::GetFileSizeEx(handle, &bytes) == 0) {
    ::CloseHandle(handle);
    return fail(0);
  }
  std::FILE* file = streamOf(handle, _O_RDONLY, "rb");
  if (file == nullptr) return fail(errno);
  size = static_cast<std::int64_t>(bytes.QuadPart);
  return file;
}

void openClosedStandardDescriptors() noexcept {}

namespace {

// An existing entry opened for its attributes only (folders too), or INVALID_HANDLE_VALUE.
HANDLE openForQuery(const char* path) noexcept {
  return ::CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

FileIdentity identityOfHandle(HANDLE handle) noexcept {
  BY_HANDLE_FILE_INFORMATION info{};
  if (handle == INVALID_HANDLE_VALUE || ::GetFileInformationByHandle(handle, &info) == 0) {
    return FileIdentity{};
  }
  return FileIdentity{info.dwVolumeSerialNumber,
                      std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow, true};
}

}  // namespace

OutputTarget classifyOutput(const char* path) noexcept {
  const DWORD attributes = ::GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return OutputTarget::folder;
  }
  const HANDLE handle = openForQuery(path);
  if (handle == INVALID_HANDLE_VALUE) return OutputTarget::absent;
  const DWORD type = ::GetFileType(handle);
  ::CloseHandle(handle);
  return type == FILE_TYPE_DISK ? OutputTarget::regular : OutputTarget::special;
}

std::FILE* openSpecialOutput(const char* path) noexcept {
  const HANDLE handle = ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  if (::GetFileType(handle) == FILE_TYPE_DISK) {
    ::CloseHandle(handle);
    return nullptr;
  }
  return streamOf(handle, _O_WRONLY, "wb");
}

FileIdentity identifyFile(const char* path) noexcept {
  const HANDLE handle = openForQuery(path);
  const FileIdentity identity = identityOfHandle(handle);
  if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  return identity;
}

FileIdentity identifyStream(std::FILE* stream) noexcept {
  const intptr_t handle = ::_get_osfhandle(::_fileno(stream));
  if (handle == -1) return FileIdentity{};
  return identityOfHandle(reinterpret_cast<HANDLE>(handle));
}

void useBinaryMode(std::FILE* stream) noexcept {
  static_cast<void>(::_setmode(::_fileno(stream), _O_BINARY));
}

namespace {

// A registration is free or holds the path of an existing temporary file; every change happens
// under the lock, which the control handler takes too.
constexpr std::size_t kMaxTemporaryPath = MAX_PATH;
constexpr int kMaxNameAttempts = 100;

struct TemporarySlot {
  bool held = false;
  char path[kMaxTemporaryPath] = {};

  [[nodiscard]] bool vacant() const noexcept { return !held; }
};

// Initialised at compile time, so no start-up constructor touches every slot's page.
constinit TemporarySlotTable<TemporarySlot> temporarySlots;
unsigned temporaryCounter = 0;
std::mutex temporaryLock;

// Ctrl+C, Ctrl+Break and the console window closing: the temporary files go, and the lock stays
// taken, so no new one is made while the default action (the next handler) ends the process.
BOOL WINAPI removeTemporaryFilesOnControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  temporaryLock.lock();
  for (std::size_t index = 0; index < temporarySlots.size(); ++index) {
    const TemporarySlot& slot = temporarySlots[index];
    if (slot.held) ::DeleteFileA(slot.path);
  }
  return FALSE;
}

// This machine's name as temporary names carry it, with namespace 0 (Windows has no process-id
// namespaces). Read once.
const RunIdentity& runIdentity() noexcept {
  static const RunIdentity identity = [] {
    char host[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = sizeof host;
    if (::GetComputerNameA(host, &length) == 0) host[0] = '\0';
    return makeRunIdentity(host, 0);
  }();
  return identity;
}

// True when a process of that id runs (or may run: one of another user refuses to be opened with
// access denied).
bool processRuns(DWORD pid) noexcept {
  const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return ::GetLastError() != ERROR_INVALID_PARAMETER;
  DWORD status = 0;
  const bool running = ::GetExitCodeProcess(process, &status) == 0 || status == STILL_ACTIVE;
  ::CloseHandle(process);
  return running;
}

}  // namespace

void installSignalHandling() noexcept {
  static_cast<void>(::SetConsoleCtrlHandler(removeTemporaryFilesOnControl, TRUE));
}

void removeStaleTemporaryFiles(const char* folder) noexcept {
  WIN32_FIND_DATAA entry{};
  DWORD error = ERROR_SUCCESS;
  const SearchHandle search = startSearch(folder, entry, error);
  if (!search) return;
  do {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    const auto owner = static_cast<DWORD>(
        temporaryFileOwner(entry.cFileName, runIdentity(), std::numeric_limits<DWORD>::max()));
    if (owner == 0 || processRuns(owner)) continue;
    char path[MAX_PATH];
    const int written = std::snprintf(path, sizeof path, "%s\\%s", folder, entry.cFileName);
    if (written >= 0 && static_cast<std::size_t>(written) < sizeof path) ::DeleteFileA(path);
  } while (::FindNextFileA(search.get(), &entry) != 0);
}

bool reserveTemporaryFiles(std::size_t count) noexcept {
  const std::lock_guard<std::mutex> locked(temporaryLock);
  return temporarySlots.reserve(count);
}

void releaseTemporaryFiles() noexcept {
  const std::lock_guard<std::mutex> locked(temporaryLock);
  temporarySlots.release();
}

std::FILE* TemporaryFile::create(const char* finalPath) noexcept {
  discard();
  // The folder part ends at the last separator of either kind.
  const char* separator = std::strrchr(finalPath, '\\');
  const char* slash = std::strrchr(finalPath, '/');
  if (separator == nullptr || (slash != nullptr && slash > separator)) separator = slash;
  const std::size_t folderBytes =
      separator == nullptr ? 0 : static_cast<std::size_t>(separator - finalPath) + 1;
  if (folderBytes >= kMaxTemporaryPath) return nullptr;
  const std::lock_guard<std::mutex> locked(temporaryLock);
  const std::size_t count = temporarySlots.size();
  std::size_t index = 0;
  while (index < count && temporarySlots[index].held) ++index;
  if (index == count) return nullptr;
  TemporarySlot& slot = temporarySlots[index];
  HANDLE handle = INVALID_HANDLE_VALUE;
  // CREATE_NEW never follows or reuses an existing entry; a clash just takes the next number.
  for (int attempt = 0; attempt < kMaxNameAttempts && handle == INVALID_HANDLE_VALUE; ++attempt) {
    if (!formatTemporaryPath(slot.path, sizeof slot.path, finalPath, folderBytes, runIdentity(),
                             ::GetCurrentProcessId(), temporaryCounter++)) {
      return nullptr;
    }
    handle = ::CreateFileA(slot.path, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  slot.held = true;
  slot_ = static_cast<int>(index);
  std::FILE* file = streamOf(handle, _O_WRONLY, "wb");
  if (file == nullptr) {
    ::DeleteFileA(slot.path);
    slot.held = false;
    slot_ = -1;
  }
  return file;
}

bool TemporaryFile::commit(const char* finalPath) noexcept {
  if (slot_ < 0) return false;
  TemporarySlot& slot = temporarySlots[static_cast<std::size_t>(slot_)];
  bool renamed = false;
  {
    const std::lock_guard<std::mutex> locked(temporaryLock);
    renamed = ::MoveFileExA(slot.path, finalPath,
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!renamed) ::DeleteFileA(slot.path);
    slot.held = false;
  }
  slot_ = -1;
  return renamed;
}

void TemporaryFile::discard() noexcept {
  if (slot_ < 0) return;
  TemporarySlot& slot = temporarySlots[static_cast<std::size_t>(slot_)];
  {
    const std::lock_guard<std::mutex> locked(temporaryLock);
    ::DeleteFileA(slot.path);
    slot.held = false;
  }
  slot_ = -1;
}

// The control handler runs on a thread of its own and the lock orders it with every step, so
// there is nothing to hold back in the workers.
void blockInterruptSignalsInThisThread() noexcept {}

unsigned availableCpuCount() noexcept {
  // Within one processor group the process's affinity mask says which CPUs it may use; across
  // groups (more than 64 CPUs) threads may run on every active CPU.
  DWORD_PTR processMask = 0;
  DWORD_PTR systemMask = 0;
  if (::GetActiveProcessorGroupCount() == 1 &&
      ::GetProcessAffinityMask(::GetCurrentProcess(), &processMask, &systemMask) != 0 &&
      processMask != 0) {
    return static_cast<unsigned>(std::popcount(static_cast<std::uint64_t>(processMask)));
  }
  const DWORD active = ::GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  return active > 0 ? static_cast<unsigned>(active) : 1;
}

std::uint64_t usableMemoryBytes() noexcept {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (::GlobalMemoryStatusEx(&status) == 0 || status.ullTotalPhys == 0) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return static_cast<std::uint64_t>(status.ullTotalPhys);
}

// Large pages on Windows need a privilege and an allocation of their own; a block from the heap
// cannot be advised after the fact.
void adviseLargeBlock(void* block, std::size_t bytes) noexcept {
  static_cast<void>(block);
  static_cast<void>(bytes);
}

void adviseSparseBlock(void* block, std::size_t bytes) noexcept {
  static_cast<void>(block);
  static_cast<void>(bytes);
}

void populateBlock(void* block, std::size_t bytes) noexcept {
  static_cast<void>(block);
  static_cast<void>(bytes);
}

bool anyPageTouched(const void* block, std::size_t bytes) noexcept {
  static_cast<void>(block);
  static_cast<void>(bytes);
  return true;
}

// Windows has no address-space limit of the kind this guards against.
void limitThreadAddressSpace() noexcept {}

void pauseMilliseconds(unsigned milliseconds) noexcept { ::Sleep(milliseconds); }

std::size_t allocatedBytes(void* block) noexcept { return ::_msize(block); }

void* allocateLargeBlock(std::size_t bytes) noexcept { return std::malloc(bytes == 0 ? 1 : bytes); }
