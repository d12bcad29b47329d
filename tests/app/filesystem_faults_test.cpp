// The real binary against awkward file systems: FIFOs, sockets and links in img/, a huge sparse
// input under an address-space limit, a disk that fills up mid-write, links planted at output
// names, names with odd bytes or at the length limit, unreadable entries. Each run is checked by
// its report, its exit status and the exact entries left in bmp/ (a leftover temporary file
// shows there). Every run takes the binary's two-second pause; a run that hangs is ended by
// timeout and shows as status 124.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "support/bmp_builder.h"
#include "support/jpeg_oracle.h"
#include "support/png_writer.h"
#include "support/test_files.h"
#include "support/tga_writer.h"

namespace {

namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__)
#define POW2BMP_FAULTS_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define POW2BMP_FAULTS_ASAN 1
#endif
#endif

#if defined(POW2BMP_FAULTS_ASAN)
// The sanitizer reserves terabytes of address space, so the limit is its own allocator's: an
// attempt to allocate more than this ends the process with a report instead of returning null.
const std::string kAddressSpaceLimit =
    "ASAN_OPTIONS=\"$ASAN_OPTIONS:max_allocation_size_mb=256:allocator_may_return_null=0\" ";
#else
// 256 MiB of address space (dash counts in KiB), far below the 3 GiB a whole read would need.
// Here a refused file and a failed allocation give the same report; the limit shows the run
// ends normally without such a block. The asan build's limit tells the two apart.
const std::string kAddressSpaceLimit = "ulimit -v 262144 && ";
#endif

// A file size limit of 8 blocks (4 KiB in dash): enough for a 4x4 output (102 bytes), short of
// a 64x64 one (12342 bytes).
const std::string kSmallFileSizeLimit = "ulimit -f 8 && ";

const Bytes kOldOutput = {'o', 'l', 'd'};
const Bytes kLinkTarget = {'t', 'a', 'r', 'g', 'e', 't'};

void putBmp(const fs::path& path, std::int32_t side) {
  writeFile(path, buildBmp({.width = side, .height = side}));
}

std::string generated(const std::string& output, unsigned width, unsigned height, unsigned bits) {
  return "File bmp/" + output + " generated OK, size: " + std::to_string(width) + "x" +
         std::to_string(height) + "/" + std::to_string(bits) + "\n";
}

// Names of the entries of a folder in byte order; empty when it is no folder.
struct FaultCase {
  std::string name;
  void (*prepare)(const fs::path& root);  // fills img/ (and bmp/ when the case needs it)
  std::string shellPrefix;                // limits set in the shell before the binary starts
  int status;
  std::string output;
  std::vector<std::string> bmpEntries;   // in byte order
  void (*verify)(const fs::path& root);  // further checks after the run, or null
};

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

// A FIFO (a blocking open would wait for a writer forever), a socket, a link to a folder and a
// folder: none is opened, the pictures around them are converted.
void prepareNonRegularEntries(const fs::path& root) {
  const fs::path img = root / "img";
  putBmp(img / "a.bmp", 4);
  ASSERT_EQ(::mkfifo((img / "fifo").c_str(), 0600), 0);
  const std::string socketPath = (img / "socket").native();
  sockaddr_un address{};
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  const int socketFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(socketFd, 0);
  ASSERT_EQ(::bind(socketFd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ::close(socketFd);  // the socket stays in the folder
  fs::create_directory(root / "elsewhere");
  putBmp(root / "elsewhere" / "inner.bmp", 4);
  fs::create_directory_symlink("../elsewhere", img / "linked");
  fs::create_directory(img / "sub");
  putBmp(img / "sub" / "deeper.bmp", 4);
  writeFile(img / "z.png", buildPng(makePngPicture(5, 5, 8, 2, false, 1)));
}

void verifyNonRegularEntries(const fs::path& root) {
  EXPECT_TRUE(fs::is_fifo(root / "img" / "fifo"));
  EXPECT_TRUE(fs::is_socket(root / "img" / "socket"));
  EXPECT_EQ(entriesOf(root / "elsewhere"), std::vector<std::string>{"inner.bmp"});
}

void prepareDanglingLink(const fs::path& root) {
  putBmp(root / "img" / "a.bmp", 4);
  fs::create_symlink("../nowhere.bmp", root / "img" / "b.bmp");
  putBmp(root / "img" / "c.bmp", 4);
}

// A good picture followed by a hole up to 3 GiB: the size alone refuses it, before any block
// for its bytes is asked for. The small picture before it shows the limit leaves room to work.
void prepareSparseFile(const fs::path& root) {
  putBmp(root / "img" / "a.bmp", 4);
  const fs::path huge = root / "img" / "huge.bmp";
  putBmp(huge, 4);
  ASSERT_EQ(::truncate(huge.c_str(), off_t{3} << 30), 0);
}

void verifySparseFile(const fs::path& root) {
  EXPECT_EQ(fs::file_size(root / "img" / "huge.bmp"), std::uintmax_t{3} << 30);
}

// The second output cannot be written whole; the old file of that name must survive.
void prepareDiskFull(const fs::path& root) {
  putBmp(root / "img" / "a.bmp", 4);
  putBmp(root / "img" / "b.bmp", 64);
  putBmp(root / "img" / "c.bmp", 4);
  fs::create_directory(root / "bmp");
  writeFile(root / "bmp" / "b.bmp", kOldOutput);
}

void verifyDiskFull(const fs::path& root) {
  EXPECT_EQ(readFile(root / "bmp" / "b.bmp"), kOldOutput);
}

// Links at output names: to a file, to a folder and to nothing. Each is replaced by the new file;
// what a link pointed to stays as it was.
void prepareLinksAtOutputs(const fs::path& root) {
  for (const char* name : {"a.bmp", "b.bmp", "c.bmp"}) putBmp(root / "img" / name, 4);
  fs::create_directory(root / "bmp");
  writeFile(root / "target.bmp", kLinkTarget);
  fs::create_directory(root / "folder");
  fs::create_symlink("../target.bmp", root / "bmp" / "a.bmp");
  fs::create_directory_symlink("../folder", root / "bmp" / "b.bmp");
  fs::create_symlink("../missing.bmp", root / "bmp" / "c.bmp");
}

void verifyLinksAtOutputs(const fs::path& root) {
  for (const char* name : {"a.bmp", "b.bmp", "c.bmp"}) {
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(root / "bmp" / name))) << name;
    EXPECT_EQ(fs::file_size(root / "bmp" / name), 54u + 4u * 4u * 3u) << name;
  }
  EXPECT_EQ(readFile(root / "target.bmp"), kLinkTarget);
  EXPECT_TRUE(fs::is_empty(root / "folder"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(root / "missing.bmp")));
}

const std::string kLongestPng = std::string(251, 'x') + ".png";  // 255 bytes, output 255 bytes
const std::string kLongestBare = std::string(255, 'y');          // 255 bytes, output the same
const std::string kLongShortExtension = std::string(253, 'z') + ".a";  // 255 bytes, output 257

// Names with a space, a backslash, a newline, printf directives, a quote, bytes that are not
// UTF-8, and the longest names whose output names still fit.
const char* const kAwkwardNames[] = {"a b.bmp",  "back\\slash.tga", "new\nline.png",
                                     "%s%n.bmp", "it's.bmp",        "\xFF\xFE.jpg"};

void prepareAwkwardNames(const fs::path& root) {
  for (const char* name : kAwkwardNames) putBmp(root / "img" / name, 4);
  writeFile(root / "img" / kLongestPng, buildPng(makePngPicture(6, 4, 8, 6, true, 2)));
  writeFile(root / "img" / kLongestBare, encodeJpeg({.width = 8, .height = 5}));
}

void prepareOutputNameTooLong(const fs::path& root) {
  putBmp(root / "img" / "a.bmp", 4);
  putBmp(root / "img" / kLongShortExtension, 4);
}

void prepareOutputFolderIsAFile(const fs::path& root) {
  putBmp(root / "img" / "a.bmp", 4);
  writeFile(root / "bmp", kOldOutput);
}

void verifyOutputFolderIsAFile(const fs::path& root) {
  EXPECT_EQ(readFile(root / "bmp"), kOldOutput);
}

std::vector<FaultCase> faultCases() {
  const std::string fourByFour = generated("a.bmp", 4, 4, 24);
  return {
      {"FifoSocketFolderAndFolderLinkAreSkipped",
       prepareNonRegularEntries,
       "",
       0,
       fourByFour + generated("z.bmp", 5, 5, 24) + "OK\n",
       {"a.bmp", "z.bmp"},
       verifyNonRegularEntries},
      {"DanglingLinkIsALoadError",
       prepareDanglingLink,
       "",
       1,
       fourByFour + "ERROR: Cannot load input image img/b.bmp\n",
       {"a.bmp"},
       nullptr},
      {"SparseThreeGibibyteFileIsRefusedWithoutAllocating",
       prepareSparseFile,
       kAddressSpaceLimit,
       1,
       fourByFour + "ERROR: Cannot load input image img/huge.bmp\n",
       {"a.bmp"},
       verifySparseFile},
      {"DiskFullKeepsTheOldOutputAndLeavesNoTemporaryFile",
       prepareDiskFull,
       kSmallFileSizeLimit,
       1,
       fourByFour + "ERROR: cannot write to bmp/b.bmp\n",
       {"a.bmp", "b.bmp"},
       verifyDiskFull},
      {"LinksAtOutputNamesAreReplacedNotFollowed",
       prepareLinksAtOutputs,
       "",
       0,
       fourByFour + generated("b.bmp", 4, 4, 24) + generated("c.bmp", 4, 4, 24) + "OK\n",
       {"a.bmp", "b.bmp", "c.bmp"},
       verifyLinksAtOutputs},
      {"AwkwardNamesAreConvertedByteForByte",
       prepareAwkwardNames,
       "",
       0,
       generated("%s%n.bmp", 4, 4, 24) + generated("a b.bmp", 4, 4, 24) +
           generated("back\\slash.bmp", 4, 4, 24) + generated("it's.bmp", 4, 4, 24) +
           generated("new\nline.bmp", 4, 4, 24) +
           generated(std::string(251, 'x') + ".bmp", 6, 4, 32) + generated(kLongestBare, 8, 5, 24) +
           generated("\xFF\xFE.bmp", 4, 4, 24) + "OK\n",
       {"%s%n.bmp", "a b.bmp", "back\\slash.bmp", "it's.bmp", "new\nline.bmp",
        std::string(251, 'x') + ".bmp", kLongestBare, "\xFF\xFE.bmp"},
       nullptr},
      // The output name would be 257 bytes: the file system refuses it when the finished file is
      // moved into place, which the converter reports as an output it cannot create.
      {"OutputNameBeyondTheNameLimitCannotBeCreated",
       prepareOutputNameTooLong,
       "",
       1,
       fourByFour + "ERROR: cannot create output file bmp/" + std::string(253, 'z') + ".bmp\n",
       {"a.bmp"},
       nullptr},
      {"OutputFolderThatIsAFileCannotTakeOutputs",
       prepareOutputFolderIsAFile,
       "",
       1,
       "ERROR: cannot create output file bmp/a.bmp\n",
       {},
       verifyOutputFolderIsAFile},
  };
}

ProcessResult runBinary(const std::string& shellPrefix, const fs::path& folder,
                        const fs::path& binary = POW2BMP_BINARY) {
  return runProcess(shellPrefix + "timeout 60 '" + binary.native() + "'", folder);
}

class FilesystemFaults : public ::testing::TestWithParam<FaultCase> {
 protected:
  void SetUp() override { fs::create_directory(folder_.path() / "img"); }
  ScratchFolder folder_;
};

TEST_P(FilesystemFaults, ReportStatusAndOutputFolderAreAsExpected) {
  const FaultCase& c = GetParam();
  c.prepare(folder_.path());
  if (HasFatalFailure()) return;
  const ProcessResult run = runBinary(c.shellPrefix, folder_.path());
  EXPECT_EQ(run.status, c.status);
  EXPECT_EQ(run.output, c.output);
  EXPECT_EQ(entriesOf(folder_.path() / "bmp"), c.bmpEntries);
  if (c.verify != nullptr) c.verify(folder_.path());
}

std::string caseName(const ::testing::TestParamInfo<FaultCase>& param) { return param.param.name; }

INSTANTIATE_TEST_SUITE_P(EndToEnd, FilesystemFaults, ::testing::ValuesIn(faultCases()), caseName);

// 30,000 names of 250 bytes (7.5 MB of names) in img/ under a 10 MiB address-space limit: the
// binary starts and converts a picture under that limit, but cannot hold the listing. The run
// must end with the memory report and status 1, not abort (status 134).
TEST(FilesystemFaultsMemory, ListingBeyondTheAddressSpaceLimitIsAMemoryError) {
#if defined(POW2BMP_FAULTS_ASAN)
  GTEST_SKIP() << "the sanitizer's shadow memory cannot start under a 10 MiB address-space limit";
#else
  const std::string limit = "ulimit -v 10240 && ";
  ScratchFolder folder;
  const fs::path img = folder.path() / "img";
  fs::create_directory(img);
  putBmp(img / "a.bmp", 4);
  const ProcessResult small = runBinary(limit, folder.path());
  ASSERT_EQ(small.status, 0) << small.output;
  ASSERT_EQ(small.output, generated("a.bmp", 4, 4, 24) + "OK\n");

  fs::remove(folder.path() / "bmp" / "a.bmp");
  for (int i = 0; i < 30000; ++i) {
    std::string name = std::to_string(i);
    name += std::string(250 - name.size(), 'n');
    writeFile(img / name, Bytes{});
  }
  const ProcessResult run = runBinary(limit, folder.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, "ERROR: memory\n");
  EXPECT_TRUE(fs::is_empty(folder.path() / "bmp"));
#endif
}

// Entries made unreadable with mode 000. Permission bits do not stop root, so as root the binary
// runs as the unprivileged user 65534 (through setpriv). That user may be unable to reach the
// build tree (a clone in /root, mode 700), so each run happens in a fresh folder under /tmp open
// to everyone, holding a copy of the binary beside the folder it converts.
struct UnreadableCase {
  std::string name;
  bool folderEntry;   // img/b.bmp is a folder holding a picture rather than a picture
  const char* entry;  // made mode 000 once the pictures are in place
  int status;
  std::string output;
  std::vector<std::string> bmpEntries;
};

void PrintTo(const UnreadableCase& c, std::ostream* out) { *out << c.name; }

std::vector<UnreadableCase> unreadableCases() {
  const std::string a = generated("a.bmp", 4, 4, 24);
  return {
      {"FileIsALoadError",
       false,
       "img/b.bmp",
       1,
       a + "ERROR: Cannot load input image img/b.bmp\n",
       {"a.bmp"}},
      {"SubfolderIsSkipped",
       true,
       "img/b.bmp",
       0,
       a + generated("c.bmp", 4, 4, 24) + "OK\n",
       {"a.bmp", "c.bmp"}},
      {"InputFolderCannotBeListed",
       false,
       "img",
       1,
       "ERROR: Cannot find any image in folder img/*.*\n",
       {}},
  };
}

class FilesystemFaultsUnreadable : public ::testing::TestWithParam<UnreadableCase> {};

// Gives the owner back full access to an entry when the test ends, so that the scratch folder
// can be removed by a user without root's privileges too.
class PermissionsRestorer {
 public:
  explicit PermissionsRestorer(fs::path path) : path_(std::move(path)) {}
  ~PermissionsRestorer() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  PermissionsRestorer(const PermissionsRestorer&) = delete;
  PermissionsRestorer& operator=(const PermissionsRestorer&) = delete;

 private:
  fs::path path_;
};

TEST_P(FilesystemFaultsUnreadable, ReportStatusAndOutputFolderAreAsExpected) {
  const UnreadableCase& c = GetParam();
  std::string prefix;
  if (::geteuid() == 0) {
    ASSERT_TRUE(fs::exists("/usr/bin/setpriv"))
        << "as root these cases need setpriv (util-linux) to run the binary as user 65534";
    prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  }
  constexpr fs::perms kEveryoneReadsAndEnters = fs::perms::owner_all | fs::perms::group_read |
                                                fs::perms::group_exec | fs::perms::others_read |
                                                fs::perms::others_exec;
  ScratchFolder scratch{fs::path("/tmp")};
  fs::permissions(scratch.path(), kEveryoneReadsAndEnters);
  const fs::path binary = scratch.path() / "pow2bmp";
  fs::copy_file(POW2BMP_BINARY, binary);
  fs::permissions(binary, kEveryoneReadsAndEnters);
  const fs::path folder = scratch.path() / "run";
  fs::create_directory(folder);
  fs::permissions(folder, fs::perms::all);
  const ProcessResult version = runProcess(prefix + "'" + binary.native() + "' --version", folder);
  ASSERT_EQ(version.status, 0) << "the test user cannot run " << binary << " in " << folder;

  const fs::path img = folder / "img";
  fs::create_directory(img);
  putBmp(img / "a.bmp", 4);
  if (c.folderEntry) {
    fs::create_directory(img / "b.bmp");
    putBmp(img / "b.bmp" / "inner.bmp", 4);
  } else {
    putBmp(img / "b.bmp", 4);
  }
  putBmp(img / "c.bmp", 4);
  const PermissionsRestorer restorer(folder / c.entry);
  fs::permissions(folder / c.entry, fs::perms::none);

  const ProcessResult run = runBinary(prefix, folder, binary);
  EXPECT_EQ(run.status, c.status);
  EXPECT_EQ(run.output, c.output);
  EXPECT_EQ(entriesOf(folder / "bmp"), c.bmpEntries);
}

std::string unreadableCaseName(const ::testing::TestParamInfo<UnreadableCase>& param) {
  return param.param.name;
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, FilesystemFaultsUnreadable,
                         ::testing::ValuesIn(unreadableCases()), unreadableCaseName);

}  // namespace
