// Notifications and "Show in folder" against services on the session bus.
// The tests own well-known names there, so they run only on a private bus:
// the platform_bus_tests entry starts one with dbus-run-session and sets
// QUILLON_PRIVATE_BUS.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QFileInfo>
#include <QStringList>
#include <QUrl>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/widgets/desktop_notifications.h"
#include "platform/widgets/desktop_services.h"
#include "tests/support/event_wait.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_desktop.h"

namespace quillon {
namespace {

using testing::RunUntil;

// A service on a connection of its own: its object records every call and
// answers with `answer` (a plain reply when empty).
class BusService : public QDBusVirtualObject {
 public:
  using Answer = std::function<QDBusMessage(const QDBusMessage& call)>;
  BusService(const QString& name, const QString& path, Answer answer = {})
      : bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, name)), name_(name), answer_(std::move(answer)) {
    registered_ = bus_.registerVirtualObject(path, this) && bus_.registerService(name);
  }
  ~BusService() override {
    bus_.unregisterService(name_);
    bus_.unregisterObject(QStringLiteral("/"), QDBusConnection::UnregisterTree);
    QDBusConnection::disconnectFromBus(name_);
  }
  bool Registered() const { return registered_; }
  void Emit(const QString& path, const QString& interface, const QString& name, const QVariantList& args) {
    QDBusMessage signal = QDBusMessage::createSignal(path, interface, name);
    signal.setArguments(args);
    bus_.send(signal);
  }

  bool handleMessage(const QDBusMessage& call, const QDBusConnection& connection) override {
    calls.push_back(call);
    connection.send(answer_ ? answer_(call) : call.createReply());
    return true;
  }
  QString introspect(const QString&) const override { return {}; }

  std::vector<QDBusMessage> calls;

 private:
  QDBusConnection bus_;
  QString name_;
  Answer answer_;
  bool registered_ = false;
};

class DesktopBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!qEnvironmentVariableIsSet("QUILLON_PRIVATE_BUS"))
      GTEST_SKIP() << "no private session bus: these tests run under dbus-run-session (ctest's "
                      "platform_bus_tests; skipped there too when dbus-run-session is missing)";
    ASSERT_TRUE(QDBusConnection::sessionBus().isConnected());
  }
};

const QString kNotifications = QStringLiteral("org.freedesktop.Notifications");
const QString kNotificationsPath = QStringLiteral("/org/freedesktop/Notifications");

TEST_F(DesktopBusTest, NotificationReachesTheServiceAndItsActionComesBack) {
  uint next_id = 7;
  auto service = std::make_unique<BusService>(kNotifications, kNotificationsPath, [&](const QDBusMessage& call) {
    return call.createReply(QVariantList{QVariant::fromValue(next_id++)});
  });
  ASSERT_TRUE(service->Registered());
  TDesktopNotifier notifier;
  std::vector<QString> picked;
  TDesktopNotification n;
  n.summary = QStringLiteral("a<b>&c.zip");
  n.body = QStringLiteral("Download failed: <html> & more");
  n.actions = {{"open", "Open"}, {"show-in-folder", "Show in folder"}};
  n.on_action = [&](const QString& key) { picked.push_back(key); };
  ASSERT_TRUE(notifier.Notify(n));
  ASSERT_TRUE(RunUntil([&] { return notifier.OpenCount() == 1; }));
  ASSERT_EQ(service->calls.size(), 1u);
  const QDBusMessage& call = service->calls[0];
  EXPECT_EQ(call.interface(), kNotifications);
  EXPECT_EQ(call.member(), "Notify");
  const QVariantList args = call.arguments();
  ASSERT_EQ(args.size(), 8);
  EXPECT_EQ(args[1].toUInt(), 0u);  // replaces nothing
  EXPECT_EQ(args[3].toString(), "a<b>&c.zip");  // the summary is plain text by definition
  EXPECT_EQ(args[4].toString(), "Download failed: &lt;html&gt; &amp; more");
  EXPECT_EQ(args[5].toStringList(), (QStringList{"open", "Open", "show-in-folder", "Show in folder"}));
  EXPECT_EQ(args[7].toInt(), -1);

  // Another client's notification is none of ours; ours runs its action once.
  service->Emit(kNotificationsPath, kNotifications, "ActionInvoked", {QVariant::fromValue(uint{99}), "open"});
  service->Emit(kNotificationsPath, kNotifications, "ActionInvoked", {QVariant::fromValue(uint{7}), "show-in-folder"});
  ASSERT_TRUE(RunUntil([&] { return !picked.empty(); }));
  EXPECT_EQ(picked, std::vector<QString>{"show-in-folder"});
  EXPECT_EQ(notifier.OpenCount(), 0u);

  // A closed notification is forgotten.
  ASSERT_TRUE(notifier.Notify(n));
  ASSERT_TRUE(RunUntil([&] { return notifier.OpenCount() == 1; }));
  service->Emit(kNotificationsPath, kNotifications, "NotificationClosed",
                {QVariant::fromValue(uint{8}), QVariant::fromValue(uint{2})});
  ASSERT_TRUE(RunUntil([&] { return notifier.OpenCount() == 0; }));

  // Without a service nothing is sent and nothing is said.
  service.reset();
  ASSERT_TRUE(RunUntil([] { return !QDBusConnection::sessionBus().interface()->isServiceRegistered(kNotifications); }));
  EXPECT_FALSE(notifier.Notify(n));
  EXPECT_EQ(notifier.OpenCount(), 0u);
}

TEST_F(DesktopBusTest, ShowInFolderAsksTheFileManagerElseOpensTheFolder) {
  testing::TempDir dir;
  TTestDesktop desktop(dir.File("s.ini"));
  SetShowInFolderHook(nullptr);  // the real service; opening the folder stays recorded
  const QString file = QString::fromStdString(dir.File("a b\u00E9.zip"));
  const QString folder = QFileInfo(file).absolutePath();
  const QString uri = "file://" + QString::fromUtf8(QUrl::toPercentEncoding(file, "/"));
  const QString manager = QStringLiteral("org.freedesktop.FileManager1");
  enum class Manager { kNone, kAnswers, kRefuses };
  for (const Manager m : {Manager::kNone, Manager::kAnswers, Manager::kRefuses}) {
    SCOPED_TRACE(static_cast<int>(m));
    desktop.opened.clear();
    std::unique_ptr<BusService> service;
    if (m != Manager::kNone) {
      service = std::make_unique<BusService>(manager, "/org/freedesktop/FileManager1", [m](const QDBusMessage& call) {
        return m == Manager::kAnswers ? call.createReply() : call.createErrorReply(QDBusError::Failed, "no");
      });
      ASSERT_TRUE(service->Registered());
    }
    ShowInFolder(nullptr, file);
    if (m == Manager::kAnswers) {
      ASSERT_TRUE(RunUntil([&] { return service->calls.size() == 1; }));
      EXPECT_EQ(service->calls[0].member(), "ShowItems");
      EXPECT_EQ(service->calls[0].arguments(), (QVariantList{QStringList{uri}, QString()}));
    } else {
      ASSERT_TRUE(RunUntil([&] { return !desktop.opened.empty(); }));
      EXPECT_EQ(desktop.opened, std::vector<QString>{folder});
    }
  }
}

}  // namespace
}  // namespace quillon
