// The trust record on disk: its form, where it lives, how it is written, and
// that a broken one is refused as a whole by the catalogue in use.
#include "catalogue/trust_record.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "base/base64.h"
#include "base/ed25519_key.h"
#include "catalogue/catalogue_in_use.h"
#include "catalogue/catalogue_signature.h"
#include "tests/support/test_catalogue.h"

namespace quillon {
namespace {

using testing::CatalogueXml;
using testing::InterfaceXml;

const TEd25519Key& Key() {
  static const TEd25519Key key = TEd25519Key::Generate();
  return key;
}

std::string SignedCatalogue(int serial) {
  return SignCatalogue(CatalogueXml({testing::kEditor},
                                    InterfaceXml("<Publisher_Key>" + Base64Encode(Key().PublicRaw()) +
                                                 "</Publisher_Key><Catalogue_Serial>" + std::to_string(serial) +
                                                 "</Catalogue_Serial><Catalogue_Id>acme</Catalogue_Id>")),
                       Key());
}

class TrustRecordTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("XDG_STATE_HOME", state.path().c_str(), 1); }
  testing::TempDir state;
};

TEST_F(TrustRecordTest, PlaceAndName) {
  EXPECT_EQ(TTrustRecord::Folder(), state.path() + "/quillon");
  EXPECT_EQ(TTrustRecord::PathFor("acme-tools_2.0", "k"), state.path() + "/quillon/id-acme-tools_2.0.record");
  EXPECT_EQ(TTrustRecord::PathFor("", std::string(2, '\xAB')), state.path() + "/quillon/key-abab.record");
  // An id that is no plain file name cannot leave the folder.
  EXPECT_EQ(TTrustRecord::PathFor("../x", "k").rfind(state.path() + "/quillon/id-sha256-", 0), 0u);
  const char* home = std::getenv("HOME");
  for (const char* value : {"", "relative/state"}) {
    ::setenv("XDG_STATE_HOME", value, 1);
    EXPECT_EQ(TTrustRecord::Folder(), std::string(home ? home : "") + "/.local/state/quillon") << value;
  }
}

TEST_F(TrustRecordTest, WrittenWholeAndPrivateAndReadBack) {
  const TTrustRecord record{std::string(32, 'k'), {std::string(32, 'a'), std::string(32, 'b')}, 42,
                            std::string("<Root>\n\0\xFF</Root>", 17)};
  const std::string path = TTrustRecord::PathFor("acme", "");
  EXPECT_FALSE(TTrustRecord::Read(path));
  record.Write(path);
  record.Write(path);  // replaces
  const auto read = TTrustRecord::Read(path);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->key, record.key);
  EXPECT_EQ(read->retired, record.retired);
  EXPECT_EQ(read->serial, 42);
  EXPECT_EQ(read->catalogue, record.catalogue);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(TTrustRecord::Folder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(TTrustRecord::Folder())) files += !entry.is_directory();
  EXPECT_EQ(files, 1);  // no temporary file stays

  // A folder where the record goes: the write fails and says where.
  std::filesystem::create_directories(TTrustRecord::PathFor("dir", ""));
  try {
    record.Write(TTrustRecord::PathFor("dir", ""));
    FAIL() << "written";
  } catch (const ETrustRecord& e) {
    EXPECT_EQ(std::string(e.what()).rfind("the trust record " + TTrustRecord::PathFor("dir", "") + " cannot be written: ", 0), 0u) << e.what();
  }
}

TEST_F(TrustRecordTest, BrokenRecordsAreRefusedWhole) {
  const std::string good = TTrustRecord{std::string(32, 'k'), {std::string(32, 'a')}, 7, "abc"}.Encode();
  const std::string key = Base64Encode(std::string(32, 'k'));
  struct Case {
    std::string bytes;
    const char* reason;
  } cases[] = {
      {"", "it is not a trust record"},
      {"quillon trust record 2\n", "it is not a trust record"},
      {"quillon trust record 1\nserial: 7\ncatalogue: 0\n", "its current key is missing"},
      {"quillon trust record 1\nkey: abc\nserial: 7\ncatalogue: 0\n", "a key in it is not the base64 of 32 bytes"},
      {"quillon trust record 1\nkey: " + key + "\ncatalogue: 0\n", "its serial is missing"},
      {"quillon trust record 1\nkey: " + key + "\nserial: -7\ncatalogue: 0\n", "its serial is missing"},
      {"quillon trust record 1\nkey: " + key + "\nserial 7\n", "a line of it is not \"name: value\""},
      {good.substr(0, good.size() - 1), "its catalogue's length does not match the file"},
      {good + "x", "its catalogue's length does not match the file"},
  };
  for (const Case& c : cases) {
    try {
      TTrustRecord::Decode(c.bytes);
      ADD_FAILURE() << "taken: " << c.bytes;
    } catch (const ETrustRecord& e) {
      EXPECT_STREQ(e.what(), c.reason) << c.bytes;
    }
  }
}

// A record that does not hold together is reported and ignored: the program
// file's catalogue is shown, and no part of the record counts.
TEST_F(TrustRecordTest, CatalogueInUseIgnoresARecordThatDoesNotHold) {
  const std::string appended = SignedCatalogue(10);
  const std::string path = TTrustRecord::PathFor("acme", Key().PublicRaw());
  const std::string stored = SignedCatalogue(11);
  std::string altered = stored;
  altered[altered.find("Editor")] = 'e';
  struct Case {
    const char* what;
    TTrustRecord record;
    std::string problem;  // empty: the stored catalogue is shown
  } cases[] = {
      {"whole", {Key().PublicRaw(), {}, 11, stored}, ""},
      {"altered catalogue", {Key().PublicRaw(), {}, 11, altered}, "its catalogue's signature does not hold"},
      {"another current key", {std::string(32, 'x'), {}, 11, stored}, "its catalogue does not name its current key"},
      {"serial not the catalogue's", {Key().PublicRaw(), {}, 12, stored}, "its serial is not its catalogue's"},
      {"no catalogue", {Key().PublicRaw(), {}, 11, "no xml"}, "its catalogue cannot be read: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.record.Write(path);
    TCatalogueInUse in_use;
    in_use.LoadAppended(appended);
    if (c.problem.empty()) {
      EXPECT_EQ(in_use.RecordProblem(), "");
      EXPECT_EQ(in_use.SourceText(), "update, serial 11");
    } else {
      EXPECT_EQ(in_use.RecordProblem().rfind("The trust record " + path + " is ignored: " + c.problem, 0), 0u)
          << in_use.RecordProblem();
      EXPECT_EQ(in_use.SourceText(), "program file");
      EXPECT_EQ(in_use.Trust()->floor, 10);
    }
  }
}

}  // namespace
}  // namespace quillon
