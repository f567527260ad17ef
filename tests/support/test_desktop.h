// For tests: replaces every desktop service and dialog for the lifetime of the
// object, so that nothing is launched, shown or read from the user's desktop.
// Requests are recorded; dialogs are answered with the values set here.
#pragma once

#include <QSize>
#include <QString>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/widgets/desktop_notifications.h"
#include "platform/widgets/dialogs.h"

class QDialog;

namespace quillon {

class TTestDesktop {
 public:
  // `settings_file`: the ini file that stands in for the user's settings store.
  explicit TTestDesktop(const std::string& settings_file);
  ~TTestDesktop();
  TTestDesktop(const TTestDesktop&) = delete;
  TTestDesktop& operator=(const TTestDesktop&) = delete;

  // Answers and values the replaced services give.
  QString download_folder;                   // empty: no download folder
  bool open_answer = true;                    // false: no program is set up to open it
  TMsgResult message_box_answer = TMsgResult::mrYes;
  std::optional<QString> save_dialog_answer;  // absent: the user cancels
  int modal_result = 0;
  std::function<void(QDialog&)> on_modal;   // looks at a modal dialog while it runs

  // What was asked.
  std::vector<TMessageBoxRequest> message_boxes;
  std::vector<TSaveDialogRequest> save_dialogs;
  std::vector<QString> opened;               // URLs and files handed to the desktop
  std::vector<QString> shown_in_folder;      // files shown in their folders
  std::vector<TDesktopNotification> notifications;  // on_action picks an action
  std::vector<QString> modal_captions;       // window titles of modal dialogs run
  std::vector<QSize> modal_client_sizes;     // their client sizes when run
};

}  // namespace quillon
