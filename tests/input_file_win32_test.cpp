// The Win32 file seam against real files in a temporary folder.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "extract/input_file.h"

namespace varnolt {
namespace {

class InputFileWin32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[MAX_PATH];
    ASSERT_NE(GetTempPathA(sizeof folder, folder), 0u);
    dir_ = std::string(folder) + "varnolt-input-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(dir_.c_str(), nullptr);
  }
  void TearDown() override {
    for (const std::string& name : written_) DeleteFileA(name.c_str());
    RemoveDirectoryA(dir_.c_str());
  }

  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = dir_ + "\\" + name;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    DWORD put = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
    CloseHandle(file);
    written_.push_back(path);
    return path;
  }

  std::string dir_;
  std::vector<std::string> written_;
};

TEST_F(InputFileWin32Test, ReadsInOrderAndAtOffsetsIndependently) {
  const std::string bytes = "0123456789\r\n\x1A\xD6tail";
  std::unique_ptr<InputFile> file = OpenInputFile(Write("a.txt", bytes));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Size(), static_cast<int64_t>(bytes.size()));

  char buffer[64] = {};
  EXPECT_EQ(file->Read(buffer, 4), 4);
  char at[4] = {};
  ASSERT_TRUE(file->ReadAt(12, at, 3));
  EXPECT_EQ(std::string(at, 3), "\x1A\xD6t");
  // The positioned read did not move the sequential one; CR LF and the
  // DOS end-of-file byte come through as bytes.
  EXPECT_EQ(file->Read(buffer + 4, sizeof buffer - 4), static_cast<int64_t>(bytes.size()) - 4);
  EXPECT_EQ(std::string(buffer, bytes.size()), bytes);
  EXPECT_EQ(file->Read(buffer, sizeof buffer), 0);
  EXPECT_FALSE(file->ReadAt(static_cast<int64_t>(bytes.size()) - 2, at, 3));
}

TEST_F(InputFileWin32Test, RefusesNamesThatAreNoReadableRegularFile) {
  const std::string real = Write("real.htm", "ed2k://a|/");
  EXPECT_EQ(OpenInputFile(""), nullptr);
  EXPECT_EQ(OpenInputFile(dir_ + "\\missing.htm"), nullptr);
  EXPECT_EQ(OpenInputFile(dir_), nullptr);
  EXPECT_EQ(OpenInputFile("NUL"), nullptr);
  EXPECT_EQ(OpenInputFile(real + std::string(1, '\0') + "x"), nullptr);
  EXPECT_NE(OpenInputFile(real), nullptr);
}

TEST_F(InputFileWin32Test, FileOpenForWritingElsewhereIsRefusedButReadersShare) {
  const std::string path = Write("busy.htm", "ed2k://a|/");
  HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenInputFile(path), nullptr);
  CloseHandle(writer);

  HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_NE(OpenInputFile(path), nullptr);
  CloseHandle(reader);
}

TEST_F(InputFileWin32Test, SizeBeyondFourGigabytesIsReportedWhole) {
  const std::string path = Write("sparse.bin", "");
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD ignored;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
  LARGE_INTEGER end;
  end.QuadPart = (int64_t{1} << 32) + 5;
  const bool sized = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  CloseHandle(file);
  if (!sized) GTEST_SKIP() << "no room for a sparse file of 4 GiB";
  std::unique_ptr<InputFile> input = OpenInputFile(path);
  ASSERT_NE(input, nullptr);
  EXPECT_EQ(input->Size(), (int64_t{1} << 32) + 5);
}

}  // namespace
}  // namespace varnolt
