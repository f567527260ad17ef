#include "rows/row_keys.h"

namespace quillon {

namespace {

struct TRowKey {
  int key;
  Qt::KeyboardModifiers modifiers;
  TRowKeyAction action;
};

constexpr TRowKey kRowKeys[] = {
    {Qt::Key_Up, Qt::NoModifier, TRowKeyAction::kPrevious},
    {Qt::Key_Down, Qt::NoModifier, TRowKeyAction::kNext},
    {Qt::Key_Home, Qt::NoModifier, TRowKeyAction::kFirst},
    {Qt::Key_End, Qt::NoModifier, TRowKeyAction::kLast},
    {Qt::Key_Space, Qt::NoModifier, TRowKeyAction::kPauseResume},
    {Qt::Key_Return, Qt::NoModifier, TRowKeyAction::kOpen},
    {Qt::Key_Enter, Qt::NoModifier, TRowKeyAction::kOpen},
    {Qt::Key_Delete, Qt::NoModifier, TRowKeyAction::kRemove},
    {Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier, TRowKeyAction::kShowInFolder},
    {Qt::Key_Period, Qt::ControlModifier, TRowKeyAction::kCancel},
    {Qt::Key_F10, Qt::ShiftModifier, TRowKeyAction::kMenu},
    {Qt::Key_Up, Qt::ControlModifier, TRowKeyAction::kMoveUp},
    {Qt::Key_Escape, Qt::NoModifier, TRowKeyAction::kStay},
};

}  // namespace

TRowKeyAction RowKeyAction(int key, Qt::KeyboardModifiers modifiers) {
  // The arrows, Home, End, Enter, Delete and period of the keypad carry the
  // keypad modifier: they are the same keys.
  modifiers &= ~Qt::KeypadModifier;
  for (const TRowKey& k : kRowKeys)
    if (k.key == key && k.modifiers == modifiers) return k.action;
  return TRowKeyAction::kNone;
}

}  // namespace quillon
