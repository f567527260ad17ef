// What the program asks of the user's desktop: the desktop folder, opening a
// URL or a file with the application the desktop associates with it, and a
// file's icon. Each can be replaced (tests replace all of them, so that nothing
// is launched and the user's desktop is never read).
#pragma once

#include <QIcon>
#include <QString>

#include <functional>

namespace quillon {

// The user's desktop folder, without a trailing "/"; empty when there is none.
QString DesktopFolder();

// Hands a URL ("http://...", "file:///...") or a local file name to the
// desktop, which opens it with the user's preferred application (a web page in
// the browser). Returns whether the desktop accepted it.
bool OpenWithDesktop(const QString& url_or_file);
// Hands a URL to the desktop, never a local file name: a text that is no
// valid URL with a scheme is refused (false). Shares OpenWithDesktop's hook.
bool OpenUrlWithDesktop(const QString& url);

// The icon the desktop shows for a file.
QIcon FileIcon(const QString& file_name);

// Replacements; an empty function restores the desktop's own service.
using DesktopFolderHook = std::function<QString()>;
using OpenWithDesktopHook = std::function<bool(const QString&)>;
using FileIconHook = std::function<QIcon(const QString&)>;
void SetDesktopFolderHook(DesktopFolderHook hook);
void SetOpenWithDesktopHook(OpenWithDesktopHook hook);
void SetFileIconHook(FileIconHook hook);

}  // namespace quillon
