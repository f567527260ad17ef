// The program's dialogs: message boxes, the save-file dialog and modal windows.
// Each goes through a replaceable function, so that tests answer instead of a
// person and nothing waits for input.
#pragma once

#include <QString>

#include <functional>
#include <optional>

class QDialog;
class QWidget;

namespace quillon {

// mbReplaceKeepBothCancel: "Replace", "Keep both" (the default) and "Cancel"
// (also Escape and closing the box), for a file that exists already.
enum class TMsgButtons { mbOK, mbYesNo, mbReplaceKeepBothCancel };
enum class TMsgIcon { miNone, miInformation, miQuestion, miWarning, miError };
enum class TMsgResult { mrOk, mrYes, mrNo, mrReplace, mrKeepBoth, mrCancel };

struct TMessageBoxRequest {
  QWidget* parent = nullptr;
  QString text;
  QString caption;  // empty: the application title
  TMsgButtons buttons = TMsgButtons::mbOK;
  TMsgIcon icon = TMsgIcon::miNone;
  bool default_no = false;  // Yes/No: No, not Yes, is the default button
};

// Shows a modal message box and returns the button pressed. Closing the box
// without a button answers No for Yes/No, Cancel for Replace/Keep both/Cancel
// and OK otherwise.
TMsgResult ShowMessageBox(const TMessageBoxRequest& request);

struct TSaveDialogRequest {
  QWidget* parent = nullptr;
  QString folder;     // folder shown first
  QString file_name;  // name proposed
};

// The save-file dialog: the full path the user chose, or absent when the user
// cancelled. No filter, no title and no overwrite question.
std::optional<QString> ShowSaveDialog(const TSaveDialogRequest& request);

// Runs a dialog modally; returns its result code.
int ExecModal(QDialog& dialog);

// Replacements; an empty function restores the real dialog.
using MessageBoxHook = std::function<TMsgResult(const TMessageBoxRequest&)>;
using SaveDialogHook = std::function<std::optional<QString>(const TSaveDialogRequest&)>;
using ExecModalHook = std::function<int(QDialog&)>;
void SetMessageBoxHook(MessageBoxHook hook);
void SetSaveDialogHook(SaveDialogHook hook);
void SetExecModalHook(ExecModalHook hook);

}  // namespace quillon
