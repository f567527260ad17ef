// An FTP piece fetcher that ends before any piece: a login it cannot send,
// a server nobody listens on. Its end's handler destroys it, as a download
// in pieces does with a connection that ended.
#include "download/piece_fetcher.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "download/download_job.h"
#include "tests/support/event_wait.h"
#include "tests/support/loopback.h"

namespace quillon {
namespace {

TEST(PieceFetcherTest, FtpEndsBeforeAPieceAndMayBeDestroyedInItsEnd) {
  const std::string closed = "127.0.0.1:" + std::to_string(testing::ClosedPort());
  const struct {
    std::string url;
    std::string reason;
  } cases[] = {
      {"ftp://bob@" + closed + "/f.bin", "could not connect or log in"},
      {"ftp://" + closed + "/f.bin", "connection refused (127.0.0.1 port " + closed.substr(10) + ")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    TPieceSource source;
    source.url = c.url;
    source.part_name = "f.bin.part";
    source.ftp_created = [](TFtpClient*) { return true; };
    std::unique_ptr<TPieceFetcher> fetcher = MakePieceFetcher(source);
    ASSERT_TRUE(fetcher->Open());
    ASSERT_NE(fetcher->Ftp(), nullptr);
    TPieceFetcher::TEnd seen;
    fetcher->OnAnswer = [](const TPieceFetcher::TAnswer&, int64_t&) -> TStream* { return nullptr; };
    fetcher->OnEnd = [&](const TPieceFetcher::TEnd& end) {
      seen = end;
      fetcher.reset();
    };
    fetcher->Fetch(0, 1000, "");
    ASSERT_TRUE(testing::RunUntil([&] { return fetcher == nullptr; }));
    EXPECT_FALSE(seen.answered);
    EXPECT_FALSE(seen.no_parts);
    EXPECT_EQ(seen.reason, c.reason);
  }
}

}  // namespace
}  // namespace quillon
