// What assistive technology (screen readers, through Qt's accessibility and
// AT-SPI) learns of the download list, where Qt's own description of the
// widgets says too little:
// - the list (TDLScrollBox) is a List named "Downloads" whose children are its
//   rows, top first, and its close button while shown; the selected row is
//   its focus child while the list has the focus;
// - a row (TDLVisualPanel) is a ListItem named by its file name (the URL
//   while it has none) whose description is its status text; it is
//   selectable, and selected and focused as the list shows it;
// - the cylinder (TProgressCyl) is a ProgressBar named "Progress" with a
//   value interface: Min..Max (0..100 in a row) and its position; a row's
//   running download of unknown length is busy (minimum = maximum = 0);
// - a link (TClickLabel marked Link) is a push button with its caption whose
//   press action clicks it.
// InstallDownloadAccessibility installs this once; the list and the row call
// it, so every window that has them has it.
#pragma once

namespace quillon {

void InstallDownloadAccessibility();

}  // namespace quillon
