#include "download/download_list_store.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringDecoder>

#include <fcntl.h>
#include <stdio.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "base/base64.h"
#include "base/private_file.h"

namespace quillon {

namespace {

constexpr const char* kFormat = "quillon download list";
constexpr int kVersion = 1;
constexpr int64_t kMaxFileBytes = int64_t{4} << 20;
constexpr qsizetype kMaxRows = 1000;
constexpr size_t kMaxText = 4096;
constexpr int64_t kMaxNumber = int64_t{1} << 53;

bool HasControl(const std::string& s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  const size_t n = std::strlen(prefix);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
  return true;
}

bool IsTextValue(const std::string& s) { return s.size() <= kMaxText && !HasControl(s); }

bool IsUrlValue(const std::string& s) {
  return IsTextValue(s) &&
         (StartsWithNoCase(s, "http://") || StartsWithNoCase(s, "https://") || StartsWithNoCase(s, "ftp://"));
}

// An absolute path without "." or ".." parts that names a file, not a folder.
bool IsFileValue(const std::string& s) {
  if (!IsTextValue(s) || s.size() < 2 || s[0] != '/' || s.back() == '/') return false;
  size_t begin = 1;
  while (begin <= s.size()) {
    size_t end = s.find('/', begin);
    if (end == std::string::npos) end = s.size();
    const std::string_view part(s.data() + begin, end - begin);
    if (part == "." || part == "..") return false;
    begin = end + 1;
  }
  return true;
}

bool IsSha256Value(const std::string& s) {
  if (s.empty()) return true;
  if (s.size() != 64) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

bool IsNumberValue(int64_t v) { return v >= -1 && v <= kMaxNumber; }

bool Storable(const TSavedDownload& row) {
  if (!IsUrlValue(row.url) || !IsFileValue(row.file) || !IsTextValue(row.status) ||
      !IsSha256Value(row.expected_sha256))
    return false;
  for (int64_t n : {row.received, row.total, row.started, row.expected_size})
    if (!IsNumberValue(n)) return false;
  for (const std::string& m : row.mirrors)
    if (!IsUrlValue(m)) return false;
  return true;
}

bool IsUtf8(const std::string& s) {
  auto decoder = QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  (void)QString(decoder(QByteArrayView(s.data(), static_cast<qsizetype>(s.size()))));
  return !decoder.hasError();
}

QJsonValue BytesValue(const std::string& s) {
  if (IsUtf8(s)) return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
  return QJsonObject{{QStringLiteral("base64"), QString::fromLatin1(Base64Encode(s))}};
}

const char* StateName(TSavedDownload::TState state) {
  switch (state) {
    case TSavedDownload::kFinished: return "finished";
    case TSavedDownload::kPaused: return "paused";
    case TSavedDownload::kFailed: return "failed";
    case TSavedDownload::kQueued: return "queued";
  }
  return "failed";
}

[[noreturn]] void Refuse(const std::string& reason) { throw EDownloadListStore(reason); }

// A byte string of a row: a JSON string, or {"base64": "..."}.
std::string ReadBytes(const QJsonObject& row, const char* name) {
  const QJsonValue value = row.value(QLatin1String(name));
  if (value.isString()) {
    const QByteArray utf8 = value.toString().toUtf8();
    return std::string(utf8.constData(), static_cast<size_t>(utf8.size()));
  }
  if (value.isObject() && value.toObject().size() == 1 && value.toObject().value("base64").isString()) {
    const QByteArray text = value.toObject().value("base64").toString().toLatin1();
    if (auto bytes = Base64Decode(std::string_view(text.constData(), static_cast<size_t>(text.size()))))
      return *bytes;
  }
  Refuse(std::string("a row's ") + name + " is not a text");
}

int64_t ReadNumber(const QJsonObject& row, const char* name) {
  const QJsonValue value = row.value(QLatin1String(name));
  const double d = value.toDouble(-2);
  if (!value.isDouble() || d != std::floor(d) || d < -1 || d > static_cast<double>(kMaxNumber))
    Refuse(std::string("a row's ") + name + " is not a whole number from -1 up to 2^53");
  return static_cast<int64_t>(d);
}

}  // namespace

std::string EncodeDownloadList(const std::vector<TSavedDownload>& rows) {
  QJsonArray list;
  for (const TSavedDownload& row : rows) {
    if (!Storable(row)) continue;
    QJsonArray mirrors;
    for (const std::string& m : row.mirrors) mirrors.append(BytesValue(m));
    QJsonObject saved{
        {"url", BytesValue(row.url)},
        {"file", BytesValue(row.file)},
        {"state", QString::fromLatin1(StateName(row.state))},
        {"status", BytesValue(row.status)},
        {"received", static_cast<double>(row.received)},
        {"total", static_cast<double>(row.total)},
        {"started", static_cast<double>(row.started)},
        {"expected_size", static_cast<double>(row.expected_size)},
        {"expected_sha256", QString::fromLatin1(row.expected_sha256)},
        {"authenticated", row.authenticated},
        {"mirrors", mirrors},
    };
    // Only queued rows say a place: a list without them reads as before.
    if (row.state == TSavedDownload::kQueued) saved.insert("queue", std::max(row.queue_place, 1));
    list.append(saved);
  }
  const QJsonObject top{{"format", QString::fromLatin1(kFormat)}, {"version", kVersion}, {"rows", list}};
  return QJsonDocument(top).toJson(QJsonDocument::Indented).toStdString();
}

std::vector<TSavedDownload> DecodeDownloadList(const std::string& bytes) {
  if (static_cast<int64_t>(bytes.size()) > kMaxFileBytes) Refuse("it is too large to be a download list");
  QJsonParseError error{};
  const QJsonDocument doc =
      QJsonDocument::fromJson(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())), &error);
  if (error.error != QJsonParseError::NoError || !doc.isObject()) Refuse("it is not a download list");
  const QJsonObject top = doc.object();
  if (top.value("format").toString() != QLatin1String(kFormat)) Refuse("it is not a download list");
  if (!top.value("version").isDouble() || top.value("version").toDouble() != kVersion)
    Refuse("it is of another version");
  const QJsonValue list = top.value("rows");
  if (!list.isArray()) Refuse("it has no rows");
  if (list.toArray().size() > kMaxRows) Refuse("it has too many rows");
  std::vector<TSavedDownload> rows;
  for (const QJsonValue& value : list.toArray()) {
    if (!value.isObject()) Refuse("a row is not an object");
    const QJsonObject o = value.toObject();
    TSavedDownload row;
    row.url = ReadBytes(o, "url");
    row.file = ReadBytes(o, "file");
    const QString state = o.value("state").toString();
    if (state == QLatin1String("finished"))
      row.state = TSavedDownload::kFinished;
    else if (state == QLatin1String("paused"))
      row.state = TSavedDownload::kPaused;
    else if (state == QLatin1String("failed"))
      row.state = TSavedDownload::kFailed;
    else if (state == QLatin1String("queued"))
      row.state = TSavedDownload::kQueued;
    else
      Refuse("a row's state is unknown");
    if (row.state == TSavedDownload::kQueued) {
      const int64_t place = ReadNumber(o, "queue");
      if (place < 1 || place > kMaxRows) Refuse("a queued row's place is not from 1 up to 1000");
      row.queue_place = static_cast<int>(place);
    }
    row.status = ReadBytes(o, "status");
    row.received = ReadNumber(o, "received");
    row.total = ReadNumber(o, "total");
    row.started = ReadNumber(o, "started");
    row.expected_size = ReadNumber(o, "expected_size");
    if (!o.value("expected_sha256").isString()) Refuse("a row's expected_sha256 is not a text");
    row.expected_sha256 = o.value("expected_sha256").toString().toStdString();
    if (!o.value("authenticated").isBool()) Refuse("a row's authenticated is not true or false");
    row.authenticated = o.value("authenticated").toBool();
    if (!o.value("mirrors").isArray() || o.value("mirrors").toArray().size() > kMaxRows)
      Refuse("a row's mirrors are not a list");
    for (const QJsonValue& m : o.value("mirrors").toArray()) {
      const QJsonObject holder{{"mirror", m}};
      row.mirrors.push_back(ReadBytes(holder, "mirror"));
    }
    if (!IsUrlValue(row.url)) Refuse("a row's url is not an http, https or ftp URL");
    if (!IsFileValue(row.file)) Refuse("a row's file is not an absolute path of a file");
    if (!IsTextValue(row.status)) Refuse("a row's status is too long or holds a control character");
    if (!IsSha256Value(row.expected_sha256)) Refuse("a row's expected_sha256 is not 64 hexadecimal digits");
    for (const std::string& m : row.mirrors)
      if (!IsUrlValue(m)) Refuse("a row's mirror is not an http, https or ftp URL");
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<TSavedDownload> ReadDownloadList(const std::string& path) {
  std::optional<std::string> bytes;
  try {
    bytes = ReadPrivateFile(path, kMaxFileBytes, "a download list");
  } catch (const EPrivateFile& e) {
    Refuse(e.what());
  }
  return bytes ? DecodeDownloadList(*bytes) : std::vector<TSavedDownload>{};
}

std::string SetAsideDownloadList(const std::string& path) {
  // The first free name: a rename that would replace a file fails instead.
  for (int n = 1; n <= 100; ++n) {
    const std::string aside = path + ".unreadable" + (n == 1 ? "" : "-" + std::to_string(n));
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) return aside;
    if (errno != EEXIST) Refuse(std::string("it cannot be set aside: ") + std::strerror(errno));
  }
  Refuse("it cannot be set aside: " + path + ".unreadable-100 exists");
}

void WriteDownloadList(const std::string& path, const std::vector<TSavedDownload>& rows) {
  // No fsync: the list is rewritten about once a second while downloads run,
  // and the rename alone keeps the old or the new list whole.
  try {
    WritePrivateFile(path, EncodeDownloadList(rows), /*sync=*/false);
  } catch (const EPrivateFile& e) {
    Refuse(std::string("it cannot be written: ") + e.what());
  }
}

}  // namespace quillon
