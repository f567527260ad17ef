#include "platform/widgets/desktop_services.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QPointer>
#include <QProcess>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>
#include <QWidget>

#include "platform/widgets/dialogs.h"

namespace quillon {

namespace {

// The opener's exit status when no program is set up for the target.
constexpr int kOpenerNoMethod = 3;

DownloadFolderHook& FolderHook() {
  static DownloadFolderHook hook;
  return hook;
}
OpenWithDesktopHook& OpenHook() {
  static OpenWithDesktopHook hook;
  return hook;
}
FileIconHook& IconHook() {
  static FileIconHook hook;
  return hook;
}
ShowInFolderHook& FolderShowHook() {
  static ShowInFolderHook hook;
  return hook;
}

}  // namespace

QString DownloadFolder() {
  if (FolderHook()) return FolderHook()();
  // Qt reads user-dirs.dirs the way the XDG user folders are defined.
  return QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
}

bool OpenWithDesktop(const QString& url_or_file, std::function<void()> on_no_program) {
  if (OpenHook()) return OpenHook()(url_or_file);
  // A text with a scheme ("http:", "ftp:", "file:") is a URL; anything else a
  // local file name.
  const QUrl url(url_or_file, QUrl::TolerantMode);
  const QString target = url.isValid() && url.scheme().size() > 1 ? url.toString(QUrl::FullyEncoded)
                                                                    : QFileInfo(url_or_file).absoluteFilePath();
  // The desktop's opener says by its exit status whether a program took the
  // target: 3 means that none is set up for it. It may also keep running as
  // long as the program it started, so nothing waits for it here.
  auto* opener = new QProcess(QCoreApplication::instance());
  QObject::connect(opener, &QProcess::finished, opener,
                   [opener, on_no_program](int code, QProcess::ExitStatus status) {
                     opener->deleteLater();
                     if (status == QProcess::NormalExit && code == kOpenerNoMethod && on_no_program) on_no_program();
                   });
  opener->setProgram(QStringLiteral("xdg-open"));
  opener->setArguments({target});
  opener->setStandardOutputFile(QProcess::nullDevice());
  opener->setStandardErrorFile(QProcess::nullDevice());
  opener->start();
  if (!opener->waitForStarted()) {
    delete opener;
    return false;
  }
  return true;
}

void OpenWithDesktopOrSay(QWidget* parent, const QString& url_or_file, const QString& what) {
  QPointer<QWidget> owner(parent);
  auto say = [owner, what] {
    TMessageBoxRequest request;
    request.parent = owner.data();
    request.text = QStringLiteral("No program is set up to open ") + what + QStringLiteral(".");
    request.icon = TMsgIcon::miWarning;
    ShowMessageBox(request);
  };
  if (!OpenWithDesktop(url_or_file, say)) say();
}

void ShowInFolder(QWidget* parent, const QString& file) {
  if (FolderShowHook()) return FolderShowHook()(file);
  const QString path = QFileInfo(file).absoluteFilePath();
  const QString folder = QFileInfo(path).absolutePath();
  QPointer<QWidget> owner(parent);
  auto open_folder = [owner, folder] { OpenWithDesktopOrSay(owner.data(), folder, folder); };
  const QString manager = QStringLiteral("org.freedesktop.FileManager1");
  QDBusConnection bus = QDBusConnection::sessionBus();
  // Asking a name nobody owns would fail (or wait for the bus to start a
  // program): the folder is opened at once instead.
  const QDBusConnectionInterface* names = bus.isConnected() ? bus.interface() : nullptr;
  if (names == nullptr || !names->isServiceRegistered(manager).value()) return open_folder();
  QDBusMessage call =
      QDBusMessage::createMethodCall(manager, QStringLiteral("/org/freedesktop/FileManager1"), manager,
                                     QStringLiteral("ShowItems"));
  // The file's URI, and no startup notification id.
  call << QStringList{QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded)} << QString();
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), QCoreApplication::instance());
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                   [open_folder](QDBusPendingCallWatcher* w) {
                     w->deleteLater();
                     if (w->isError()) open_folder();
                   });
}

QIcon FileIcon(const QString& file_name) {
  if (IconHook()) return IconHook()(file_name);
  static QFileIconProvider provider;
  return provider.icon(QFileInfo(file_name));
}

void SetDownloadFolderHook(DownloadFolderHook hook) { FolderHook() = std::move(hook); }
void SetOpenWithDesktopHook(OpenWithDesktopHook hook) { OpenHook() = std::move(hook); }
void SetFileIconHook(FileIconHook hook) { IconHook() = std::move(hook); }
void SetShowInFolderHook(ShowInFolderHook hook) { FolderShowHook() = std::move(hook); }

}  // namespace quillon
