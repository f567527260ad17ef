#include "download/piece_hashes.h"

#include <gtest/gtest.h>

#include <limits>

#include "base/sha256_hasher.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

// The text form read and refused; a file of 2.5 pieces of 1 MiB hashed and
// read back; the piece size of the largest file.
TEST(PieceHashes, TextFormAndComputedHashes) {
  const std::string a(64, 'a'), b(64, 'b');
  const std::pair<std::string, std::string> cases[] = {  // text, error (none: 1 MiB pieces {a, b})
      {"1048576\n" + a + "\n" + b + "\n", ""},
      {"# pieces\r\n\r\n1048576\r\n  " + a + "\n#\n" + std::string(64, 'B'), ""},
      {"1048576\n" + a + "\n" + b.substr(1) + "g\n", "line 3: not a SHA-256 (64 hexadecimal digits)"},
      {"1048576\n" + a.substr(1), "line 2: not a SHA-256 (64 hexadecimal digits)"},
      {a + "\n" + b, "line 1: a SHA-256 before the piece size (the first line is the piece size)"},
      {"1048577\n" + a, "line 1: the piece size 1048577 is not a power of two of at least 1048576 bytes"},
  };
  TPieceHashes hashes, again;
  std::string error;
  for (const auto& [text, reason] : cases) {
    EXPECT_EQ(ParsePieceHashes(text, hashes, error), reason.empty()) << text;
    EXPECT_EQ(error, reason);
    EXPECT_EQ(hashes.sha256, (reason.empty() ? std::vector<std::string>{a, b} : std::vector<std::string>{}));
  }

  testing::TempDir dir;
  std::string content(5 * kMinPieceBytes / 2, 'x');
  content[kMinPieceBytes] = 'y';
  testing::WriteFile(dir.File("f"), content);
  ASSERT_TRUE(ComputePieceHashes(dir.File("f"), kMinPieceBytes, hashes, error)) << error;
  ASSERT_TRUE(ParsePieceHashes(FormatPieceHashes(hashes), again, error)) << error;
  const std::string_view bytes(content);
  EXPECT_EQ(again.sha256, (std::vector<std::string>{TSha256Hasher::HexOf(bytes.substr(0, kMinPieceBytes)),
                                                    TSha256Hasher::HexOf(bytes.substr(kMinPieceBytes, kMinPieceBytes)),
                                                    TSha256Hasher::HexOf(bytes.substr(2 * kMinPieceBytes))}));
  EXPECT_EQ(PieceHashesSummary(again), "3 piece hashes of 1 MiB");
  EXPECT_FALSE(ComputePieceHashes(dir.File("none"), kMinPieceBytes, hashes, error));
  EXPECT_EQ(error, "No such file or directory");
  EXPECT_EQ(PieceSizeFor(std::numeric_limits<int64_t>::max()), int64_t{1} << 51);
}

}  // namespace
}  // namespace quillon
