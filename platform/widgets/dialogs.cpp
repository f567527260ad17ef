#include "platform/widgets/dialogs.h"

#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

namespace quillon {

namespace {

MessageBoxHook& BoxHook() {
  static MessageBoxHook hook;
  return hook;
}
SaveDialogHook& SaveHook() {
  static SaveDialogHook hook;
  return hook;
}
ExecModalHook& ModalHook() {
  static ExecModalHook hook;
  return hook;
}

QMessageBox::Icon BoxIcon(TMsgIcon icon) {
  switch (icon) {
    case TMsgIcon::miInformation: return QMessageBox::Information;
    case TMsgIcon::miQuestion: return QMessageBox::Question;
    case TMsgIcon::miWarning: return QMessageBox::Warning;
    case TMsgIcon::miError: return QMessageBox::Critical;
    case TMsgIcon::miNone: break;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

TMsgResult ShowMessageBox(const TMessageBoxRequest& request) {
  if (BoxHook()) return BoxHook()(request);
  if (request.buttons == TMsgButtons::mbReplaceKeepBothCancel) {
    QMessageBox box(BoxIcon(request.icon),
                    request.caption.isEmpty() ? QCoreApplication::applicationName() : request.caption,
                    request.text, QMessageBox::NoButton, request.parent);
    box.setTextFormat(Qt::PlainText);
    QPushButton* replace = box.addButton(QStringLiteral("Replace"), QMessageBox::DestructiveRole);
    QPushButton* keep = box.addButton(QStringLiteral("Keep both"), QMessageBox::AcceptRole);
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(keep);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == replace) return TMsgResult::mrReplace;
    if (box.clickedButton() == keep) return TMsgResult::mrKeepBoth;
    return TMsgResult::mrCancel;
  }
  const bool yes_no = request.buttons == TMsgButtons::mbYesNo;
  QMessageBox box(BoxIcon(request.icon),
                  request.caption.isEmpty() ? QCoreApplication::applicationName() : request.caption,
                  request.text,
                  yes_no ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok, request.parent);
  box.setTextFormat(Qt::PlainText);  // file names, URLs and server texts are never markup
  if (yes_no) {
    box.setEscapeButton(QMessageBox::No);
    box.setDefaultButton(request.default_no ? QMessageBox::No : QMessageBox::Yes);
  }
  // Messages carry texts of servers and catalogues: never rich text.
  box.setTextFormat(Qt::PlainText);
  const int answer = box.exec();
  if (!yes_no) return TMsgResult::mrOk;
  return answer == QMessageBox::Yes ? TMsgResult::mrYes : TMsgResult::mrNo;
}

std::optional<QString> ShowSaveDialog(const TSaveDialogRequest& request) {
  if (SaveHook()) return SaveHook()(request);
  const QString start = QDir(request.folder).filePath(request.file_name);
  const QString chosen = QFileDialog::getSaveFileName(request.parent, QString(), start, QString(),
                                                      nullptr, QFileDialog::DontConfirmOverwrite);
  if (chosen.isEmpty()) return std::nullopt;
  return chosen;
}

int ExecModal(QDialog& dialog) {
  if (ModalHook()) return ModalHook()(dialog);
  return dialog.exec();
}

void SetMessageBoxHook(MessageBoxHook hook) { BoxHook() = std::move(hook); }
void SetSaveDialogHook(SaveDialogHook hook) { SaveHook() = std::move(hook); }
void SetExecModalHook(ExecModalHook hook) { ModalHook() = std::move(hook); }

}  // namespace quillon
