// The keys of the download list: what a key pressed while the list has the
// focus does to the focused row. Up and Down (Home and End) move the focus
// between rows; Space pauses or resumes the focused row, Enter (also on the
// keypad) opens its finished file, and either starts a row again that offers
// a start (failed, cancelled, its file gone); Ctrl+. (period) cancels its
// download and keeps the row, Delete removes it (cancelling a running
// download after asking), Ctrl+Shift+O shows it in its folder, Shift+F10
// opens the list's menu as the Menu key does, Ctrl+Up moves a row that waits
// its turn one place earlier in line. Escape is the list's too: it
// does nothing there (the window would take it for Back). Any other key, or
// one of these with other modifiers (the keypad's aside), is none of the
// list's.
#pragma once

#include <Qt>

namespace quillon {

enum class TRowKeyAction {
  kNone,
  kPrevious,
  kNext,
  kFirst,
  kLast,
  kPauseResume,
  kOpen,
  kCancel,
  kRemove,
  kShowInFolder,
  kMenu,
  kMoveUp,
  kStay,  // kept by the list, without an effect
};

TRowKeyAction RowKeyAction(int key, Qt::KeyboardModifiers modifiers);

}  // namespace quillon
