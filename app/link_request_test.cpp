// What a server sees of the program's requests: who asks, what is accepted,
// and a link's path in UTF-8, percent-encoded, whether the window reads it
// from a windows-1252 catalogue or quillon-get from its command line.
#include <QPushButton>
#include <QLineEdit>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "base/version.h"
#include "download/dl_scroll_box.h"
#include "download/dl_visual_panel.h"
#include "tests/support/event_wait.h"
#include "tests/support/quillon_get_run.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_window.h"

namespace quillon {
namespace {

using namespace testing;

TEST_F(WindowTest, RequestsNameTheProgramAndSendPathsInUtf8) {
  std::mutex mutex;
  std::vector<std::string> heads;
  ScriptedServer server([&](ScriptedConnection& c) {
    const std::string head = c.ReadUntil("\r\n\r\n");
    {
      std::lock_guard<std::mutex> lock(mutex);
      heads.push_back(head);
    }
    c.Send("HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n");
  });
  const std::string base = "http://127.0.0.1:" + server.PortText();
  const std::string cp1252 = "/Pr\xFC" "fbericht 2024 \x96 \xC4rzte.zip";
  const std::string utf8 = "/Pr\xC3\xBC" "fbericht 2024 \xE2\x80\x93 \xC3\x84rzte.zip";
  const std::string extra = "<Prompt_after_date>38718</Prompt_after_date><Data_URL>" + base + cp1252 + "</Data_URL>";
  enum Via { kWindowLink, kWindowUpdate, kQuillonGet };
  for (Via via : {kWindowLink, kWindowUpdate, kQuillonGet}) {
    SCOPED_TRACE(via);
    if (via == kQuillonGet) {
      std::system((Program() + " --retries 0 '" + base + utf8 + "' " + dir.File("got") + " >/dev/null 2>&1").c_str());
    } else {
      auto& w = Open(CatalogueXml({{"Report", "", "", "", {{"Report", base + cp1252}}}}, InterfaceXml(extra)));
      if (via == kWindowUpdate) {
        QTest::mouseClick(w.UpdateBtn, Qt::LeftButton);
      } else {
        w.run_downloads = true;
        w.SaveToFolderEdit->setText(QString::fromStdString(dir.File("report.zip")));
        QTest::mouseClick(w.DownloadBtn, Qt::LeftButton);
      }
    }
    ASSERT_TRUE(RunUntil([&] {
      std::lock_guard<std::mutex> lock(mutex);
      return heads.size() == static_cast<size_t>(via) + 1;
    }));
    std::lock_guard<std::mutex> lock(mutex);
    const std::string& head = heads.back();
    EXPECT_TRUE(head.starts_with("GET /Pr%C3%BCfbericht%202024%20%E2%80%93%20%C3%84rzte.zip HTTP/1.0\r\n")) << head;
    EXPECT_NE(head.find("\r\nUser-Agent: Quillon/" + std::string(kQuillonVersion) + "\r\n"), std::string::npos)
        << head;
    EXPECT_NE(head.find("\r\nAccept: */*\r\n"), std::string::npos) << head;
  }
}

}  // namespace
}  // namespace quillon
