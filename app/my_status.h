// TmyStatusBar: the window's status bar: one line of text without panels, and
// room for other controls placed on it. At its right it says the download
// list's traffic (SetTraffic): the speed limit in force and how many
// downloads wait their turn, "Limited to 2.00MB/sec. · 3 queued" (either part
// alone; nothing when neither).
#pragma once

#include <QStatusBar>

#include <cstdint>

class QLabel;

namespace quillon {

class TmyStatusBar : public QStatusBar {
 public:
  explicit TmyStatusBar(QWidget* parent = nullptr);

  QString SimpleText() const;
  void SetSimpleText(const QString& text);

  // `limit` bytes a second (0: none), `queued` downloads waiting.
  void SetTraffic(int64_t limit, int queued);
  QString TrafficText() const;

 private:
  QLabel* text_;
  QLabel* traffic_;
};

}  // namespace quillon
