// The application object and the default exception report. An exception that
// leaves an event handler is caught where the event was delivered and shown in
// a message box with its message; the handler that raised stops there and the
// program goes on.
#pragma once

#include <QApplication>

#include <exception>
#include <functional>
#include <stdexcept>

namespace quillon {

// Shows `error`'s message in an error message box (through ShowMessageBox, so
// tests see it as a request).
void ShowExceptionReport(const std::exception& error);

// Runs `handler`; an exception it raises is shown by ShowExceptionReport.
// Returns false when it raised.
bool RunHandler(const std::function<void()>& handler);

class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv);

  // The application title, shown as the caption of message boxes.
  static void SetTitle(const QString& title);

  // Every event goes through here: exceptions from its handlers are reported.
  bool notify(QObject* receiver, QEvent* event) override;

  // What notify does, on any application object: delivers the event through
  // QApplication::notify and reports an exception that its handler raised
  // (the event then counts as not handled).
  static bool GuardedNotify(QApplication& app, QObject* receiver, QEvent* event);
};

}  // namespace quillon
