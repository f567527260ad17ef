// The download list kept across restarts: the rows of the window's list as
// plain values (TSavedDownload), written to and read from one file per
// catalogue. Which file belongs to which catalogue is the window's business;
// this unit reads and writes the file it is given.
//
// The file is UTF-8 JSON:
//
//   { "format": "quillon download list", "version": 1,
//     "rows": [ { "url": "http://...", "file": "/abs/path/NAME",
//                 "state": "finished" | "paused" | "failed" | "queued",
//                 "queue": 2,                           (queued rows only: the place in line, 1 first)
//                 "status": "Download Complete.",
//                 "received": 1234, "total": 5678,      (bytes; -1: unknown)
//                 "started": 1765000000,                (seconds since 1970)
//                 "expected_size": 5678,                (-1: not said)
//                 "expected_sha256": "64 hex digits",   ("": not said)
//                 "authenticated": true,
//                 "mirrors": ["http://...", ...] }, ... ] }
//
// Rows are oldest first; queued rows wait in the order of their "queue"
// places (a list of an earlier version has none and still reads). URLs, paths and texts are byte strings: one that is
// valid UTF-8 is a JSON string, any other is {"base64": "..."}.
//
// Read: a file of another format or version, larger than 4 MiB, with more
// than 1000 rows, or with any value out of form is refused as a whole
// (EDownloadListStore with the reason), never taken in part. Every text is at
// most 4096 bytes and holds no control character (below 0x20, 0x7F); a URL
// begins with http://, https:// or ftp://; a file is an absolute path
// without "." or ".." parts that does not end in "/"; numbers are whole and
// from -1 up to 2^53. A stored file is only ever used as a destination path
// and a URL only fetched by the download. Another program may have written
// the list: a row's size, hash, mirrors and finished status are kept for
// the record only (the window takes them from the catalogue in use and the
// file itself).
// Written: rows the reader would refuse are left out; the file goes to a
// temporary file in the same folder (mode 0600; missing folders are made with
// 0700), is synced and renamed over the list, so the list on disk is always a
// whole one.
// Set aside: a list that cannot be read or is refused (one of another
// version too) is never overwritten; the window renames it to
// "NAME.unreadable" (or the first free "NAME.unreadable-N") and starts a new,
// empty list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/exceptions.h"

namespace quillon {

class EDownloadListStore : public Exception {
 public:
  using Exception::Exception;
};

struct TSavedDownload {
  enum TState { kFinished, kPaused, kFailed, kQueued };

  std::string url;
  std::string file;
  TState state = kFailed;
  std::string status;  // the status text shown when the row was saved
  int64_t received = -1;
  int64_t total = -1;
  int64_t started = 0;
  int64_t expected_size = -1;
  std::string expected_sha256;
  bool authenticated = true;
  std::vector<std::string> mirrors;
  int queue_place = 0;  // a queued row's place in line, 1 first; 0 for other rows

  bool operator==(const TSavedDownload&) const = default;
};

// The bytes of a list holding `rows` (those the reader would refuse left out).
std::string EncodeDownloadList(const std::vector<TSavedDownload>& rows);
// EDownloadListStore with what is wrong.
std::vector<TSavedDownload> DecodeDownloadList(const std::string& bytes);

// The rows of the list at `path`; none when there is no file. A file that
// cannot be read or is refused raises EDownloadListStore ("it cannot be
// read: ...", or the reason of DecodeDownloadList).
std::vector<TSavedDownload> ReadDownloadList(const std::string& path);
// Renames the list at `path` to the first free "PATH.unreadable",
// "PATH.unreadable-2", ... (never over a file) and returns that name;
// EDownloadListStore "it cannot be set aside: ..." when it could not.
std::string SetAsideDownloadList(const std::string& path);
// EDownloadListStore "it cannot be written: ..." when the list could not be
// put in place; the old list is then as it was.
void WriteDownloadList(const std::string& path, const std::vector<TSavedDownload>& rows);

}  // namespace quillon
