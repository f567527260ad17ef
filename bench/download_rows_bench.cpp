// download_rows_bench URL DEST_DIR COUNT: runs COUNT download rows of one
// download list at once, all fetching URL into DEST_DIR/<n>.bin, headless, and
// prints what a user of the window feels while they run:
//   - the total time;
//   - the longest stall: the longest time between two ticks of a 1 ms timer;
//   - the 99th percentile of event-loop latency: how late a timer that should
//     fire every 10 ms fires (the time between two of its ticks less 10 ms);
//   - the peak resident memory of the process.
// bench/download_rows_bench.sh starts nginx and compares with curl.
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <sys/resource.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include "rows/dl_scroll_box.h"
#include "rows/dl_visual_panel.h"

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  // The application object took the user's locale; the report is read by
  // scripts, so its numbers keep the C locale's decimal point.
  std::setlocale(LC_NUMERIC, "C");
  if (argc != 4) {
    std::fprintf(stderr, "usage: download_rows_bench URL DEST_DIR COUNT\n");
    return 2;
  }
  const std::string url = argv[1], dest = argv[2];
  const int count = std::atoi(argv[3]);
  QWidget window;
  window.resize(700, 500);
  quillon::TDLScrollBox list(&window);
  list.resize(700, 500);
  window.show();

  QElapsedTimer clock;
  qint64 last_tick = 0, longest_stall = 0;
  QTimer ticker;
  ticker.setTimerType(Qt::PreciseTimer);
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    qint64 now = clock.nsecsElapsed();
    if (last_tick) longest_stall = std::max(longest_stall, now - last_tick);
    last_tick = now;
  });

  // Lateness of a 10 ms timer, in nanoseconds, one entry per tick.
  std::vector<qint64> lateness;
  qint64 last_latency_tick = 0;
  QTimer latency_ticker;
  latency_ticker.setTimerType(Qt::PreciseTimer);
  QObject::connect(&latency_ticker, &QTimer::timeout, [&] {
    qint64 now = clock.nsecsElapsed();
    if (last_latency_tick) lateness.push_back(std::max<qint64>(0, now - last_latency_tick - 10'000'000));
    last_latency_tick = now;
  });

  std::vector<quillon::TDLVisualPanel*> rows;
  clock.start();
  for (int i = 0; i < count; ++i) {
    auto* row = list.AddDownload(url, dest + "/" + std::to_string(i) + ".bin");
    row->SetCancelCaption("Cancel");
    row->StartDownload();
    rows.push_back(row);
  }
  ticker.start(1);
  latency_ticker.start(10);
  QTimer check;
  QObject::connect(&check, &QTimer::timeout, [&] {
    for (auto* r : rows)
      if (r->DownloadInProgress() || r->Job().HttpClient()) return;
    app.quit();
  });
  check.start(5);
  app.exec();
  double seconds = clock.nsecsElapsed() / 1e9;
  int complete = 0;
  for (auto* r : rows) complete += r->StatusLabel->text() == "Download Complete.";
  double p99 = 0;
  if (!lateness.empty()) {
    auto at = lateness.begin() + static_cast<std::ptrdiff_t>((lateness.size() - 1) * 99 / 100);
    std::nth_element(lateness.begin(), at, lateness.end());
    p99 = *at / 1e6;
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf(
      "rows: %d downloads, %d complete, %.2f s, longest event-loop stall %.1f ms, "
      "99th percentile latency %.1f ms, peak memory %.0f MB\n",
      count, complete, seconds, longest_stall / 1e6, p99, usage.ru_maxrss / 1024.0);
  return complete == count ? 0 : 1;
}
