// download_rows_bench URL DEST_DIR COUNT: runs COUNT download rows of one
// download list at once, all fetching URL into DEST_DIR/<n>.bin, headless, and
// prints the total time and the event loop's longest stall while they ran
// (measured by a 1 ms timer: the longest time between two of its ticks).
// bench/download_rows_bench.sh starts nginx and compares with curl.
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>
#include <string>
#include <vector>

#include "download/dl_scroll_box.h"
#include "download/dl_visual_panel.h"

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
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

  std::vector<quillon::TDLVisualPanel*> rows;
  clock.start();
  for (int i = 0; i < count; ++i) {
    auto* row = list.AddDownload(url, dest + "/" + std::to_string(i) + ".bin");
    row->SetCancelCaption("Cancel");
    row->StartDownload();
    rows.push_back(row);
  }
  ticker.start(1);
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
  std::printf("rows: %d downloads, %d complete, %.2f s, longest event-loop stall %.1f ms\n", count, complete,
              seconds, longest_stall / 1e6);
  return complete == count ? 0 : 1;
}
