#include "platform/widgets/desktop_notifications.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>
#include <QStringList>
#include <QVariantMap>

namespace quillon {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

TDesktopNotifier::THook& Hook() {
  static TDesktopNotifier::THook hook;
  return hook;
}

}  // namespace

TDesktopNotifier::TDesktopNotifier(QObject* parent) : QObject(parent) {}

TDesktopNotifier::TDesktopNotifier(const QDBusConnection& bus, QObject* parent) : QObject(parent), bus_(bus) {}

TDesktopNotifier::~TDesktopNotifier() = default;

void TDesktopNotifier::SetHook(THook hook) { Hook() = std::move(hook); }

QString TDesktopNotifier::EscapeMarkup(const QString& text) {
  QString escaped;
  escaped.reserve(text.size());
  for (const QChar c : text) {
    if (c == QLatin1Char('&')) escaped += QStringLiteral("&amp;");
    else if (c == QLatin1Char('<')) escaped += QStringLiteral("&lt;");
    else if (c == QLatin1Char('>')) escaped += QStringLiteral("&gt;");
    else escaped += c;
  }
  return escaped;
}

QDBusConnection* TDesktopNotifier::Bus() {
  if (!bus_) bus_ = QDBusConnection::sessionBus();
  return bus_->isConnected() ? &*bus_ : nullptr;
}

bool TDesktopNotifier::Notify(TDesktopNotification notification) {
  if (Hook()) return Hook()(notification);
  QDBusConnection* bus = Bus();
  if (bus == nullptr) return false;
  // A service that is not running would make the call fail (or, when the
  // bus can start one, wait for it): without one nothing is shown.
  const QDBusConnectionInterface* names = bus->interface();
  if (names == nullptr || !names->isServiceRegistered(kService).value()) return false;
  if (!subscribed_) {
    bus->connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                 SLOT(ActionInvoked(uint, QString)));
    bus->connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                 SLOT(NotificationClosed(uint, uint)));
    subscribed_ = true;
  }
  QStringList actions;
  for (const auto& [key, caption] : notification.actions) actions << key << caption;
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
  call << QGuiApplication::applicationDisplayName() << uint{0} << QString() << notification.summary
       << EscapeMarkup(notification.body) << actions << QVariantMap() << int{-1};
  auto* watcher = new QDBusPendingCallWatcher(bus->asyncCall(call), this);
  const bool keep = !actions.isEmpty() && notification.on_action;
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, keep, on_action = std::move(notification.on_action)](QDBusPendingCallWatcher* w) {
            w->deleteLater();
            const QDBusPendingReply<uint> reply = *w;
            if (keep && reply.isValid()) open_[reply.value()] = on_action;
          });
  return true;
}

void TDesktopNotifier::ActionInvoked(uint id, const QString& key) {
  const auto it = open_.find(id);
  if (it == open_.end()) return;
  // Taken out first: the action may end the notifier.
  const std::function<void(const QString&)> on_action = std::move(it->second);
  open_.erase(it);
  on_action(key);
}

void TDesktopNotifier::NotificationClosed(uint id, uint) { open_.erase(id); }

}  // namespace quillon
