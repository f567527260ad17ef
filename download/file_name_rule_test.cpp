#include "download/file_name_rule.h"

#include <gtest/gtest.h>

#include <string>

namespace quillon {
namespace {

TEST(SaveFileNameFromUrlTest, NamesOfUrls) {
  std::string umlauts;
  for (int i = 0; i < 150; ++i) umlauts += "\xC3\xBC";
  struct Case {
    std::string url, caption, name;
  } cases[] = {
      {"https://host/with%20space/my%20file.pdf", "", "my file.pdf"},
      {"https://host/gr%C3%BC%C3%9Fe.pdf", "", "gr\xC3\xBC\xC3\x9F" "e.pdf"},
      {"https://host/raw/gr\xC3\xBC\xC3\x9F" "e.pdf", "", "gr\xC3\xBC\xC3\x9F" "e.pdf"},
      {"https://host/guide.pdf?lang=en&x=2", "", "guide.pdf"},
      {"https://host/guide.pdf#part/2", "", "guide.pdf"},
      {"https://host/a/b.zip?next=/c/d.exe#e", "", "b.zip"},
      {"ftp://u:p@host:21/pub\\win\\setup.exe", "", "setup.exe"},
      {"http://host/a%2Fb%5Cc", "", "a_b_c"},
      {"http://host/a%00b%1Fc%7Fd%C2%85e", "", "a_b_c_d_e"},
      {"http://host/%FF%C3(x", "", "__(x"},
      // Format characters that would make a name show as another.
      {"http://host/%E2%80%AEgnp.exe", "", "_gnp.exe"},
      {"http://host/set%E2%80%8Bup.exe%EF%BB%BF", "", "set_up.exe_"},
      {"http://host/x%C2%ADy.txt", "", "x_y.txt"},
      {"http://host/.bashrc", "", "_bashrc"},
      {"http://host/-rf", "", "_rf"},
      {"http://host/%2E%2E", "Setup", "Setup"},
      {"http://host/dir/..", "", "download"},
      {"http://host/dir/.", "", "download"},
      {"http://host/dir/", "Setup 2.0 / 64-bit", "Setup 2.0 _ 64-bit"},
      {"http://host/", "..", "download"},
      {"http://host", "", "download"},
      {"", "", "download"},
      {"http://host/" + std::string(300, 'a') + ".tar.gz", "", std::string(247, 'a') + ".gz"},
      {"http://host/" + std::string(300, 'a'), "", std::string(250, 'a')},
      {"http://host/x" + umlauts + ".pdf", "", "x" + umlauts.substr(0, 244) + ".pdf"},
      {"http://host/a." + std::string(300, 'e'), "", "a." + std::string(248, 'e')},
  };
  for (const Case& c : cases) {
    const std::string name = SaveFileNameFromUrl(c.url, c.caption);
    EXPECT_EQ(name, c.name) << c.url;
    EXPECT_LE(name.size(), kMaxSaveNameBytes) << c.url;
  }
}

TEST(SaveFileNameFromUrlTest, NumberedNamesStayWithinTheLimit) {
  EXPECT_EQ(NumberedFileName("setup.exe", 1), "setup (1).exe");
  EXPECT_EQ(NumberedFileName("README", 12), "README (12)");
  EXPECT_EQ(NumberedFileName(".config", 2), ".config (2)");
  const std::string longest = NumberedFileName(std::string(246, 'a') + ".zip", 3);
  EXPECT_EQ(longest, std::string(242, 'a') + " (3).zip");
}

}  // namespace
}  // namespace quillon
