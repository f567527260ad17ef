#include "catalogue/catalogue.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <QUrl>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <limits>

#include "base/base64.h"
#include "base/code_page.h"
#include "base/date_time.h"
#include "base/ed25519_key.h"
#include "base/memory_stream.h"
#include "base/strings.h"
#include "catalogue/application_data_stream.h"
#include "net/http/url.h"

namespace quillon {

TCatalogue::TCatalogue() : doc_(std::make_unique<TsdXmlDocument>()) {}
TCatalogue::~TCatalogue() = default;

std::string TCatalogue::LoadFromProgramFile(const std::string& program_file) {
  std::string bytes = AppendedBytes(program_file);
  TStringStream copy(bytes);
  LoadFromStream(copy);
  return bytes;
}

std::string TCatalogue::AppendedBytes(const std::string& program_file) {
  std::string bytes;
  {
    // Read in pieces up to the end of the block: a broken trailer may claim a
    // block far larger than the file, which must not become one allocation.
    TApplicationDataStream stream(program_file, TApplicationDataStream::omRead);
    int64_t remaining = stream.Size() - stream.Position();
    char buffer[65536];
    while (remaining > 0) {
      const int64_t n = stream.Read(buffer, std::min<int64_t>(remaining, sizeof buffer));
      if (n <= 0) break;
      bytes.append(buffer, static_cast<size_t>(n));
      remaining -= n;
    }
  }
  return bytes;
}

std::string TCatalogue::LoadFromCatalogueOrProgramFile(const std::string& file) {
  bool program_file = false;
  std::string bytes = CatalogueOrProgramFileBytes(file, program_file);
  TStringStream stream(bytes);
  LoadFromStream(stream);
  return bytes;
}

std::string TCatalogue::CatalogueOrProgramFileBytes(const std::string& file, bool& program_file) {
  // A folder opens like a file and claims a length no buffer can take.
  struct stat st {};
  if (::stat(file.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    throw EFOpenError(file + " is a folder, not a catalogue or a program file");
  program_file = TApplicationDataStream::HasTrailer(file);
  if (program_file) return AppendedBytes(file);
  TStringStream stream;
  stream.LoadFromFile(file);
  return stream.DataString();
}

void TCatalogue::LoadFromStream(TStream& stream) {
  doc_->LoadFromStream(stream);
  try {
    CheckCatalogueText(*doc_);
  } catch (const EFilerError&) {
    Clear();  // nothing of a catalogue with broken text is shown
    throw;
  }
}

void TCatalogue::Clear() { doc_ = std::make_unique<TsdXmlDocument>(); }

TXmlNode* TCatalogue::InterfaceNode(std::string_view name) const {
  std::string path(kInterfacePath);
  path += name;
  return FindNode(doc_->Root(), path);
}

std::string TCatalogue::InterfaceText(std::string_view name) const {
  TXmlNode* node = InterfaceNode(name);
  return node ? node->ValueAsString() : std::string();
}

std::string TCatalogue::InterfaceBinary(std::string_view name) const {
  TXmlNode* node = InterfaceNode(name);
  return node ? node->BinaryString() : std::string();
}

std::vector<TXmlNode*> TCatalogue::ProductNodes() const {
  std::vector<TXmlNode*> list;
  FindNodes(doc_->Root(), "Program_Group", &list);
  return list;
}

TXmlNode* TCatalogue::ProductNode(int index) const {
  const auto list = ProductNodes();
  return index >= 0 && index < static_cast<int>(list.size()) ? list[index] : nullptr;
}

std::vector<TXmlNode*> TCatalogue::LinkNodes(TXmlNode* product) {
  std::vector<TXmlNode*> list;
  if (product) FindNodes(product, "Download", &list);
  return list;
}

TXmlNode* TCatalogue::LinkNode(TXmlNode* product, int index) {
  const auto list = LinkNodes(product);
  return index >= 0 && index < static_cast<int>(list.size()) ? list[index] : nullptr;
}

std::string TCatalogue::FieldText(TXmlNode* node, std::string_view name) {
  TXmlNode* field = node ? FindNode(node, name) : nullptr;
  return field ? field->ValueAsString() : std::string();
}

bool TCatalogue::HasField(TXmlNode* node, std::string_view name) {
  return node && FindNode(node, name);
}

std::string TCatalogue::FieldBinary(TXmlNode* node, std::string_view name) {
  TXmlNode* field = node ? FindNode(node, name) : nullptr;
  return field ? field->BinaryString() : std::string();
}

std::optional<std::string> TCatalogue::PublisherKey() const {
  const auto raw = Base64Decode(InterfaceText("Publisher_Key"));
  if (!raw || raw->size() != TEd25519Key::kPublicKeySize) return std::nullopt;
  return raw;
}

std::optional<int64_t> TCatalogue::CatalogueSerial() const {
  return ParseDecimalDigits(InterfaceText("Catalogue_Serial"));
}

bool TCatalogue::IsPlainCatalogueId(std::string_view id) {
  if (id.empty() || id.size() > 100 || id[0] == '.') return false;
  for (char c : id)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
          c == '_'))
      return false;
  return true;
}

std::optional<int64_t> TCatalogue::CatalogueExpires() const {
  return HasCatalogueExpires() ? ParseUtcTime(InterfaceText("Catalogue_Expires")) : std::nullopt;
}

TCatalogue::TLinkIntegrity TCatalogue::LinkIntegrity(TXmlNode* link) {
  TLinkIntegrity result;
  if (HasField(link, "Size")) {
    const std::string text = FieldText(link, "Size");
    result.size = ParseDecimalDigits(text);
    if (!result.size) result.error = "Size \"" + text + "\" is not a whole number of bytes";
  }
  if (HasField(link, "SHA256")) {
    const std::string text = FieldText(link, "SHA256");
    if (IsSha256Hex(text)) {
      result.sha256 = LowerCase(text);
    } else {
      if (!result.error.empty()) result.error += "; ";
      result.error += "SHA256 \"" + text + "\" is not 64 hexadecimal digits";
    }
  }
  auto refuse = [&result](const std::string& problem) {
    result.pieces_error += (result.pieces_error.empty() ? "" : "; ") + problem;
  };
  if (HasField(link, "Piece_SHA256")) {
    std::string why;
    if (!ParsePieceHashes(FieldText(link, "Piece_SHA256"), result.pieces, why))
      refuse("Piece_SHA256 cannot be read: " + why);
    else if (!HasField(link, "Size"))
      refuse("Piece_SHA256 without a Size: the pieces cannot be placed");
    else if (result.size && !result.pieces.Fits(*result.size))
      refuse("Piece_SHA256 does not fit Size " + std::to_string(*result.size) + ": it has " +
             PieceHashesSummary(result.pieces) + ", the file " +
             std::to_string(PieceCount(*result.size, result.pieces.piece_size)) + " pieces");
    if (!result.pieces_error.empty() || !result.size) result.pieces = {};
  }
  if (HasField(link, "Connections")) {
    const std::string text = FieldText(link, "Connections");
    const std::optional<int64_t> n = ParseDecimalDigits(text);
    if (n && *n >= 1 && *n <= kMaxLinkConnections)
      result.connections = static_cast<int>(*n);
    else
      refuse("Connections \"" + text + "\" is not a whole number from 1 to " + std::to_string(kMaxLinkConnections));
  }
  if (!result.pieces_error.empty())
    result.error += (result.error.empty() ? "" : "; ") + result.pieces_error;
  return result;
}

std::vector<std::string> TCatalogue::MirrorUrls(TXmlNode* product, int index) {
  std::vector<std::string> mirrors;
  const std::vector<TXmlNode*> links = LinkNodes(product);
  if (index < 0 || index >= static_cast<int>(links.size())) return mirrors;
  const TLinkIntegrity picked = LinkIntegrity(links[index]);
  if (picked.sha256.empty() || !picked.error.empty()) return mirrors;
  const std::string own = FieldText(links[index], "URL");
  for (int i = 0; i < static_cast<int>(links.size()); ++i) {
    if (i == index || IsBrowserLink(links[i])) continue;
    const TLinkIntegrity other = LinkIntegrity(links[i]);
    const std::string url = FieldText(links[i], "URL");
    if (!other.error.empty() || other.sha256 != picked.sha256 || url.empty() || url == own ||
        !UrlRefusal(url).empty() ||
        std::find(mirrors.begin(), mirrors.end(), url) != mirrors.end())
      continue;
    mirrors.push_back(url);
  }
  return mirrors;
}

bool TCatalogue::IsBrowserLink(TXmlNode* link) {
  return FieldText(link, "Handle_by") == kSendToBrowser;
}

bool TCatalogue::IsWebAddress(const QString& url) {
  // A line break (or NUL) would go on to whatever handles the address.
  if (!UrlRefusal(url.toStdString()).empty()) return false;
  const QUrl parsed(url, QUrl::TolerantMode);
  if (!parsed.isValid()) return false;
  const QString scheme = parsed.scheme().toLower();
  if (scheme == QLatin1String("mailto")) return !parsed.path().isEmpty();
  return (scheme == QLatin1String("http") || scheme == QLatin1String("https") || scheme == QLatin1String("ftp")) &&
         !parsed.host().isEmpty();
}

bool TCatalogue::HasScreenshot(TXmlNode* product) {
  return !FieldText(product, "Screenshot").empty();
}

TCatalogue::TPromptAfterDate TCatalogue::ParsePromptAfterDate(std::string_view text) {
  text = TrimWS(text);
  TPromptAfterDate result;
  if (SameText(text, "always")) return {true, std::numeric_limits<int64_t>::min()};
  if (SameText(text, "never")) return {true, std::nullopt};
  if (text.size() == 10 && text[4] == '-' && text[7] == '-') {
    // Midnight UTC of the date, which must exist, in days since 1970 and
    // then since 30 December 1899 (25569 days before).
    const auto seconds = ParseUtcTime(std::string(text) + "T00:00:00Z");
    if (seconds) return {true, *seconds / 86400 + 25569};
    return result;
  }
  const auto day = ParseInt64(text);
  if (!day) return result;
  result.valid = true;
  if (*day != 0) result.first_day = *day;
  return result;
}

bool TCatalogue::OfferUpdate(int64_t today) const {
  TXmlNode* date = InterfaceNode("Prompt_after_date");
  if (!date) return false;
  const std::string text = date->ValueAsString();
  const TPromptAfterDate prompt = ParsePromptAfterDate(text);
  if (!prompt.valid) throw EConvertError("'" + text + "' is not a valid integer value");
  if (!prompt.first_day || today < *prompt.first_day) return false;
  TXmlNode* url = InterfaceNode("Data_URL");
  return url && !url->ValueAsString().empty();
}

QImage TCatalogue::DecodePicture(const std::string& bytes) {
  if (bytes.empty()) return QImage();
  QByteArray data = QByteArray::fromRawData(bytes.data(), static_cast<qsizetype>(bytes.size()));
  QBuffer buffer(&data);
  buffer.open(QIODevice::ReadOnly);
  // The format by its first bytes; anything else goes to the JPEG decoder,
  // whose error names it.
  const char* format = "JPEG";
  if (bytes.compare(0, 8, "\x89PNG\r\n\x1A\n") == 0) format = "PNG";
  else if (bytes.compare(0, 6, "GIF87a") == 0 || bytes.compare(0, 6, "GIF89a") == 0) format = "GIF";
  else if (bytes.compare(0, 2, "BM") == 0) format = "BMP";
  QImageReader reader(&buffer, format);
  QImage image = reader.read();
  if (image.isNull())
    throw EInvalidGraphic(std::string(format) + " error: " + reader.errorString().toStdString());
  return image;
}

bool TCatalogue::ScaledToFit(QSize picture, int width, int height) {
  if (picture.width() <= width && picture.height() <= height) return false;
  return picture != QSize(2 * width, 2 * height);
}

void CheckCatalogueText(const TsdXmlDocument& doc) {
  if (!doc.Utf8Encoded()) return;
  auto fail = [](const std::string& what) {
    throw EFilerError("The catalogue is declared as UTF-8, but " + what + " is not UTF-8 text");
  };
  // Depth first, with a list instead of recursion; a node's name is checked
  // before its path appears in a message.
  std::vector<const TXmlNode*> pending{doc.Root()};
  while (!pending.empty()) {
    const TXmlNode* node = pending.back();
    pending.pop_back();
    if (!IsUtf8(node->Name()))
      fail(node->Parent() ? "the name of an element in " + node->Parent()->FullPath() : "the root element's name");
    for (int i = 0; i < node->AttributeCount(); ++i)
      if (!IsUtf8(node->AttributePair(i))) fail("an attribute of " + node->FullPath());
    if (!IsUtf8(node->Value())) fail("the text of " + node->FullPath());
    for (int i = node->NodeCount() - 1; i >= 0; --i) pending.push_back(node->Nodes(i));
  }
}

std::string FormatUtcTime(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm tm {};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

std::optional<int64_t> ParseUtcTime(std::string_view text) {
  // Exactly the form FormatUtcTime writes.
  static constexpr std::string_view kForm = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != kForm.size()) return std::nullopt;
  for (size_t i = 0; i < kForm.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kForm[i] == 'd' ? !digit : text[i] != kForm[i]) return std::nullopt;
  }
  auto number = [&](size_t pos, size_t n) { return static_cast<int>(*ParseDecimalDigits(text.substr(pos, n))); };
  struct tm tm {};
  tm.tm_year = number(0, 4) - 1900;
  tm.tm_mon = number(5, 2) - 1;
  tm.tm_mday = number(8, 2);
  tm.tm_hour = number(11, 2);
  tm.tm_min = number(14, 2);
  tm.tm_sec = number(17, 2);
  const struct tm asked = tm;
  const time_t t = timegm(&tm);
  // timegm moves a day or time that does not exist into the next month.
  if (tm.tm_year != asked.tm_year || tm.tm_mon != asked.tm_mon || tm.tm_mday != asked.tm_mday ||
      tm.tm_hour != asked.tm_hour || tm.tm_min != asked.tm_min || tm.tm_sec != asked.tm_sec)
    return std::nullopt;
  return static_cast<int64_t>(t);
}

int64_t TodayDayNumber() { return static_cast<int64_t>(std::floor(Now())); }

}  // namespace quillon
