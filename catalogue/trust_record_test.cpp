// The trust record on disk: its form, where it lives, how it is written, and
// that a broken one is refused as a whole by the catalogue in use.
#include "catalogue/trust_record.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "base/base64.h"
#include "base/ed25519_key.h"
#include "catalogue/catalogue_in_use.h"
#include "catalogue/catalogue_signature.h"
#include "catalogue/catalogue_trust.h"
#include "tests/support/test_catalogue.h"

namespace quillon {
namespace {

using testing::CatalogueXml;
using testing::InterfaceXml;

const TEd25519Key& Key() {
  static const TEd25519Key key = TEd25519Key::Generate();
  return key;
}

// A catalogue of the line `id` naming `names`, signed by `signer`.
std::string Signed(int serial, const TEd25519Key& names, const TEd25519Key& signer, const std::string& id = "acme") {
  return SignCatalogue(CatalogueXml({testing::kEditor},
                                    InterfaceXml("<Publisher_Key>" + Base64Encode(names.PublicRaw()) +
                                                 "</Publisher_Key><Catalogue_Serial>" + std::to_string(serial) +
                                                 "</Catalogue_Serial>" +
                                                 (id.empty() ? "" : "<Catalogue_Id>" + id + "</Catalogue_Id>"))),
                       signer);
}
std::string SignedCatalogue(int serial) { return Signed(serial, Key(), Key()); }

std::string Offer(TCatalogueInUse& in_use, const std::string& fetched) {
  TStringStream body(fetched);
  return in_use.AcceptUpdate(body, 1000000000);
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

// A record whose form, catalogue, signature or serial does not hold fails
// closed: the program file's catalogue is shown, the remedy is said, every
// update is refused and the record stays as it was.
TEST_F(TrustRecordTest, ARecordThatDoesNotHoldFailsClosed) {
  const TEd25519Key older = TEd25519Key::Generate();
  const std::string appended = SignedCatalogue(10);
  const std::string path = TTrustRecord::PathFor("acme", Key().PublicRaw());
  const std::string stored = SignedCatalogue(11);
  std::string altered = stored;
  altered[altered.find("Editor")] = 'e';
  // A hand-over may be signed only by the key retired last.
  const std::string by_older = Signed(11, Key(), older);
  struct Case {
    const char* what;
    std::string bytes;
    std::string problem;  // empty: the stored catalogue is shown
  } cases[] = {
      {"whole", TTrustRecord{Key().PublicRaw(), {}, 11, stored}.Encode(), ""},
      {"cut short", TTrustRecord{Key().PublicRaw(), {}, 11, stored}.Encode().substr(0, 400), "its catalogue's length"},
      {"altered catalogue", TTrustRecord{Key().PublicRaw(), {}, 11, altered}.Encode(), "its catalogue's signature does not hold"},
      {"another current key", TTrustRecord{std::string(32, 'x'), {}, 11, stored}.Encode(), "its catalogue does not name its current key"},
      {"serial not the catalogue's", TTrustRecord{Key().PublicRaw(), {}, 12, stored}.Encode(), "its serial is not its catalogue's"},
      {"no catalogue", TTrustRecord{Key().PublicRaw(), {}, 11, "no xml"}.Encode(), "its catalogue cannot be read: "},
      {"signed by a key retired before the last",
       TTrustRecord{Key().PublicRaw(), {older.PublicRaw(), std::string(32, 'r')}, 11, by_older}.Encode(),
       "its catalogue's signature does not hold"},
  };
  std::filesystem::create_directories(TTrustRecord::Folder());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::WriteFile(path, c.bytes);
    ::chmod(path.c_str(), 0600);
    TCatalogueInUse in_use;
    in_use.LoadAppended(appended);
    if (c.problem.empty()) {
      EXPECT_EQ(in_use.RecordProblem(), "");
      EXPECT_EQ(in_use.SourceText(), "update, serial 11");
      continue;
    }
    EXPECT_EQ(in_use.RecordProblem().rfind("The trust record " + path + " cannot be used: " + c.problem, 0), 0u)
        << in_use.RecordProblem();
    EXPECT_NE(in_use.RecordProblem().find("Updates are refused; deleting it resets what this program trusts."),
              std::string::npos);
    EXPECT_EQ(in_use.SourceText(), "program file");
    EXPECT_EQ(Offer(in_use, SignedCatalogue(12)).rfind("the trust record " + path + " cannot be used: ", 0), 0u);
    EXPECT_EQ(testing::ReadFile(path), c.bytes);
  }
}

// Records that are not this program's are ignored and say whose they are;
// the program's own record is kept beside them and they stay untouched.
TEST_F(TrustRecordTest, ForeignAndPlantedRecordsAreIgnored) {
  const TEd25519Key other = TEd25519Key::Generate();
  const std::string path = TTrustRecord::PathFor("acme", Key().PublicRaw());
  const std::string beside = TTrustRecord::BesidePath(path, Key().PublicRaw());
  struct Case {
    const char* what;
    TTrustRecord record;
    mode_t mode;
    bool other_owner;
    std::string reason;
  } cases[] = {
      {"another publisher's key, same id", {other.PublicRaw(), {}, 90, Signed(90, other, other)}, 0600, false,
       "it belongs to another publisher's key"},
      {"writable by others", {Key().PublicRaw(), {}, 90, SignedCatalogue(90)}, 0666, false, "it is writable by others"},
      {"another user's", {Key().PublicRaw(), {}, 90, SignedCatalogue(90)}, 0600, true, "it belongs to another user"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.other_owner && ::geteuid() != 0) continue;  // only root can give a file away
    std::filesystem::remove_all(TTrustRecord::Folder());
    c.record.Write(path);
    ::chmod(path.c_str(), c.mode);
    if (c.other_owner) ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    const std::string planted = testing::ReadFile(path);
    TCatalogueInUse in_use;
    in_use.LoadAppended(SignedCatalogue(10));
    EXPECT_EQ(in_use.RecordProblem(), "The trust record " + path + " is ignored: " + c.reason + ".");
    EXPECT_EQ(in_use.SourceText(), "program file");
    EXPECT_EQ(Offer(in_use, SignedCatalogue(11)), "");
    EXPECT_EQ(testing::ReadFile(path), planted);
    EXPECT_EQ(TTrustRecord::Read(beside)->serial, 11);
  }
  // A folder others may write holds nothing the program trusts.
  std::filesystem::remove_all(TTrustRecord::Folder());
  std::filesystem::create_directories(TTrustRecord::Folder());
  ::chmod(TTrustRecord::Folder().c_str(), 0777);
  TCatalogueInUse in_use;
  in_use.LoadAppended(SignedCatalogue(10));
  EXPECT_EQ(in_use.SourceText(), "program file");
  EXPECT_EQ(Offer(in_use, SignedCatalogue(12)), "the trust record folder " + TTrustRecord::Folder() +
                                                    " is writable by others; make it writable by you alone (chmod "
                                                    "700 " + TTrustRecord::Folder() + ")");
}

// Two programs of one line taking updates: each reads the records again
// under the lock, so neither lowers the floor nor undoes a hand-over that
// the other took, even while the other is between its read and its write.
TEST_F(TrustRecordTest, UpdatesTakenByTwoProgramsKeepFloorAndHandOver) {
  const TEd25519Key next = TEd25519Key::Generate();
  TCatalogueInUse a, b;
  a.LoadAppended(SignedCatalogue(10));
  b.LoadAppended(SignedCatalogue(10));
  EXPECT_EQ(Offer(b, SignedCatalogue(20)), "");
  EXPECT_EQ(Offer(a, SignedCatalogue(15)), kUpdateOlder);
  EXPECT_EQ(Offer(b, Signed(30, next, Key())), "");  // hand-over
  EXPECT_EQ(Offer(a, SignedCatalogue(90)), kUpdateRetiredKey);
  // Served again, what the other took is shown; once shown, it is not newer.
  EXPECT_EQ(Offer(a, Signed(30, next, Key())), "");
  EXPECT_EQ(a.SourceText(), "update, serial 30");
  EXPECT_EQ(Offer(a, Signed(30, next, Key())), kUpdateNotNewer);

  // B offers 35 while A holds the lock between its read and its write of 40.
  std::thread racer;
  std::string b_refusal = "not run";
  a.SetLockedHookForTesting([&] {
    if (!racer.joinable()) racer = std::thread([&] { b_refusal = Offer(b, Signed(35, next, next)); });
  });
  EXPECT_EQ(Offer(a, Signed(40, next, next)), "");
  racer.join();
  EXPECT_EQ(b_refusal, kUpdateOlder);
  EXPECT_EQ(TTrustRecord::Read(TTrustRecord::PathFor("acme", Key().PublicRaw()))->serial, 40);
}

// One line with and without its id: program files of each share one floor,
// and the floor is never below the program file's own serial.
TEST_F(TrustRecordTest, OneFloorPerLine) {
  const std::string without_id = Signed(10, Key(), Key(), "");
  TCatalogueInUse old_program, new_program;
  old_program.LoadAppended(without_id);
  new_program.LoadAppended(SignedCatalogue(10));
  EXPECT_EQ(Offer(old_program, SignedCatalogue(30)), "");  // takes on the id
  EXPECT_EQ(Offer(new_program, SignedCatalogue(15)), kUpdateOlder);
  EXPECT_EQ(Offer(new_program, SignedCatalogue(40)), "");
  TCatalogueInUse restarted;
  restarted.LoadAppended(without_id);
  EXPECT_EQ(restarted.SourceText(), "update, serial 40");
  EXPECT_EQ(Offer(restarted, SignedCatalogue(35)), kUpdateOlder);

  // A record at 11 and a program file at 20: 15 is older.
  TTrustRecord{Key().PublicRaw(), {}, 11, SignedCatalogue(11)}.Write(TTrustRecord::PathFor("acme", Key().PublicRaw()));
  TTrustRecord{Key().PublicRaw(), {}, 11, SignedCatalogue(11)}.Write(TTrustRecord::PathFor("", Key().PublicRaw()));
  TCatalogueInUse newer_program;
  newer_program.LoadAppended(SignedCatalogue(20));
  EXPECT_EQ(Offer(newer_program, SignedCatalogue(15)), kUpdateOlder);
}

}  // namespace
}  // namespace quillon
