// The program's per-user settings: named text values kept for the user by the
// desktop, one store per catalogue, so that the programs of different
// publishers never share them. The store of scope S is the file
// $XDG_CONFIG_HOME/quillon/S.conf; a value it lacks is read from the store
// that every catalogue shared before (QSettings, organisation "Marrowby",
// application "Quillon"), which is never written again. Without a scope that
// shared store is used.
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

  // The catalogue whose store is used from now on: a name fit for a file
  // name (the window's catalogue key); empty for none.
  static void SetScope(const QString& scope);

  // Tests: the ini file `path` stands in for the shared store and the files
  // SCOPE.conf beside it for the catalogues' stores; the scope is reset. An
  // empty path returns to the user's stores.
  static void UseFileForTesting(const QString& path);
};

}  // namespace quillon
