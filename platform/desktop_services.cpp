#include "platform/desktop_services.h"

#include <QDesktopServices>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

namespace quillon {

namespace {

DesktopFolderHook& FolderHook() {
  static DesktopFolderHook hook;
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

}  // namespace

QString DesktopFolder() {
  if (FolderHook()) return FolderHook()();
  return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
}

bool OpenWithDesktop(const QString& url_or_file) {
  if (OpenHook()) return OpenHook()(url_or_file);
  // A text with a scheme ("http:", "ftp:", "file:") is a URL; anything else a
  // local file name.
  const QUrl url(url_or_file, QUrl::TolerantMode);
  if (url.isValid() && url.scheme().size() > 1) return QDesktopServices::openUrl(url);
  return QDesktopServices::openUrl(QUrl::fromLocalFile(url_or_file));
}

bool OpenUrlWithDesktop(const QString& url) {
  if (OpenHook()) return OpenHook()(url);
  const QUrl parsed(url, QUrl::TolerantMode);
  if (!parsed.isValid() || parsed.scheme().size() < 2) return false;
  return QDesktopServices::openUrl(parsed);
}

QIcon FileIcon(const QString& file_name) {
  if (IconHook()) return IconHook()(file_name);
  static QFileIconProvider provider;
  return provider.icon(QFileInfo(file_name));
}

void SetDesktopFolderHook(DesktopFolderHook hook) { FolderHook() = std::move(hook); }
void SetOpenWithDesktopHook(OpenWithDesktopHook hook) { OpenHook() = std::move(hook); }
void SetFileIconHook(FileIconHook hook) { IconHook() = std::move(hook); }

}  // namespace quillon
