#include "platform/widgets/application.h"

#include "platform/ansi_text.h"
#include "platform/widgets/dialogs.h"

namespace quillon {

void ShowExceptionReport(const std::exception& error) {
  TMessageBoxRequest request;
  request.text = MessageToQString(error.what());
  request.icon = TMsgIcon::miError;
  ShowMessageBox(request);
}

bool RunHandler(const std::function<void()>& handler) {
  try {
    handler();
    return true;
  } catch (const std::exception& e) {
    ShowExceptionReport(e);
  } catch (...) {
    ShowExceptionReport(std::runtime_error("Unknown exception"));
  }
  return false;
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

void TApplication::SetTitle(const QString& title) { QCoreApplication::setApplicationName(title); }

bool TApplication::notify(QObject* receiver, QEvent* event) { return GuardedNotify(*this, receiver, event); }

bool TApplication::GuardedNotify(QApplication& app, QObject* receiver, QEvent* event) {
  bool result = false;
  RunHandler([&] { result = app.QApplication::notify(receiver, event); });
  return result;
}

}  // namespace quillon
