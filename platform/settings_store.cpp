#include "platform/settings_store.h"

#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <memory>

namespace quillon {

namespace {

QString& TestFile() {
  static QString path;
  return path;
}

QString& Scope() {
  static QString scope;
  return scope;
}

// The store every catalogue shared before stores were per catalogue.
std::unique_ptr<QSettings> OpenSharedStore() {
  if (!TestFile().isEmpty()) return std::make_unique<QSettings>(TestFile(), QSettings::IniFormat);
  return std::make_unique<QSettings>(QSettings::UserScope, QStringLiteral("Marrowby"),
                                     QStringLiteral("Quillon"));
}

std::unique_ptr<QSettings> OpenStore() {
  if (Scope().isEmpty()) return OpenSharedStore();
  const QString folder = !TestFile().isEmpty()
                             ? QFileInfo(TestFile()).path()
                             : QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                                   QStringLiteral("/quillon");
  return std::make_unique<QSettings>(folder + QLatin1Char('/') + Scope() + QStringLiteral(".conf"),
                                     QSettings::IniFormat);
}

std::optional<QString> Read(QSettings& store, const QString& value_name) {
  if (store.status() != QSettings::NoError) return std::nullopt;
  const QVariant v = store.value(value_name);
  if (!v.isValid()) return std::nullopt;
  return v.toString();
}

}  // namespace

std::optional<QString> TSettingsStore::ReadString(const QString& value_name) {
  if (auto value = Read(*OpenStore(), value_name)) return value;
  if (Scope().isEmpty()) return std::nullopt;
  return Read(*OpenSharedStore(), value_name);
}

bool TSettingsStore::WriteString(const QString& value_name, const QString& value) {
  auto store = OpenStore();
  if (!store->isWritable()) return false;
  store->setValue(value_name, value);
  store->sync();
  return store->status() == QSettings::NoError;
}

void TSettingsStore::SetScope(const QString& scope) { Scope() = scope; }

void TSettingsStore::UseFileForTesting(const QString& path) {
  TestFile() = path;
  Scope().clear();
}

}  // namespace quillon
