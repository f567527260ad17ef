// The program's per-user settings: named text values kept for the user by the
// desktop (QSettings, organisation "Marrowby", application "Quillon").
#pragma once

#include <QString>

#include <optional>

namespace quillon {

class TSettingsStore {
 public:
  // The value, or absent when it does not exist or the store cannot be read.
  static std::optional<QString> ReadString(const QString& value_name);
  // Stores the value at once; false when the store cannot be written.
  static bool WriteString(const QString& value_name, const QString& value);

  // Tests: keep the settings in the ini file `path` instead of the user's
  // store; an empty path returns to the user's store.
  static void UseFileForTesting(const QString& path);
};

}  // namespace quillon
