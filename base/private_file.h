// Small files the program keeps for the user between runs (trust records, the
// download list): read whole with a size limit, and replaced atomically.
//
// ReadPrivateFile(path, max_bytes, what): the file's bytes; std::nullopt when
// there is no file. Throws EPrivateFile with the reason ("it is not a file",
// "it is too large to be WHAT", "it cannot be read: REASON") for anything
// else. A symbolic link at `path` is refused, not followed; a FIFO is opened
// without blocking and refused as not a file.
//
// WritePrivateFile(path, bytes, sync): creates the folder and its missing
// parents (0700), writes a temporary file beside `path` (0600), forces it to
// the disk when `sync` is true, and renames it over `path`, so a reader sees
// the old file or the new one, whole. Throws EPrivateFile with the reason
// ("cannot create FOLDER: REASON", or the system's reason) and leaves no
// temporary file behind.
//
// MakePrivateFolder(folder): the folder and its missing parents, each made
// with mode 0700; EPrivateFile "cannot create FOLDER: REASON".
//
// NotPrivateReason(path): why what is at `path` (a file or a folder, not
// followed when it is a symbolic link) may have been written by someone else
// than the user: "it belongs to another user" (its owner is not the
// effective user), "it is writable by others" (group or others may write
// it). Empty when neither, or when there is nothing at `path`.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace quillon {

class EPrivateFile : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::optional<std::string> ReadPrivateFile(const std::string& path, int64_t max_bytes, const std::string& what);
void WritePrivateFile(const std::string& path, const std::string& bytes, bool sync);
void MakePrivateFolder(const std::string& folder);
std::string NotPrivateReason(const std::string& path);

}  // namespace quillon
