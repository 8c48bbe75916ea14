// The Win32 file seam against a real file, named relative to the current folder.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <string>

#include "extract/boundary/wide_text.h"
#include "extract/input/input_file.h"

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
  std::unique_ptr<ByteSource> file = OpenInputFile(path_);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Size(), 18);
  char buffer[64] = {};
  EXPECT_EQ(file->Read(12, 3, buffer).bytes, "\x1A\xD6t");
  const ReadResult whole = file->Read(0, sizeof buffer, buffer);
  EXPECT_EQ(whole.status, ReadStatus::kBytes);
  EXPECT_EQ(whole.bytes, bytes);
  EXPECT_EQ(file->Read(16, 3, buffer).bytes, "il");
  EXPECT_EQ(file->Read(18, 3, buffer).status, ReadStatus::kEnded);
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
  std::unique_ptr<ByteSource> input = OpenInputFile(path_);
  ASSERT_NE(input, nullptr);
  EXPECT_EQ(input->Size(), end.QuadPart);
}

// --- Names in any script

// Writes `content` to the file `name` (UTF-16, as the system holds names).
bool WriteWide(const std::wstring& name, const std::string& content) {
  HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok =
      WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
      written == content.size();
  CloseHandle(file);
  return ok;
}

std::string ReadAll(ByteSource& file) {
  std::string bytes(static_cast<size_t>(file.Size()), '\0');
  return std::string(file.Read(0, bytes.size(), bytes.data()).bytes);
}

// Before, names went through the ANSI code page: "下载页.htm" became
// "???.htm" on a Western system, and nothing opened.
TEST(InputFileWin32Names, NameOutsideTheAnsiCodePageOpens) {
  const std::wstring name =
      L"varnolt-下载页-\xD83C\xDFAC-" + std::to_wstring(GetCurrentProcessId());
  ASSERT_TRUE(WriteWide(name, "ed2k://|file|a|/"));
  for (auto open : {OpenInputFile, OpenInputFileToRename}) {
    std::unique_ptr<ByteSource> file = open(FromWide(name));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(ReadAll(*file), "ed2k://|file|a|/");
  }
  DeleteFileW(name.c_str());
}

// Windows allows a name with an unpaired surrogate. The name as the system
// hands it over (here by listing the folder) must open again.
TEST(InputFileWin32Names, NameWithAnUnpairedSurrogateOpensAsHandedOver) {
  const std::wstring prefix = L"varnolt-" + std::to_wstring(GetCurrentProcessId()) + L"-";
  if (!WriteWide(prefix + L"\xD800.htm", "surrogate")) {
    GTEST_SKIP() << "this system keeps no name with an unpaired surrogate";
  }
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((prefix + L"*").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  FindClose(search);
  const std::string handed_over = FromWide(found.cFileName);
  EXPECT_EQ(handed_over, FromWide(prefix) + "\xED\xA0\x80.htm");
  std::unique_ptr<ByteSource> file = OpenInputFile(handed_over);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(ReadAll(*file), "surrogate");
  DeleteFileW(found.cFileName);
}

// Standard input from a pipe is spooled to a file in the user's temporary
// folder, which may be named in any script.
TEST(InputFileWin32Names, PipeIsSpooledInATemporaryFolderNamedInAnyScript) {
  wchar_t saved[MAX_PATH + 1] = {};
  GetEnvironmentVariableW(L"TMP", saved, MAX_PATH + 1);
  wchar_t current[MAX_PATH + 1] = {};
  GetCurrentDirectoryW(MAX_PATH + 1, current);
  const std::wstring folder =
      std::wstring(current) + L"\\varnolt-临时-" + std::to_wstring(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  SetEnvironmentVariableW(L"TMP", folder.c_str());

  HANDLE read_end, write_end;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));
  const std::string page = "ed2k://|file|piped|/";
  DWORD written = 0;
  WriteFile(write_end, page.data(), static_cast<DWORD>(page.size()), &written, nullptr);
  CloseHandle(write_end);
  HANDLE standard_input = GetStdHandle(STD_INPUT_HANDLE);
  SetStdHandle(STD_INPUT_HANDLE, read_end);
  std::unique_ptr<ByteSource> file = OpenStandardInput("-");
  SetStdHandle(STD_INPUT_HANDLE, standard_input);
  CloseHandle(read_end);
  SetEnvironmentVariableW(L"TMP", saved[0] != 0 ? saved : nullptr);

  ASSERT_NE(file, nullptr);
  EXPECT_EQ(ReadAll(*file), page);
  file.reset();  // the spool goes with it, and the folder can go too
  EXPECT_TRUE(RemoveDirectoryW(folder.c_str()));
}

}  // namespace
}  // namespace varnolt
