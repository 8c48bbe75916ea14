// Reading a file on POSIX systems: reads name their offsets and stop at the
// size the file had when it was opened, and say when it has shrunk since.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "extract/input/input_file.h"
#include "tests/temp_dir.h"

namespace varnolt {
namespace {

TEST(InputFilePosix, ReadsStopAtTheSizeTheFileHadWhenOpened) {
  TempDir temp;
  const std::string name = temp.Write("f", "0123456789");
  const std::unique_ptr<ByteSource> file = OpenInputFile(name);
  ASSERT_TRUE(file);
  ASSERT_EQ(file->Size(), 10);
  char buffer[16];

  ReadResult read = file->Read(8, sizeof buffer, buffer);
  EXPECT_EQ(read.status, ReadStatus::kBytes);
  EXPECT_EQ(read.bytes, "89");
  EXPECT_EQ(file->Read(10, sizeof buffer, buffer).status, ReadStatus::kEnded);

  // Grown since: nothing behind the old end is read.
  std::ofstream(name, std::ios::app) << "abc";
  read = file->Read(6, sizeof buffer, buffer);
  EXPECT_EQ(read.status, ReadStatus::kBytes);
  EXPECT_EQ(read.bytes, "6789");

  // Cut short since: what is left, and the news that it shrank.
  std::filesystem::resize_file(name, 7);
  read = file->Read(4, sizeof buffer, buffer);
  EXPECT_EQ(read.status, ReadStatus::kShrunk);
  EXPECT_EQ(read.bytes, "456");
  EXPECT_EQ(file->Read(8, sizeof buffer, buffer).status, ReadStatus::kShrunk);
}

}  // namespace
}  // namespace varnolt
