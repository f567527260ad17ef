#include "tests/support/test_desktop.h"

#include <QDialog>
#include <QIcon>

#include "platform/widgets/desktop_services.h"
#include "platform/settings_store.h"

namespace quillon {

TTestDesktop::TTestDesktop(const std::string& settings_file) {
  TSettingsStore::UseFileForTesting(QString::fromStdString(settings_file));
  SetDownloadFolderHook([this] { return download_folder; });
  SetOpenWithDesktopHook([this](const QString& target) {
    opened.push_back(target);
    return open_answer;
  });
  SetFileIconHook([](const QString&) { return QIcon(); });
  SetShowInFolderHook([this](const QString& file) { shown_in_folder.push_back(file); });
  TDesktopNotifier::SetHook([this](const TDesktopNotification& n) {
    notifications.push_back(n);
    return true;
  });
  SetMessageBoxHook([this](const TMessageBoxRequest& r) {
    message_boxes.push_back(r);
    if (r.buttons == TMsgButtons::mbOK) return TMsgResult::mrOk;
    return message_box_answer;
  });
  SetSaveDialogHook([this](const TSaveDialogRequest& r) {
    save_dialogs.push_back(r);
    return save_dialog_answer;
  });
  SetExecModalHook([this](QDialog& d) {
    modal_captions.push_back(d.windowTitle());
    modal_client_sizes.push_back(d.size());
    if (on_modal) on_modal(d);
    return modal_result;
  });
}

TTestDesktop::~TTestDesktop() {
  TSettingsStore::UseFileForTesting(QString());
  SetDownloadFolderHook(nullptr);
  SetOpenWithDesktopHook(nullptr);
  SetFileIconHook(nullptr);
  SetShowInFolderHook(nullptr);
  TDesktopNotifier::SetHook(nullptr);
  SetMessageBoxHook(nullptr);
  SetSaveDialogHook(nullptr);
  SetExecModalHook(nullptr);
}

}  // namespace quillon
