// The Win32 file seam against a real file, named relative to the current folder.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <string>

#include "extract/input_file.h"

namespace varnolt {
namespace {

class InputFileWin32Test : public ::testing::Test {
 protected:
  void TearDown() override { DeleteFileA(path_.c_str()); }
  const std::string path_ = "varnolt-input-" + std::to_string(GetCurrentProcessId());
};

TEST_F(InputFileWin32Test, ReadsAtAnyOffsetAndShortOnlyAtTheEnd) {
  const std::string bytes = "0123456789\r\n\x1A\xD6tail";  // CR LF and ^Z are plain bytes
  std::ofstream(path_, std::ios::binary) << bytes;
  std::unique_ptr<InputFile> file = OpenInputFile(path_);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Size(), 18);
  char buffer[64] = {};
  EXPECT_EQ(file->ReadAt(12, buffer, 3), 3);
  EXPECT_EQ(std::string(buffer, 3), "\x1A\xD6t");
  EXPECT_EQ(file->ReadAt(0, buffer, sizeof buffer), 18);
  EXPECT_EQ(std::string(buffer, 18), bytes);
  EXPECT_EQ(file->ReadAt(16, buffer, 3), 2);
  EXPECT_EQ(file->ReadAt(18, buffer, 3), 0);
}

TEST_F(InputFileWin32Test, RefusesWhatIsNoReadableRegularFile) {
  std::ofstream(path_, std::ios::binary) << "ed2k://a|/";
  for (const std::string& name : {std::string(), path_ + ".missing", std::string("."),
                                  std::string("NUL"), path_ + std::string(1, '\0') + "x"}) {
    EXPECT_EQ(OpenInputFile(name), nullptr) << name;
  }
  // Another process writing the file makes it unreadable for us; another reader does not.
  for (DWORD access : {DWORD{GENERIC_WRITE}, DWORD{GENERIC_READ}}) {
    HANDLE other =
        CreateFileA(path_.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(OpenInputFile(path_) == nullptr, access == GENERIC_WRITE);
    CloseHandle(other);
  }
}

TEST_F(InputFileWin32Test, SizeBeyondFourGigabytesIsReportedWhole) {
  HANDLE file = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  const LARGE_INTEGER end = {.QuadPart = (int64_t{1} << 32) + 5};
  const bool sized = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  CloseHandle(file);
  if (!sized) GTEST_SKIP() << "no room for a file of 4 GiB";
  std::unique_ptr<InputFile> input = OpenInputFile(path_);
  ASSERT_NE(input, nullptr);
  EXPECT_EQ(input->Size(), end.QuadPart);
}

}  // namespace
}  // namespace varnolt
