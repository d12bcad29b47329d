// Ctrl+C on Windows: the real program, started on this process's console while it writes large
// pictures, is sent CTRL_C_EVENT once a temporary file is in bmp. Its console control handler must
// remove that file before the default action ends the process with the status of an interruption.
// Ctrl+Break takes the same handler, but Wine 8 cannot send CTRL_BREAK_EVENT (its server has only
// CTRL_C_EVENT), and a program started in a process group of its own ignores Ctrl+C, so the event
// goes to this console's whole group, whose test process outlives it through a handler of its own
// (kept for the rest of the process: the event reaches this process on a thread of its own).

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/bmp_builder.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;

// The status a console control event leaves, STATUS_CONTROL_C_EXIT.
constexpr DWORD kInterruptedStatus = 0xC000013A;
constexpr DWORD kRunLimitMilliseconds = 120000;

bool isTemporaryName(const std::string& name) {
  return name.rfind(".pow2bmp-", 0) == 0 && name.size() > 4 &&
         name.compare(name.size() - 4, 4, ".tmp") == 0;
}

bool holdsTemporaryFile(const fs::path& folder) {
  const std::vector<std::string> names = entriesOf(folder);
  return std::any_of(names.begin(), names.end(), isTemporaryName);
}

// The program's path as Windows names it: the build records a path of the build machine, which
// under Wine is "/..." on drive Z.
std::string programPath() {
  std::string path = POW2BMP_BINARY;
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

// This process's own answer to Ctrl+C: handled, so the event ends only the program.
BOOL WINAPI outliveControlC(DWORD event) { return event == CTRL_C_EVENT ? TRUE : FALSE; }

// Leaves the console this process took, so that its host ends with the test.
struct ConsoleReleaser {
  ~ConsoleReleaser() { ::FreeConsole(); }
};

// Closes a handle when it leaves scope.
struct HandleCloser {
  HANDLE handle;
  ~HandleCloser() {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  }
};

TEST(ConsoleControl, RemovesTheTemporaryFileAndEndsAsInterrupted) {
  ScratchFolder folder;
  fs::create_directory(folder.path() / "img");
  // 4097 x 4097 pads to 8192 x 8192: 192 MiB to write for each picture.
  const Bytes picture = buildBmp({.width = 4097, .height = 4097});
  for (const char* name : {"a.bmp", "b.bmp", "c.bmp", "d.bmp"}) {
    writeFile(folder.path() / "img" / name, picture);
  }

  // The event reaches the processes on the sender's console: take a console of its own for this
  // process (the one Wine lends a program started from a Linux shell cannot carry events), which
  // the program inherits, and keep this process alive through the event.
  static_cast<void>(::FreeConsole());
  ASSERT_TRUE(::AllocConsole()) << "error " << ::GetLastError();
  const ConsoleReleaser console;
  ASSERT_TRUE(::SetConsoleCtrlHandler(outliveControlC, TRUE));
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const std::string reportPath = (folder.path() / "report.txt").string();
  const HandleCloser reportFile{::CreateFileA(reportPath.c_str(), GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                              CREATE_ALWAYS, 0, nullptr)};
  ASSERT_NE(reportFile.handle, INVALID_HANDLE_VALUE);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = reportFile.handle;
  startup.hStdError = reportFile.handle;
  PROCESS_INFORMATION process{};
  const std::string program = programPath();
  std::string commandLine = "\"" + program + "\" -j 1";
  const std::string folderPath = folder.path().string();
  ASSERT_TRUE(::CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                               nullptr, folderPath.c_str(), &startup, &process))
      << "cannot start " << program << ": error " << ::GetLastError();
  const HandleCloser processHandle{process.hProcess};
  const HandleCloser threadHandle{process.hThread};

  // Waits for a temporary file in bmp, then breaks the run.
  const fs::path bmp = folder.path() / "bmp";
  bool seen = false;
  while (!seen && ::WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
    seen = holdsTemporaryFile(bmp);
    if (!seen) ::Sleep(1);
  }
  ASSERT_TRUE(seen) << "the run ended before a temporary file was seen";
  ASSERT_TRUE(::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << "error " << ::GetLastError();
  const DWORD waited = ::WaitForSingleObject(process.hProcess, kRunLimitMilliseconds);
  if (waited != WAIT_OBJECT_0) ::TerminateProcess(process.hProcess, 1);
  ASSERT_EQ(waited, WAIT_OBJECT_0) << "the break did not end the run";
  DWORD status = 0;
  ASSERT_TRUE(::GetExitCodeProcess(process.hProcess, &status));
  // Wine 8's default handler ends a process with status 0 where Windows (and later Wine) gives
  // the status of an interruption.
  const bool underWine =
      ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
  if (underWine) {
    EXPECT_TRUE(status == kInterruptedStatus || status == 0) << status;
  } else {
    EXPECT_EQ(status, kInterruptedStatus);
  }
  const Bytes report = readFile(reportPath);
  EXPECT_EQ(std::string(report.begin(), report.end()).find("OK\r\n"), std::string::npos)
      << "the run reached its end";
  EXPECT_FALSE(holdsTemporaryFile(bmp));
  EXPECT_LT(entriesOf(bmp).size(), 4u) << "the run reached its end";
}

}  // namespace
