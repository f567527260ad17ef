#include "download/piece_hashes.h"

#include <gtest/gtest.h>

#include <limits>

#include "base/sha256_hasher.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

const std::string kA(64, 'a'), kB(64, 'b');

// The text form: what is read, and why the rest is refused.
TEST(PieceHashes, ParseTextForm) {
  struct Case {
    const char* what;
    std::string text;
    std::string error;  // empty: read as 1 MiB pieces {kA, kB}
  } cases[] = {
      {"good", "1048576\n" + kA + "\n" + kB + "\n", ""},
      {"comments, blank lines, CR LF, no last line break", "# pieces\r\n\r\n1048576\r\n  " + kA + "\n#\n" + kB, ""},
      {"upper case", "1048576\n" + std::string(64, 'A') + "\n" + kB, ""},
      {"bad digit", "1048576\n" + kA + "\n" + std::string(63, 'b') + "g\n",
       "line 3: not a SHA-256 (64 hexadecimal digits)"},
      {"short line", "1048576\n" + kA.substr(1) + "\n", "line 2: not a SHA-256 (64 hexadecimal digits)"},
      {"missing size", kA + "\n" + kB + "\n",
       "line 1: a SHA-256 before the piece size (the first line is the piece size)"},
      {"size not a number", "1 MiB\n" + kA, "line 1: not a piece size in bytes"},
      {"size not a power of two", "1048577\n" + kA,
       "line 1: the piece size 1048577 is not a power of two of at least 1048576 bytes"},
      {"size below 1 MiB", "524288\n" + kA,
       "line 1: the piece size 524288 is not a power of two of at least 1048576 bytes"},
      {"nothing", "# only a comment\n\n", "no piece size and no piece hashes"},
      {"size alone", "1048576\n", "no piece hashes after the piece size"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TPieceHashes hashes;
    hashes.piece_size = 7;
    std::string error = "old";
    EXPECT_EQ(ParsePieceHashes(c.text, hashes, error), c.error.empty());
    EXPECT_EQ(error, c.error);
    if (c.error.empty()) {
      EXPECT_EQ(hashes.piece_size, kMinPieceBytes);
      EXPECT_EQ(hashes.sha256, (std::vector<std::string>{kA, kB}));
    } else {
      EXPECT_TRUE(hashes.Empty());
      EXPECT_EQ(hashes.piece_size, 0);
    }
  }
}

// Hashes computed from a file read back from their text form; the last piece
// is shorter.
TEST(PieceHashes, ComputeAndRoundTrip) {
  testing::TempDir dir;
  std::string content;
  for (int i = 0; content.size() < 5 * kMinPieceBytes / 2; ++i) content += std::to_string(i) + ",";
  content.resize(5 * kMinPieceBytes / 2);
  testing::WriteFile(dir.File("f"), content);
  TPieceHashes hashes;
  std::string error;
  ASSERT_TRUE(ComputePieceHashes(dir.File("f"), kMinPieceBytes, hashes, error)) << error;
  const std::string_view bytes(content);
  EXPECT_EQ(hashes.sha256, (std::vector<std::string>{TSha256Hasher::HexOf(bytes.substr(0, kMinPieceBytes)),
                                                     TSha256Hasher::HexOf(bytes.substr(kMinPieceBytes, kMinPieceBytes)),
                                                     TSha256Hasher::HexOf(bytes.substr(2 * kMinPieceBytes))}));
  EXPECT_TRUE(hashes.Fits(static_cast<int64_t>(content.size())));
  EXPECT_FALSE(hashes.Fits(2 * kMinPieceBytes));
  EXPECT_EQ(PieceHashesSummary(hashes), "3 piece hashes of 1 MiB");

  TPieceHashes again;
  ASSERT_TRUE(ParsePieceHashes(FormatPieceHashes(hashes), again, error)) << error;
  EXPECT_EQ(again.piece_size, hashes.piece_size);
  EXPECT_EQ(again.sha256, hashes.sha256);

  // One piece of 2 MiB; an empty file has none.
  ASSERT_TRUE(ComputePieceHashes(dir.File("f"), 2 * kMinPieceBytes, hashes, error));
  EXPECT_EQ(PieceHashesSummary(hashes), "2 piece hashes of 2 MiB");
  testing::WriteFile(dir.File("empty"), "");
  ASSERT_TRUE(ComputePieceHashes(dir.File("empty"), kMinPieceBytes, hashes, error));
  EXPECT_TRUE(hashes.Empty());
  EXPECT_TRUE(hashes.Fits(0));

  EXPECT_FALSE(ComputePieceHashes(dir.File("none"), kMinPieceBytes, hashes, error));
  EXPECT_EQ(error, "No such file or directory");
  EXPECT_FALSE(ComputePieceHashes(dir.path(), kMinPieceBytes, hashes, error));
  EXPECT_EQ(error, "Is a directory");
  EXPECT_FALSE(ComputePieceHashes(dir.File("f"), 3 * kMinPieceBytes, hashes, error));
  EXPECT_TRUE(hashes.Empty());
}

// The size rule up to the largest file size a link can name, where a
// careless count of pieces overflows.
TEST(PieceHashes, SizeRuleUpToTheLargestFile) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  const struct {
    int64_t file_size, piece_size;
    size_t hashes;
    bool fits;
  } cases[] = {
      {kMax, int64_t{1} << 62, 2, true},
      {kMax, int64_t{1} << 62, 1, false},
      {kMax, int64_t{1} << 51, 4096, true},
      {0, kMinPieceBytes, 0, true},
      {1, kMinPieceBytes, 1, true},
      {kMinPieceBytes + 1, kMinPieceBytes, 1, false},
      {kMinPieceBytes, kMinPieceBytes / 2, 2, false},
  };
  for (const auto& c : cases) {
    TPieceHashes hashes;
    hashes.piece_size = c.piece_size;
    hashes.sha256.assign(c.hashes, kA);
    EXPECT_EQ(hashes.Fits(c.file_size), c.fits) << c.file_size << " / " << c.piece_size;
  }
  EXPECT_EQ(PieceSizeFor(kMax), int64_t{1} << 51);
  EXPECT_EQ(PieceSizeFor(4096 * kMinPieceBytes), kMinPieceBytes);
  EXPECT_EQ(PieceSizeFor(4096 * kMinPieceBytes + 1), 2 * kMinPieceBytes);
  EXPECT_EQ(PieceSizeFor(-1), kMinPieceBytes);
}

}  // namespace
}  // namespace quillon
