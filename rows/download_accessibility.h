// What assistive technology (screen readers, through Qt's accessibility and
// AT-SPI) learns of the download list, where Qt's own description of the
// widgets says too little:
// - the list (TDLScrollBox) is a List named "Downloads" whose children are its
//   rows, top first, and its close button while shown; the selected row is
//   its focus child while the list has the focus;
// - a row (TDLVisualPanel) is a ListItem named by its file name (the URL
//   while it has none) whose description is its status text, paced by
//   TDescriptionPacer; it is selectable, and selected and focused as the
//   list shows it;
// - the cylinder (TProgressCyl) is a ProgressBar named "Progress" with a
//   value interface: Min..Max (0..100 in a row) and its position; a row's
//   running download of unknown length is busy (minimum = maximum = 0);
// - a link (TClickLabel marked Link) is a push button with its caption whose
//   press action clicks it.
// InstallDownloadAccessibility installs this once; the list and the row call
// it, so every window that has them has it.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

namespace quillon {

void InstallDownloadAccessibility();

// What a row tells a screen reader of its status. A reader that speaks
// description changes would speak every progress report of a running
// download, so while a transfer runs a new text is told at most every
// kInterval milliseconds; a change of state (started, paused, failed,
// complete) and every text of a row that does not run are told at once.
class TDescriptionPacer {
 public:
  static constexpr uint32_t kInterval = 5000;

  // The row's status `text` now; `state` any value that changes with the
  // row's state; `now` a millisecond tick count. True when the told text
  // changed (Told() is the new one).
  bool Offer(const QString& text, int state, bool running, uint32_t now);
  // The text last told; empty before the first.
  const QString& Told() const { return told_; }
  // While a newer text waits to be told: the milliseconds until it may be.
  std::optional<uint32_t> Wait(uint32_t now) const;

  // The tick count rows pace with (platform::GetTickCount); tests replace
  // it, an empty function restores it.
  static uint32_t Now();
  static void SetClockForTesting(std::function<uint32_t()> clock);

 private:
  QString told_;
  int state_ = 0;
  bool any_ = false;      // something was told
  bool waiting_ = false;  // a newer text waits
  uint32_t told_at_ = 0;
};

}  // namespace quillon
