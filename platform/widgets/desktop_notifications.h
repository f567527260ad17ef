// TDesktopNotifier: notifications on the user's desktop ("setup.zip: Download
// complete") through the desktop's notification service,
// org.freedesktop.Notifications on the session bus.
//
// A notification has a summary and a body in plain text; the body is sent
// with '&', '<' and '>' escaped, since a service may render markup in it. It
// may offer actions (key and caption): when the user picks one, the
// notification's on_action runs with its key, from the event loop. The
// service's ActionInvoked and NotificationClosed signals end the record of a
// notification; signals about notifications this notifier did not send are
// ignored.
//
// Without a session bus, or when no service owns the name, Notify shows
// nothing and returns false; nothing is reported to the user. A call the
// service refuses is dropped silently. The only blocking step is asking the
// bus who owns the name; the notification itself is sent without waiting.
//
// Destroying the notifier forgets its notifications (an action picked later
// does nothing). An on_action may destroy the notifier.
//
// A replacement (tests) takes every notification instead of the bus; the
// session bus is then never touched.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace quillon {

struct TDesktopNotification {
  QString summary;
  QString body;
  std::vector<std::pair<QString, QString>> actions;  // key, caption
  std::function<void(const QString& key)> on_action;
};

class TDesktopNotifier : public QObject {
  Q_OBJECT

 public:
  // Sends on the session bus.
  explicit TDesktopNotifier(QObject* parent = nullptr);
  // Sends on `bus` (tests: a connection to a private bus).
  explicit TDesktopNotifier(const QDBusConnection& bus, QObject* parent = nullptr);
  ~TDesktopNotifier() override;

  // Shows `notification`; false when there is no service to show it.
  bool Notify(TDesktopNotification notification);
  // Notifications sent whose actions may still come.
  size_t OpenCount() const { return open_.size(); }

  // Replaces the service: the hook receives every notification and returns
  // what Notify returns. An empty function restores the service.
  using THook = std::function<bool(const TDesktopNotification&)>;
  static void SetHook(THook hook);

  // '&', '<' and '>' as markup entities, so that a service that renders
  // markup shows the text as written.
  static QString EscapeMarkup(const QString& text);

 private Q_SLOTS:
  void ActionInvoked(uint id, const QString& key);
  void NotificationClosed(uint id, uint reason);

 private:
  // The bus, connected on first use; null without one.
  QDBusConnection* Bus();

  std::optional<QDBusConnection> bus_;
  bool subscribed_ = false;
  // By the service's id: what runs when the user picks an action.
  std::map<uint, std::function<void(const QString&)>> open_;
};

}  // namespace quillon
