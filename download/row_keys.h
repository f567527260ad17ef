// The keys of the download list: what a key pressed while the list has the
// focus does to the focused row. Up and Down (Home and End) move the focus
// between rows; Space pauses or resumes the focused row, Enter (also on the
// keypad) opens its finished file, Delete removes it (cancelling a running
// download after asking), Ctrl+Shift+O shows it in its folder. Any other key,
// or one of these with other modifiers (the keypad's aside), is none of the
// list's.
#pragma once

#include <Qt>

namespace quillon {

enum class TRowKeyAction { kNone, kPrevious, kNext, kFirst, kLast, kPauseResume, kOpen, kRemove, kShowInFolder };

TRowKeyAction RowKeyAction(int key, Qt::KeyboardModifiers modifiers);

}  // namespace quillon
