// Test helpers for files: a temporary folder removed with its content when the
// helper goes, and whole-file reads and writes.
#pragma once

#include <string>

namespace quillon::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);

// The source tree, for fixtures (QUILLON_SOURCE_DIR, set by CTest).
std::string SourceDir();

}  // namespace quillon::testing
