// Building a catalogue from a publisher's folder: the written form, the
// content read back, the order of products, and every refusal.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/base64.h"
#include "base/memory_stream.h"
#include "base/sha256_hasher.h"
#include "tests/support/temp_dir.h"
#include "tools/catalogue_build.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;

const std::string kJpeg = std::string("\xFF\xD8\xFF\xE0", 4) + std::string(100, '\x07') + "\xFF\xD9";

const char* const kInterface =
    "# The window's texts\n"
    "Window_Caption: Caf\xC3\xA9 Tools \xE2\x80\x93 Downloads\n"
    "Top_Paragraph: Welcome to Marrowby's <downloads> & more.\n"
    "  Pick a product.\n"
    "\n"
    "Next_Button_Caption: Next >>\n"
    "Previous_Button_Caption: << Back\n"
    "Product_Prompt: Product:\n"
    "Folder_to_save_to_Prompt: Save as:\n"
    "Download_Button_Caption: Download\n"
    "Cancel_Button_Caption: Cancel\n"
    "Open_Button_Caption: Open page\n"
    "Prompt_after_date: 38718\n"
    "Data_URL: http://127.0.0.1:8080/catalogue.xml\n";

// A complete source folder: two products given in reverse order on disk.
struct Source {
  testing::TempDir dir;
  Source() {
    Put("interface.txt", kInterface);
    Put("logo.jpg", kJpeg);
    Put("02-viewer/product.txt", "Name: Viewer\nDescription: Shows pictures.\n");
    Put("02-viewer/icon.jpg", kJpeg);
    Put("01-notes/product.txt", "\xEF\xBB\xBFName: Notes 2.1\r\nDescription: An editor.\r\n\tSecond line.\r\n");
    Put("01-notes/icon.jpg", kJpeg);
    Put("01-notes/screenshot.jpg", kJpeg + "shot");
    Put("01-notes/links.txt",
        "Notes (HTTP) | http://127.0.0.1:8080/notes.tar.gz | Internal Download\n"
        "# a comment\n"
        "What's new | http://127.0.0.1:8080/new.html|Send to browser\n");
  }
  void Put(const std::string& name, const std::string& content) {
    const fs::path path = fs::path(dir.path()) / name;
    fs::create_directories(path.parent_path());
    testing::WriteFile(path.string(), content);
  }
  // The message of the refusal ("" when the build succeeds).
  std::string Error() {
    try {
      TsdXmlDocument doc;
      BuildCatalogue(dir.path(), doc);
      return "";
    } catch (const ECatalogueSource& e) {
      return e.what();
    }
  }
};

TEST(CatalogueBuild, WritesTheCompactFormWithTheContentOfTheFolder) {
  Source src;
  const std::string out = src.dir.File("catalogue.xml");
  BuildCatalogueFile(src.dir.path(), out);
  const std::string text = testing::ReadFile(out);
  const std::string decl = "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n";
  ASSERT_EQ(text.substr(0, decl.size()), decl);
  const std::string tree = text.substr(decl.size());
  EXPECT_EQ(tree.find_first_of("\r\n"), std::string::npos) << "the tree is on one line";
  EXPECT_EQ(tree.substr(0, 6), "<Root>");
  EXPECT_NE(tree.find("<Top_Paragraph>Welcome to Marrowby&apos;s &lt;downloads&gt; &amp; more.&#13;&#10;Pick"),
            std::string::npos);

  TsdXmlDocument doc;
  doc.LoadFromFile(out);
  TXmlNode* root = doc.Root();
  auto text_of = [&](TXmlNode* from, const char* key) {
    TXmlNode* n = FindNode(from, key);
    return n ? n->ValueAsString() : std::string("<absent>");
  };
  EXPECT_EQ(text_of(root, "/Root/Interface_Information/GroupCount"), "2");
  EXPECT_EQ(text_of(root, "/Root/Interface_Information/Window_Caption"), "Caf\xE9 Tools \x96 Downloads");
  EXPECT_EQ(text_of(root, "/Root/Interface_Information/Top_Paragraph"),
            "Welcome to Marrowby's <downloads> & more.\r\nPick a product.");
  EXPECT_EQ(text_of(root, "/Root/Interface_Information/Next_Button_Caption"), "Next >>");
  EXPECT_EQ(text_of(root, "/Root/Interface_Information/Prompt_after_date"), "38718");
  EXPECT_EQ(text_of(root, "/Root/Interface_Information/Data_URL"), "http://127.0.0.1:8080/catalogue.xml");
  EXPECT_EQ(FindNode(root, "/Root/Interface_Information/Splash_Logo")->BinaryString(), kJpeg);

  std::vector<TXmlNode*> groups;
  FindNodes(root, "Program_Group", &groups);
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(text_of(groups[0], "Program_Name"), "Notes 2.1");
  EXPECT_EQ(text_of(groups[0], "Short_Description"), "An editor.\r\nSecond line.");
  EXPECT_EQ(text_of(groups[0], "URLCount"), "2");
  EXPECT_EQ(FindNode(groups[0], "Screenshot")->BinaryString(), kJpeg + "shot");
  std::vector<TXmlNode*> links;
  FindNodes(groups[0], "Download", &links);
  ASSERT_EQ(links.size(), 2u);
  EXPECT_EQ(text_of(links[0], "Description"), "Notes (HTTP)");
  EXPECT_EQ(text_of(links[0], "URL"), "http://127.0.0.1:8080/notes.tar.gz");
  EXPECT_EQ(text_of(links[0], "Handle_by"), "Internal Download");
  EXPECT_EQ(text_of(links[1], "Description"), "What's new");
  EXPECT_EQ(text_of(links[1], "Handle_by"), "Send to browser");

  EXPECT_EQ(text_of(groups[1], "Program_Name"), "Viewer");
  EXPECT_EQ(text_of(groups[1], "URLCount"), "0");
  EXPECT_EQ(text_of(groups[1], "Screenshot"), "");
  EXPECT_EQ(FindNode(groups[1], "Icon")->BinaryString(), kJpeg);

  // Read and written again, the catalogue is the same text.
  EXPECT_EQ(doc.WriteToString(), text);
}

TEST(CatalogueBuild, OptionalPartsMayBeLeftOut) {
  Source src;
  std::string iface = kInterface;
  iface = iface.substr(0, iface.find("Prompt_after_date"));
  src.Put("interface.txt", iface);
  fs::remove(fs::path(src.dir.path()) / "logo.jpg");
  fs::remove(fs::path(src.dir.path()) / "02-viewer/icon.jpg");
  TsdXmlDocument doc;
  BuildCatalogue(src.dir.path(), doc);
  EXPECT_EQ(FindNode(doc.Root(), "Prompt_after_date"), nullptr);
  EXPECT_EQ(FindNode(doc.Root(), "Data_URL"), nullptr);
  EXPECT_EQ(FindNode(doc.Root(), "Splash_Logo")->Value(), "");
}

TEST(CatalogueBuild, RefusesFaultsWithTheFileAndLine) {
  struct Case {
    const char* file;
    std::string content;
    std::string message;  // the end of the message
  } cases[] = {
      {"interface.txt", std::string(kInterface) + "Colour: red\n", "line 15: unknown key \"Colour\""},
      {"interface.txt", std::string(kInterface) + "window_caption: again\n", "line 15: \"window_caption\" is given twice"},
      {"interface.txt", "  stray\n", "line 1: a continuation line without a \"Key: value\" line before it"},
      {"interface.txt", "no colon here\n", "line 1: expected \"Key: value\""},
      {"interface.txt", std::string(kInterface).substr(0, std::string(kInterface).find("Cancel")),
       "\"Cancel_Button_Caption\" is missing"},
      {"01-notes/product.txt", "Name: \xE4\xB8\xAD\n", "line 1: the character U+4E2D cannot be written in windows-1252"},
      {"01-notes/product.txt", "Name: \xC2\x81\n", "line 1: the character U+0081 cannot be written in windows-1252"},
      {"01-notes/product.txt", "Name: caf\xE9\n", "line 1: not UTF-8 text"},
      {"01-notes/product.txt", "Description: x\n", "\"Name\" is missing"},
      {"01-notes/links.txt", "only | two\n", "line 1: expected \"Description | URL | Internal Download\""},
      {"01-notes/links.txt", "a | http://x | send to browser\n",
       "line 1: the handling must be \"Internal Download\" or \"Send to browser\", not \"send to browser\""},
      {"01-notes/links.txt", " | http://x | Send to browser\n", "line 1: the description is empty"},
      {"01-notes/links.txt", "a |  | Send to browser\n", "line 1: the URL is empty"},
      {"01-notes/links.txt", "a | \xF0\x9F\x98\x80 | Send to browser\n", "line 1: the character U+1F600 cannot"},
      {"01-notes/icon.jpg", "PK\x03\x04", "icon.jpg: not a PNG, JPEG, GIF or BMP picture"},
      {"logo.jpg", "", "logo.jpg: not a PNG, JPEG, GIF or BMP picture"},
      {"01-notes/links.txt", "a | http://x | Internal Download | size:12k\n", "line 1: \"size:12k\" is not a size"},
      {"01-notes/links.txt", "a | http://x | Internal Download | sha256:abc\n", "line 1: \"sha256:abc\" is not 64"},
      {"01-notes/links.txt", "a | http://x | Internal Download | size:1 size:2\n", "line 1: expected \"file:PATH\""},
      {"01-notes/links.txt", "a | http://x | Internal Download | md5:00\n", "line 1: expected \"file:PATH\""},
      {"01-notes/links.txt", "a | http://x | Internal Download | \n", "line 1: the fourth field is empty"},
      {"01-notes/links.txt", "a | http://x | Internal Download | file:nothing.bin\n", "nothing.bin cannot be read"},
      {"01-notes/links.txt", "a | http://x | Send to browser | size:1\n", "line 1: a link sent to the browser is not"},
      {"01-notes/links.txt", "a | http://x | Internal Download | size:1 | connections:17\n",
       "line 1: \"connections:17\" is not a number of connections from 1 to 16"},
      {"01-notes/links.txt", "a | http://x | Internal Download | connections:2 | connections:2\n",
       "\"connections:\" is given twice"},
      {"01-notes/links.txt", "a | http://x | Internal Download | size:1 | size:1\n",
       "what the file must be is given twice"},
  };
  for (const auto& c : cases) {
    Source src;
    src.Put(c.file, c.content);
    const std::string e = src.Error();
    ASSERT_GE(e.size(), c.message.size()) << c.file << ": " << e;
    EXPECT_NE(e.find(c.file), std::string::npos) << e;
    EXPECT_NE(e.find(c.message), std::string::npos) << e;
  }
  Source src;
  std::string iface = kInterface;
  src.Put("interface.txt", iface.replace(iface.find("38718"), 5, "soon"));
  EXPECT_NE(src.Error().find("line 13: Prompt_after_date must be a date (YYYY-MM-DD), always or never"), std::string::npos);
}

// The fourth field of a link: a local copy (relative to the folder) hashed
// whole, or the values given; the publisher's fields at the end of the
// interface part, replacing earlier ones.
TEST(CatalogueBuild, LinksNameTheirFilesAndThePublisherIsNamed) {
  Source src;
  const std::string big(3 * 1024 * 1024 + 5, 'q');  // more than one read
  src.Put("01-notes/big.bin", big);
  const std::string hex(64, 'C');
  src.Put("01-notes/links.txt",
          "Big | http://127.0.0.1/big.bin | Internal Download | file:01-notes/big.bin | connections:4\n"
          "Given | ftp://127.0.0.1/x.zip | Internal Download | sha256:" + hex + "  size:42\n"
          "Hash only | http://127.0.0.1/y | Internal Download | connections:16 | sha256:" + hex + "\n"
          "Page | http://127.0.0.1/ | Send to browser\n");
  TsdXmlDocument doc;
  BuildCatalogue(src.dir.path(), doc);
  std::vector<TXmlNode*> groups, links;
  FindNodes(doc.Root(), "Program_Group", &groups);
  FindNodes(groups[0], "Download", &links);
  ASSERT_EQ(links.size(), 4u);
  auto field = [](TXmlNode* link, const char* name) {
    TXmlNode* n = FindNode(link, name);
    return n ? n->ValueAsString() : std::string("<absent>");
  };
  EXPECT_EQ(field(links[0], "Size"), std::to_string(big.size()));
  EXPECT_EQ(field(links[0], "SHA256"), TSha256Hasher::HexOf(big));
  EXPECT_EQ(field(links[0], "Connections") + field(links[1], "Connections") + field(links[2], "Connections"),
            "4<absent>16");
  EXPECT_EQ(field(links[1], "Size"), "42");
  EXPECT_EQ(field(links[1], "SHA256"), std::string(64, 'c'));
  EXPECT_EQ(field(links[2], "Size"), "<absent>");
  EXPECT_EQ(field(links[3], "SHA256"), "<absent>");

  SetPublisherFields(doc, {std::string(32, '\x01'), 5, "old-line", "2001-01-01T00:00:00Z"});
  SetPublisherFields(doc, {std::string(32, '\x02'), 6, "acme-tools", ""});
  TXmlNode* info = FindNode(doc.Root(), "/Root/Interface_Information");
  EXPECT_EQ(info->Nodes(info->NodeCount() - 3)->Name(), "Publisher_Key");
  EXPECT_EQ(field(info, "Catalogue_Id"), "acme-tools");
  EXPECT_EQ(field(info, "Catalogue_Expires"), "<absent>");
  EXPECT_EQ(field(info, "Publisher_Key"), Base64Encode(std::string(32, '\x02')));
  EXPECT_EQ(field(info, "Catalogue_Serial"), "6");
  EXPECT_EQ(info->NodeIndexByNameFrom("Publisher_Key", info->NodeIndexByName("Publisher_Key") + 1), -1);
}

TEST(CatalogueBuild, RefusesAFolderWithoutProducts) {
  testing::TempDir dir;
  testing::WriteFile(dir.File("interface.txt"), kInterface);
  TsdXmlDocument doc;
  try {
    BuildCatalogue(dir.path(), doc);
    FAIL();
  } catch (const ECatalogueSource& e) {
    EXPECT_NE(std::string(e.what()).find("no product folders"), std::string::npos);
  }
  EXPECT_THROW(BuildCatalogue(dir.File("missing"), doc), ECatalogueSource);
  fs::create_directory(dir.File("01-a"));
  fs::remove(dir.File("interface.txt"));
  EXPECT_THROW(BuildCatalogue(dir.path(), doc), ECatalogueSource);
}

// The demo catalogue that the build makes from samples/demo with this builder:
// the declaration, one LF, the tree on one line; read and written again it is
// the same text, so the tree read back is the same.
TEST(CatalogueBuild, DemoCatalogueIsCompactAndRoundTrips) {
  const char* bin = std::getenv("QUILLON_BINARY_DIR");
  ASSERT_NE(bin, nullptr) << "QUILLON_BINARY_DIR is not set (run the tests through CTest)";
  const std::string path = std::string(bin) + "/app/demo-catalogue.xml";
  ASSERT_TRUE(testing::FileExists(path)) << path << " has not been built";
  const std::string file = testing::ReadFile(path);
  const std::string decl = "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n";
  ASSERT_EQ(file.substr(0, decl.size()), decl);
  EXPECT_EQ(file.find_first_of("\r\n", decl.size()), std::string::npos);
  // It is signed: the signature comment follows the tree.
  const size_t signature = file.find("</Root><!--signature ed25519 ");
  ASSERT_NE(signature, std::string::npos);
  const std::string text = file.substr(0, signature + 7);

  TsdXmlDocument doc;
  TStringStream unsigned_text(text);
  doc.LoadFromStream(unsigned_text);
  EXPECT_EQ(doc.WriteToString(), text);
  TStringStream saved;
  doc.SaveToStream(saved);
  EXPECT_EQ(saved.DataString(), text);

  EXPECT_EQ(FindNode(doc.Root(), "/Root/Interface_Information/Window_Caption")->ValueAsString(),
            "Marrowby Tools \x96 Downloads");
  EXPECT_EQ(FindNode(doc.Root(), "/Root/Interface_Information/Splash_Logo")->BinaryString().substr(0, 3),
            "\xFF\xD8\xFF");
  std::vector<TXmlNode*> groups;
  FindNodes(doc.Root(), "Program_Group", &groups);
  ASSERT_EQ(groups.size(), 3u);
  for (TXmlNode* g : groups) EXPECT_EQ(FindNode(g, "Icon")->BinaryString().substr(0, 3), "\xFF\xD8\xFF");
  EXPECT_EQ(FindNode(groups[0], "Short_Description")->ValueAsString(),
            "A small, fast editor for plain text and notes.\r\n"
            "Tabs, search & replace, and a caf\xE9 theme that's easy on the eyes.");
  EXPECT_EQ(FindNode(groups[2], "Screenshot")->ValueAsString(), "");
  // The links the program downloads name their files: the grown archives the
  // demo's servers offer.
  const std::string notes = testing::ReadFile(std::string(bin) + "/app/downloads/files/quillon-notes-2.1.tar.gz");
  EXPECT_EQ(FindNode(groups[0], "SHA256")->ValueAsString(), TSha256Hasher::HexOf(notes));
  EXPECT_EQ(FindNode(groups[0], "Size")->ValueAsString(), std::to_string(notes.size()));
}

// The command: a catalogue on success, the refusal on standard error and
// status 1 otherwise, and no output file then.
TEST(CatalogueBuild, CommandLine) {
  const char* bin = std::getenv("QUILLON_BINARY_DIR");
  ASSERT_NE(bin, nullptr) << "QUILLON_BINARY_DIR is not set (run the tests through CTest)";
  const std::string tool = std::string(bin) + "/tools/quillon-catalogue";
  Source src;
  const std::string out = src.dir.File("out.xml"), err = src.dir.File("err.txt");
  const std::string run = "'" + tool + "' build '" + src.dir.path() + "' -o '" + out + "' 2>'" + err + "'";
  ASSERT_EQ(std::system(run.c_str()), 0) << testing::ReadFile(err);
  TsdXmlDocument doc;
  doc.LoadFromFile(out);
  EXPECT_EQ(FindNode(doc.Root(), "/Root/Interface_Information/GroupCount")->ValueAsString(), "2");

  // A file of more than one piece: build writes its piece hashes as pieces
  // prints them, and check counts them.
  std::string big(2 * 1024 * 1024 + 1, 'b');
  big[1024 * 1024] = 'x';
  src.Put("big.bin", big);
  src.Put("02-viewer/links.txt", "Big | http://127.0.0.1/big.bin | Internal Download | file:big.bin | connections:2\n");
  const std::string listing = src.dir.File("listing.txt");
  ASSERT_EQ(std::system((run + " && '" + tool + "' check '" + out + "' >'" + listing + "'").c_str()), 0);
  EXPECT_NE(testing::ReadFile(listing).find("[program, verified by SHA-256, 3 piece hashes of 1 MiB, up to 2 "
                                            "connections per host]\n"),
            std::string::npos)
      << testing::ReadFile(listing);
  ASSERT_EQ(std::system(("'" + tool + "' pieces '" + src.dir.File("big.bin") + "' >'" + listing + "'").c_str()), 0);
  EXPECT_EQ(testing::ReadFile(listing), "1048576\n" + TSha256Hasher::HexOf(big.substr(0, 1 << 20)) + "\n" +
                                            TSha256Hasher::HexOf(big.substr(1 << 20, 1 << 20)) + "\n" +
                                            TSha256Hasher::HexOf("b") + "\n");
  doc.LoadFromFile(out);
  EXPECT_EQ(FindNode(doc.Root(), "Piece_SHA256")->ValueAsString(), testing::ReadFile(listing));

  fs::remove(out);
  src.Put("02-viewer/links.txt", "a | b\n");
  const int status = std::system(run.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_NE(testing::ReadFile(err).find("links.txt line 1: expected"), std::string::npos) << testing::ReadFile(err);
  EXPECT_FALSE(testing::FileExists(out));
}

}  // namespace
}  // namespace quillon
