// What the program asks of the user's desktop: the download folder, opening a
// URL or a file with the application the desktop associates with it, showing
// a file in its folder, and a file's icon. Each can be replaced (tests replace all of them, so that nothing
// is launched and the user's desktop is never read).
#pragma once

#include <QIcon>
#include <QString>

#include <functional>

class QWidget;

namespace quillon {

// The folder a download starts in when none was saved, without a trailing
// "/": the user's download folder, XDG_DOWNLOAD_DIR from
// ${XDG_CONFIG_HOME:-~/.config}/user-dirs.dirs with $HOME expanded, else
// ~/Downloads. The folder is neither checked nor made here. Empty when there
// is none (a replacement may say so).
QString DownloadFolder();

// Hands a URL ("http://...", "file:///...") or a local file name to the
// desktop, which opens it with the user's preferred application (a web page in
// the browser). Returns false when the desktop refused at once (no opener
// installed). The opener runs in the background; when it reports later that no
// program is set up for the file or link, `on_no_program` runs from the event
// loop.
bool OpenWithDesktop(const QString& url_or_file, std::function<void()> on_no_program = {});

// OpenWithDesktop, and a message box over `parent` ("No program is set up to
// open WHAT.") when the desktop has no program for it, at once or later. A
// parent that is gone by then leaves the box without owner.
void OpenWithDesktopOrSay(QWidget* parent, const QString& url_or_file, const QString& what);

// Shows `file` selected in its folder: the desktop's file manager is asked over
// the session bus (org.freedesktop.FileManager1.ShowItems with the file's
// file:// URI). When no file manager owns that name, or the call fails, the
// folder is opened with OpenWithDesktopOrSay over `parent` instead. Returns at
// once: the file manager answers through the event loop.
void ShowInFolder(QWidget* parent, const QString& file);

// The icon the desktop shows for a file.
QIcon FileIcon(const QString& file_name);

// Replacements; an empty function restores the desktop's own service.
using DownloadFolderHook = std::function<QString()>;
using OpenWithDesktopHook = std::function<bool(const QString&)>;
using FileIconHook = std::function<QIcon(const QString&)>;
using ShowInFolderHook = std::function<void(const QString& file)>;
void SetDownloadFolderHook(DownloadFolderHook hook);
void SetOpenWithDesktopHook(OpenWithDesktopHook hook);
void SetFileIconHook(FileIconHook hook);
void SetShowInFolderHook(ShowInFolderHook hook);

}  // namespace quillon
