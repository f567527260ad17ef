#include "platform/settings_store.h"

#include <QSettings>

#include <memory>

namespace quillon {

namespace {

QString& TestFile() {
  static QString path;
  return path;
}

std::unique_ptr<QSettings> OpenStore() {
  if (!TestFile().isEmpty()) return std::make_unique<QSettings>(TestFile(), QSettings::IniFormat);
  return std::make_unique<QSettings>(QSettings::UserScope, QStringLiteral("Marrowby"),
                                     QStringLiteral("Quillon"));
}

}  // namespace

std::optional<QString> TSettingsStore::ReadString(const QString& value_name) {
  auto store = OpenStore();
  if (store->status() != QSettings::NoError) return std::nullopt;
  const QVariant v = store->value(value_name);
  if (!v.isValid()) return std::nullopt;
  return v.toString();
}

bool TSettingsStore::WriteString(const QString& value_name, const QString& value) {
  auto store = OpenStore();
  if (!store->isWritable()) return false;
  store->setValue(value_name, value);
  store->sync();
  return store->status() == QSettings::NoError;
}

void TSettingsStore::UseFileForTesting(const QString& path) { TestFile() = path; }

}  // namespace quillon
