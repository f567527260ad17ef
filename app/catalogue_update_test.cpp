// The update button: fetching a newer catalogue over HTTP from a scripted
// server on loopback, how failures are shown, and which bodies may replace
// the catalogue.
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/form_downloader.h"
#include "app/my_status.h"
#include "base/version.h"
#include "catalogue/catalogue_update.h"
#include "net/http/http_cli.h"
#include "platform/ansi_text.h"
#include "tests/support/event_wait.h"
#include "tests/support/loopback.h"
#include "tests/support/quillon_get_run.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_catalogue.h"
#include "tests/support/test_desktop.h"
#include "tests/support/test_pki.h"

namespace quillon {
namespace {

using namespace testing;

const TestProduct kPaint{"Paint", "Paints.", "", "", {{"Paint (FTP)", "ftp://127.0.0.1/pub/paint.zip"}}};
const TestProduct kViewer{"Viewer", "Views.", "", "", {{"Viewer", "http://127.0.0.1/viewer.zip"}}};

// A 200 answer that says its length.
std::string Answer(const std::string& body) {
  return "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

// A scripted server that answers every request with `response`.
std::unique_ptr<testing::ScriptedServer> Answering(const std::string& response) {
  return std::make_unique<testing::ScriptedServer>(testing::AnswerWith(response));
}

class UpdateTest : public ::testing::Test {
 protected:
  UpdateTest() : desktop(dir.File("settings.ini")) { desktop.download_folder = "/home/user/Desktop"; }

  // The window on a catalogue whose update rule holds, with Data_URL `url`.
  TfrmDownloader& Open(const std::string& url, const std::vector<TestProduct>& products = {kEditor, kPaint}) {
    const std::string extra = "<Prompt_after_date>38718</Prompt_after_date><Data_URL>" + url + "</Data_URL>";
    window = std::make_unique<TfrmDownloader>(testing::ProgramWith(dir, CatalogueXml(products, InterfaceXml(extra))));
    window->SetToday([] { return int64_t{38718}; });
    window->show();
    window->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
    EXPECT_FALSE(window->UpdateBtn->isHidden());
    return *window;
  }

  // The window on a catalogue whose update comes from server, after a
  // click on "Update".
  TfrmDownloader& UpdateFrom(const testing::ScriptedServer& server) {
    auto& w = Open("http://127.0.0.1:" + server.PortText() + "/catalogue.xml");
    QTest::mouseClick(w.UpdateBtn, Qt::LeftButton);
    return w;
  }

  testing::TempDir dir;
  TTestDesktop desktop;
  std::unique_ptr<TfrmDownloader> window;
};

TEST_F(UpdateTest, SuccessfulUpdateReplacesCaptionsAndProducts) {
  std::string updated = CatalogueXml({kEditor, kPaint, kViewer}, InterfaceXml());
  auto replace = [&](const std::string& from, const std::string& to) {
    updated.replace(updated.find(from), from.size(), to);
  };
  replace("Test Caption", "Newer Caption");
  replace("Next &gt;&gt;", "Onward");
  replace("Pick one:", "Choose:");
  updated.insert(updated.find("</Interface_Information>"), "<Catalogue_Serial>7</Catalogue_Serial>");
  auto server = Answering(Answer(updated));
  auto& w = Open("http://127.0.0.1:" + server->PortText() + "/catalogue.xml");
  EXPECT_EQ(w.windowTitle(), "Test Caption");

  QTest::mouseClick(w.UpdateBtn, Qt::LeftButton);
  EXPECT_TRUE(desktop.message_boxes.empty());
  EXPECT_EQ(w.StatusBar->SimpleText(), "Catalogue updated to serial 7.");
  EXPECT_EQ(w.windowTitle(), "Newer Caption");
  EXPECT_EQ(w.NextBtn->text(), "Onward");
  EXPECT_EQ(w.ProductPromptLabel->text(), "Choose:");
  ASSERT_EQ(w.ListBox1->count(), 3);
  EXPECT_EQ(w.ListBox1->item(2)->text(), "Viewer");
  EXPECT_EQ(w.ListBox1->currentRow(), 0);
  EXPECT_TRUE(w.UpdateBtn->isHidden());

  // Shown again (the program file still offers the update): the button stays away.
  w.hide();
  w.show();
  EXPECT_TRUE(w.UpdateBtn->isHidden());
}

// A fetch that fails says why in plain words, gives the status bar back and
// keeps the button for another try.
TEST_F(UpdateTest, FailedFetchSaysWhyAndKeepsTheButton) {
  auto not_found = Answering("HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\n<html>gone</html>");
  const std::string closed = std::to_string(testing::ClosedPort());
  struct Case {
    std::string url;
    std::string message;
  } cases[] = {
      {"http://127.0.0.1:" + not_found->PortText() + "/catalogue.xml", "Could not fetch the update: 404 Not Found"},
      {"http://127.0.0.1:" + closed + "/catalogue.xml",
       "Could not fetch the update: connection refused (127.0.0.1 port " + closed + ")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    desktop.message_boxes.clear();
    auto& w = Open(c.url);
    w.StatusBar->SetSimpleText("before the update");
    QTest::mouseClick(w.UpdateBtn, Qt::LeftButton);
    ASSERT_EQ(desktop.message_boxes.size(), 1u);
    EXPECT_EQ(desktop.message_boxes[0].text.toStdString(), c.message);
    EXPECT_EQ(w.StatusBar->SimpleText(), "before the update");
    EXPECT_FALSE(w.UpdateBtn->isHidden());
    EXPECT_EQ(w.windowTitle(), "Test Caption");
    EXPECT_EQ(w.ListBox1->count(), 2);
    // Shown again: the button is still offered.
    w.hide();
    w.show();
    EXPECT_FALSE(w.UpdateBtn->isHidden());
  }
}

TEST_F(UpdateTest, BrokenResponseKeepsTheCatalogue) {
  auto server = Answering("HTTP/1.0 200 OK\r\nX-Long: " + std::string(9000, 'x'));
  auto& w = UpdateFrom(*server);
  ASSERT_EQ(desktop.message_boxes.size(), 1u);
  EXPECT_EQ(desktop.message_boxes[0].text, "Could not fetch the update: HTTP line too long");
  EXPECT_EQ(w.windowTitle(), "Test Caption");
  EXPECT_EQ(w.ListBox1->count(), 2);
  EXPECT_FALSE(w.UpdateBtn->isHidden());
}

TEST_F(UpdateTest, SilentServerEndsWithTheIdleTimeout) {
  // Reads the request, then says nothing until the client gives up.
  testing::ScriptedServer server([](testing::ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.ReadToEnd(20000);
  });
  auto& w = Open("http://127.0.0.1:" + server.PortText() + "/catalogue.xml");
  w.SetUpdateIdleTimeoutForTesting(1);
  QTest::mouseClick(w.UpdateBtn, Qt::LeftButton);
  ASSERT_EQ(desktop.message_boxes.size(), 1u);
  EXPECT_EQ(desktop.message_boxes[0].text.toStdString(), "Could not fetch the update: no data for 1 second.");
  EXPECT_EQ(w.ListBox1->count(), 2);
}

// While the update runs, its button (or Escape) cancels it: nothing changes,
// nothing is said, and the button stays for another try.
TEST_F(UpdateTest, RunningUpdateIsCancelled) {
  std::atomic<bool> asked{false};
  testing::ScriptedServer server([&](testing::ScriptedConnection& c) {
    asked = !c.ReadUntil("\r\n\r\n").empty();
    c.ReadToEnd();
  });
  for (const bool escape : {false, true}) {
    auto& w = Open("http://127.0.0.1:" + server.PortText() + "/catalogue.xml");
    w.StatusBar->SetSimpleText("before the update");
    QString caption;
    QMetaObject::invokeMethod(&w, [&] {  // runs inside the fetch's wait
      testing::RunUntil([&] { return asked.exchange(false); });
      caption = w.UpdateBtn->text();
      escape ? QTest::keyClick(&w, Qt::Key_Escape) : QTest::mouseClick(w.UpdateBtn, Qt::LeftButton);
    }, Qt::QueuedConnection);
    QTest::mouseClick(w.UpdateBtn, Qt::LeftButton);
    EXPECT_EQ(caption, "Cancel Update");
    EXPECT_TRUE(desktop.message_boxes.empty());
    EXPECT_EQ(w.StatusBar->SimpleText(), "before the update");
    EXPECT_EQ(w.ListBox1->count(), 2);
    EXPECT_EQ(w.UpdateBtn->text(), "&Retrieve Updates");
    EXPECT_FALSE(w.UpdateBtn->isHidden());
  }
}

TEST_F(UpdateTest, BodyThatIsNotACatalogueKeepsTheCatalogueAndTheWizard) {
  auto server = Answering(Answer("<html><body>Maintenance</body></html>"));
  auto& w = UpdateFrom(*server);
  ASSERT_EQ(desktop.message_boxes.size(), 1u);
  EXPECT_EQ(desktop.message_boxes[0].text, "The update was not taken: the answer is not a catalogue");
  EXPECT_EQ(w.windowTitle(), "Test Caption");
  ASSERT_EQ(w.ListBox1->count(), 2);
  EXPECT_EQ(w.ListBox1->item(1)->text(), "Paint");
  // The products still have their links.
  w.ListBox1->setCurrentRow(1);
  EXPECT_TRUE(w.NextBtn->isEnabled());
  EXPECT_EQ(w.Catalogue().ProductCount(), 2);
}

TEST_F(UpdateTest, WithOneProductTheButtonIsOnTheDownloadPage) {
  auto server = Answering(Answer(CatalogueXml({kEditor, kViewer}, InterfaceXml())));
  auto& w = Open("http://127.0.0.1:" + server->PortText() + "/catalogue.xml", {kEditor});
  ASSERT_TRUE(w.DownloadPageInFront());
  // The button is the control under its own centre: not covered by a page.
  const QPoint centre = w.UpdateBtn->mapTo(&w, w.UpdateBtn->rect().center());
  EXPECT_EQ(w.childAt(centre), w.UpdateBtn);
  w.StatusBar->SetSimpleText("before the update");
  QTest::mouseClick(w.UpdateBtn, Qt::LeftButton);
  EXPECT_TRUE(desktop.message_boxes.empty());
  EXPECT_EQ(w.StatusBar->SimpleText(), "before the update");  // the update has no serial
  EXPECT_EQ(w.ListBox1->count(), 2);
  EXPECT_TRUE(w.UpdateBtn->isHidden());
  // Two products now: the way back to the list is open again.
  EXPECT_FALSE(w.BackBtn->isHidden());
}

// What may replace the catalogue: only a complete body that is a catalogue.
TEST(FetchedCatalogue, AcceptedOnlyWhenCompleteAndACatalogue) {
  const std::string good = CatalogueXml({kEditor}, InterfaceXml());
  std::string bad_utf8 = good;
  bad_utf8.replace(bad_utf8.find("windows-1252"), 12, "UTF-8");
  bad_utf8.replace(bad_utf8.find(">Editor<"), 8, ">Caf\xE9<");
  struct Case {
    const char* name;
    std::string body;
    int64_t content_length;
    std::string reason;
  };
  const auto size = [](const std::string& b) { return static_cast<int64_t>(b.size()); };
  const Case cases[] = {
      {"catalogue", good, size(good), ""},
      {"empty", "", 0, "the answer is not a catalogue"},
      {"no length said", good, -1, "the answer is not complete"},
      {"cut short", good.substr(0, good.size() - 20), size(good), "the answer is not complete"},
      {"html", "<html><body>gone</body></html>", 30, "the answer is not a catalogue"},
      {"not xml", "this is not XML <", 17, "the answer is not a catalogue"},
      {"foreign xml", "<rss><channel/></rss>", 21, "the answer is not a catalogue"},
      {"root without interface", "<Root><Program_Group/></Root>", 29, "the answer is not a catalogue"},
      {"interface deeper down", "<Root><X><Interface_Information/></X></Root>", 44, "the answer is not a catalogue"},
      {"UTF-8 declared, other bytes", bad_utf8, size(bad_utf8), "the answer is not a catalogue"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TCatalogueInUse in_use;
    in_use.LoadAppended(CatalogueXml({kPaint, kViewer}, InterfaceXml()));
    const TCatalogue& catalogue = in_use.Catalogue();
    TStringStream body(c.body);
    body.Seek(0, TSeekOrigin::soEnd);  // as the client leaves it
    EXPECT_EQ(AcceptFetchedCatalogue(in_use, body, c.content_length), c.reason);
    EXPECT_EQ(catalogue.ProductCount(), c.reason.empty() ? 1 : 2);
    EXPECT_EQ(TCatalogue::FieldText(catalogue.ProductNode(0), "Program_Name"), c.reason.empty() ? "Editor" : "Paint");
  }
}

TEST(FetchedCatalogue, BodyStreamStopsAtItsLimit) {
  TUpdateBodyStream body;
  body.WriteBuffer("head", 4);
  body.Seek(TUpdateBodyStream::kMaxBytes - 1, TSeekOrigin::soBeginning);
  body.WriteBuffer("z", 1);  // the last byte allowed
  EXPECT_EQ(body.Size(), TUpdateBodyStream::kMaxBytes);
  try {
    body.WriteBuffer("x", 1);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "the answer is too large to be a catalogue");
  }
  EXPECT_EQ(body.Size(), TUpdateBodyStream::kMaxBytes);
}

// An announced length over the limit is refused when the header ends,
// before a byte of the body is taken in; the catalogue stays.
TEST(FetchedCatalogue, LengthOverTheLimitRefusedBeforeTheBody) {
  const std::string length = std::to_string(TUpdateBodyStream::kMaxBytes + 1);
  testing::ScriptedServer server([&](testing::ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Send("HTTP/1.0 200 OK\r\nContent-Length: " + length + "\r\n\r\n");
    for (int i = 0; i <= 1024 && c.Send(std::string(65536, 'x')); ++i) {
    }
  });
  TCatalogueInUse in_use;
  in_use.LoadAppended(CatalogueXml({kPaint, kViewer}, InterfaceXml()));
  THttpCli http;
  EXPECT_EQ(RetrieveCatalogueUpdate(http, "http://127.0.0.1:" + server.PortText() + "/", 60, in_use),
            TUpdateBodyStream::kTooLargeReason);
  EXPECT_EQ(http.RcvdCount(), 0);
  EXPECT_EQ(in_use.Catalogue().ProductCount(), 2);
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

// Data_URL over https: the window trusts the CA named by QUILLON_CA_FILE.
TEST_F(UpdateTest, HttpsUpdateTrustsTheCaOfTheEnvironment) {
  testing::TestPki pki(dir.path());
  const testing::TestPki::Leaf leaf = pki.Server("server", {"127.0.0.1"});
  const std::string updated = CatalogueXml({kEditor, kPaint, kViewer}, InterfaceXml());
  testing::ScriptedServer server([leaf, updated](testing::ScriptedConnection& c) {
    testing::TlsPeer tls(c.fd(), leaf);
    if (!tls.Accept()) return;
    tls.ReadUntil("\r\n\r\n");
    tls.Write(Answer(updated));
    tls.Shutdown();
  });
  const std::string url = "https://127.0.0.1:" + server.PortText() + "/catalogue.xml";
  struct Case {
    const char* ca_file;
    int products;
    std::string message;
  };
  for (const Case& c : {Case{"", 2, "Could not fetch the update: certificate verify failed: unable to get local issuer "
                                     "certificate (127.0.0.1)"},
                        Case{"ca", 3, ""}}) {
    SCOPED_TRACE(c.ca_file);
    if (*c.ca_file)
      ::setenv(kCAFileVariable, pki.CaFile().c_str(), 1);
    else
      ::unsetenv(kCAFileVariable);
    desktop.message_boxes.clear();
    auto& w = Open(url);
    QTest::mouseClick(w.UpdateBtn, Qt::LeftButton);
    ::unsetenv(kCAFileVariable);
    if (c.message.empty()) {
      EXPECT_TRUE(desktop.message_boxes.empty());
    } else {
      ASSERT_EQ(desktop.message_boxes.size(), 1u);
      EXPECT_EQ(desktop.message_boxes[0].text.toStdString(), c.message);
    }
    EXPECT_EQ(w.ListBox1->count(), c.products);
  }
}

// What a server sees of the window's requests (a link and the update of a
// windows-1252 catalogue) and of quillon-get's: who asks, and the path as UTF-8.
TEST_F(UpdateTest, RequestsNameTheProgramAndSendPathsInUtf8) {
  std::mutex mutex;
  std::vector<std::string> heads;
  testing::ScriptedServer server([&](testing::ScriptedConnection& c) {
    const std::string head = c.ReadUntil("\r\n\r\n");
    std::lock_guard<std::mutex> lock(mutex);
    heads.push_back(head);
    c.Send("HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n");
  });
  const std::string url = "http://127.0.0.1:" + server.PortText() + "/Pr\xFC" "fbericht 2024 \x96 \xC4rzte.zip";
  auto& w = Open(url, {{"Report", "", "", "", {{"Report", url}}}});
  w.SaveToFolderEdit->setText(QString::fromStdString(dir.File("report.zip")));
  for (size_t n = 1; n <= 3; ++n) {
    if (n == 3) {
      const int rc = std::system((Program() + " --retries 0 '" + AnsiToQString(url).toStdString() + "' " +
                                  dir.File("r") + " >/dev/null 2>&1").c_str());
      EXPECT_EQ(WEXITSTATUS(rc), 8);  // the server's 404
    } else {
      QTest::mouseClick(n == 1 ? w.DownloadBtn : w.UpdateBtn, Qt::LeftButton);
    }
    ASSERT_TRUE(RunUntil([&] {
      std::lock_guard<std::mutex> lock(mutex);
      return heads.size() == n;
    }));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_TRUE(heads.back().starts_with("GET /Pr%C3%BCfbericht%202024%20%E2%80%93%20%C3%84rzte.zip HTTP/1.0\r\n"))
        << heads.back();
    EXPECT_NE(heads.back().find("\r\nUser-Agent: Quillon/" + std::string(kQuillonVersion) + "\r\n"), std::string::npos);
    EXPECT_NE(heads.back().find("\r\nAccept: */*\r\n"), std::string::npos);
  }
}

}  // namespace
}  // namespace quillon
