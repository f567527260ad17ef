// What a download row's look says about its transfer: the job reports the
// role, the row's widget turns it into a colour of the desktop's palette
// (RowRoleColor in rows/colors.h), so a light and a dark theme both work.
#pragma once

namespace quillon {

enum class TRowRole {
  kNormal,    // no outcome yet: the list's own colour
  kPaused,    // a transfer the user paused: looks like a normal row
  kFailed,    // failed or cancelled: tinted light pink (dark red on a dark theme)
  kFinished,  // the file is complete: tinted light grey (lighter grey on a dark theme)
};

}  // namespace quillon
