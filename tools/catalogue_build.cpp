#include "tools/catalogue_build.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include <openssl/rand.h>

#include "base/base64.h"
#include "base/code_page.h"
#include "base/file_stream.h"
#include "base/sha256_hasher.h"
#include "base/strings.h"
#include "catalogue/catalogue.h"
#include "download/piece_hashes.h"

namespace quillon {

namespace fs = std::filesystem;

namespace {

// The interface texts in the order they are written; the last two may be
// left out.
constexpr std::string_view kInterfaceKeys[] = {
    "Window_Caption",          "Top_Paragraph",           "Next_Button_Caption",
    "Previous_Button_Caption", "Product_Prompt",          "Folder_to_save_to_Prompt",
    "Download_Button_Caption", "Cancel_Button_Caption",   "Open_Button_Caption",
};
constexpr std::string_view kOptionalInterfaceKeys[] = {"Prompt_after_date", "Data_URL"};
// The folder's id: read by the tool for a signed build, not written as an
// interface text (SetPublisherFields writes it).
constexpr std::string_view kFolderIdKey = "Catalogue_Id";

constexpr std::string_view kInternal = "Internal Download";
constexpr std::string_view kBrowser = "Send to browser";

[[noreturn]] void Fail(const std::string& message) { throw ECatalogueSource(message); }

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail(path.string() + ": cannot be read");
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// One line of a text file that is neither blank nor a "#" comment.
struct TLine {
  std::string text;   // without its line break, as written (UTF-8)
  std::string where;  // "FILE line N", for messages
};

std::vector<TLine> ReadLines(const fs::path& path) {
  std::string text = ReadBytes(path);
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  std::vector<TLine> lines;
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string_view trimmed = TrimWS(line);
    if (trimmed.empty() || trimmed[0] == '#') continue;
    lines.push_back({std::move(line), path.string() + " line " + std::to_string(number)});
  }
  return lines;
}

// A text of a source file (UTF-8) as the catalogue holds it.
std::string CatalogueText(std::string_view text, const std::string& where, TCatalogueEncoding encoding) {
  if (encoding == TCatalogueEncoding::kWindows1252) return Utf8ToWindows1252(text, where);
  if (!IsUtf8(text)) Fail(where + ": not UTF-8 text");
  return std::string(text);
}

struct TEntry {
  std::string key;
  std::string value;  // in the catalogue's encoding
  std::string where;
};

// The "Key: value" lines of a text file (see the header for the rules).
std::vector<TEntry> ReadKeyValues(const fs::path& path, TCatalogueEncoding encoding) {
  std::vector<TEntry> entries;
  for (const TLine& line : ReadLines(path)) {
    const std::string_view text = line.text;
    if (text[0] == ' ' || text[0] == '\t') {
      if (entries.empty()) Fail(line.where + ": a continuation line without a \"Key: value\" line before it");
      entries.back().value += "\r\n";
      entries.back().value += CatalogueText(TrimWS(text), line.where, encoding);
      continue;
    }
    const size_t colon = text.find(':');
    if (colon == std::string::npos) Fail(line.where + ": expected \"Key: value\"");
    TEntry e{std::string(TrimWS(text.substr(0, colon))),
             CatalogueText(TrimWS(text.substr(colon + 1)), line.where, encoding), line.where};
    for (const TEntry& other : entries)
      if (SameText(other.key, e.key)) Fail(line.where + ": \"" + e.key + "\" is given twice");
    entries.push_back(std::move(e));
  }
  return entries;
}

// The entry of a key (case ignored), or absent.
const TEntry* Find(const std::vector<TEntry>& entries, std::string_view key) {
  for (const TEntry& e : entries)
    if (SameText(e.key, key)) return &e;
  return nullptr;
}

void RefuseUnknownKeys(const std::vector<TEntry>& entries,
                       const std::vector<std::string_view>& known) {
  for (const TEntry& e : entries) {
    if (std::any_of(known.begin(), known.end(), [&](std::string_view k) { return SameText(k, e.key); })) continue;
    std::string list;
    for (std::string_view k : known) list += (list.empty() ? "" : ", ") + std::string(k);
    Fail(e.where + ": unknown key \"" + e.key + "\" (known keys: " + list + ")");
  }
}

// The picture DIR/STEM.EXT (EXT one of kPictureTypes), or nothing when there
// is none. Bytes of no picture format are refused; a picture that does not
// decode, or is larger than its place in the window (`place`, at 1x), is
// taken with a warning.
constexpr std::string_view kPictureTypes[] = {"jpg", "jpeg", "png", "gif", "bmp"};

std::string ReadPicture(const fs::path& dir, std::string_view stem, QSize place, std::vector<std::string>* warnings) {
  std::optional<fs::path> found;
  for (std::string_view type : kPictureTypes) {
    const fs::path path = dir / (std::string(stem) + "." + std::string(type));
    if (!fs::exists(path)) continue;
    if (found) Fail(path.string() + ": " + found->filename().string() + " is there too; keep one of them");
    found = path;
  }
  if (!found) return {};
  std::string bytes = ReadBytes(*found);
  const bool known = bytes.compare(0, 3, "\xFF\xD8\xFF") == 0 || bytes.compare(0, 8, "\x89PNG\r\n\x1A\n") == 0 ||
                     bytes.compare(0, 6, "GIF87a") == 0 || bytes.compare(0, 6, "GIF89a") == 0 ||
                     bytes.compare(0, 2, "BM") == 0;
  if (!known) Fail(found->string() + ": not a PNG, JPEG, GIF or BMP picture");
  QImage image;
  try {
    image = TCatalogue::DecodePicture(bytes);
  } catch (const Exception& e) {
    if (warnings)
      warnings->push_back(found->string() + " does not decode (" + e.what() + "): the window shows no picture there");
    return bytes;
  }
  if (warnings && place.isValid() && TCatalogue::ScaledToFit(image.size(), place.width(), place.height()))
    warnings->push_back(Format("%s is %d x %d: the window scales it down to fit %d x %d (%d x %d is sharp on a 2x "
                               "screen)",
                               found->string().c_str(), image.width(), image.height(), place.width(), place.height(),
                               2 * place.width(), 2 * place.height()));
  return bytes;
}

// Stores the text escaped, with its line breaks as character references so
// that the tree stays on one line.
void SetText(TXmlNode* node, std::string_view text) {
  node->SetValueAsString(text);
  std::string value;
  value.reserve(node->Value().size());
  for (char c : node->Value()) {
    if (c == '\r')
      value += "&#13;";
    else if (c == '\n')
      value += "&#10;";
    else
      value += c;
  }
  node->SetValue(std::move(value));
}

void WritePicture(TXmlNode* parent, std::string_view name, const std::string& bytes) {
  parent->NodeNew(name)->BufferWrite(bytes.data(), static_cast<int64_t>(bytes.size()));
}

void BuildInterface(const fs::path& dir, TXmlNode* root, int groups, TCatalogueEncoding encoding,
                    std::vector<std::string>* warnings) {
  const fs::path file = dir / "interface.txt";
  if (!fs::exists(file)) Fail(file.string() + ": missing (the window's texts are read from it)");
  const std::vector<TEntry> entries = ReadKeyValues(file, encoding);
  std::vector<std::string_view> known(std::begin(kInterfaceKeys), std::end(kInterfaceKeys));
  known.insert(known.end(), std::begin(kOptionalInterfaceKeys), std::end(kOptionalInterfaceKeys));
  known.push_back(kFolderIdKey);
  RefuseUnknownKeys(entries, known);

  TXmlNode* info = root->NodeNew("Interface_Information");
  info->WriteInteger("GroupCount", groups);
  for (std::string_view key : kInterfaceKeys) {
    const TEntry* e = Find(entries, key);
    if (!e) Fail(file.string() + ": \"" + std::string(key) + "\" is missing");
    SetText(info->NodeNew(key), e->value);
  }
  WritePicture(info, "Splash_Logo",
               ReadPicture(dir, "logo", QSize(TCatalogue::kLogoWidth, TCatalogue::kLogoHeight), warnings));
  // Written as the day number that earlier programs read too: "always" as
  // day 1, a date as its day, "never" as no element at all.
  if (const TEntry* e = Find(entries, "Prompt_after_date")) {
    const TCatalogue::TPromptAfterDate prompt = TCatalogue::ParsePromptAfterDate(e->value);
    const bool day_number = ParseInt64(e->value).has_value();
    if (!prompt.valid || (day_number && (*ParseInt64(e->value) < 0 || *ParseInt64(e->value) > INT32_MAX)))
      Fail(e->where + ": Prompt_after_date must be a date (YYYY-MM-DD), always or never (or a day number since 30 "
                      "December 1899)");
    if (day_number)
      info->NodeNew("Prompt_after_date")->SetValueAsString(std::to_string(*ParseInt64(e->value)));
    else if (prompt.first_day)
      info->NodeNew("Prompt_after_date")->SetValueAsString(
          std::to_string(std::max<int64_t>(1, *prompt.first_day)));
  }
  if (const TEntry* e = Find(entries, "Data_URL")) SetText(info->NodeNew("Data_URL"), e->value);
}

// The size and SHA-256 of a local file, and the SHA-256 of each of its
// pieces (PieceSizeFor its size), in one read.
void HashFile(const fs::path& path, const std::string& where, int64_t* size, std::string* sha256,
              TPieceHashes* pieces) {
  std::error_code ec;
  const uintmax_t length = fs::file_size(path, ec);
  std::ifstream in(path, std::ios::binary);
  if (!in || ec || fs::is_directory(path)) Fail(where + ": " + path.string() + " cannot be read");
  pieces->piece_size = PieceSizeFor(static_cast<int64_t>(length));
  pieces->sha256.clear();
  TSha256Hasher hasher, piece;
  // Reads of 1 MiB: a piece is a whole number of them.
  std::string buffer(static_cast<size_t>(kMinPieceBytes), '\0');
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const size_t n = static_cast<size_t>(in.gcount());
    hasher.Update(buffer.data(), n);
    piece.Update(buffer.data(), n);
    if (static_cast<int64_t>(piece.Length()) == pieces->piece_size || (!in && piece.Length() > 0)) {
      pieces->sha256.push_back(piece.HexDigest());
      piece.Reset();
    }
  }
  if (in.bad()) Fail(where + ": " + path.string() + " cannot be read");
  *size = static_cast<int64_t>(hasher.Length());
  *sha256 = hasher.HexDigest();
  if (!pieces->Fits(*size)) Fail(where + ": " + path.string() + " changed while it was read");
}

// The field of a link line that says what the downloaded file must be.
void WriteIntegrity(const fs::path& dir, const std::string& field, const std::string& where, TXmlNode* link) {
  std::optional<int64_t> size;
  std::string sha256;
  TPieceHashes pieces;
  if (field.rfind("file:", 0) == 0) {
    const std::string path = std::string(TrimWS(std::string_view(field).substr(5)));
    if (path.empty()) Fail(where + ": \"file:\" names no file");
    int64_t n = 0;
    HashFile(dir / path, where, &n, &sha256, &pieces);
    size = n;
    // A file of one piece is proven by its SHA256 alone.
    if (pieces.sha256.size() < 2) pieces = {};
  } else {
    std::istringstream words(field);
    for (std::string word; words >> word;) {
      if (word.rfind("size:", 0) == 0 && !size) {
        size = ParseDecimalDigits(word.substr(5));
        if (!size) Fail(where + ": \"" + word + "\" is not a size in bytes");
      } else if (word.rfind("sha256:", 0) == 0 && sha256.empty()) {
        sha256 = LowerCase(word.substr(7));
        if (!IsSha256Hex(sha256)) Fail(where + ": \"" + word + "\" is not 64 hexadecimal digits");
      } else {
        Fail(where + ": expected \"file:PATH\" or \"size:N sha256:HEX\", not \"" + word + "\"");
      }
    }
    if (!size && sha256.empty()) Fail(where + ": the fourth field is empty");
  }
  if (size) link->NodeNew("Size")->SetValueAsString(std::to_string(*size));
  if (!sha256.empty()) link->NodeNew("SHA256")->SetValueAsString(sha256);
  if (!pieces.Empty()) SetText(link->NodeNew("Piece_SHA256"), FormatPieceHashes(pieces));
}

// Appends one Download element per link line; returns how many.
int BuildLinks(const fs::path& dir, const fs::path& file, TXmlNode* group, TCatalogueEncoding encoding) {
  if (!fs::exists(file)) return 0;
  int count = 0;
  for (const TLine& line : ReadLines(file)) {
    const std::string& where = line.where;
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
      const size_t bar = line.text.find('|', start);
      fields.emplace_back(TrimWS(std::string_view(line.text).substr(start, bar == std::string::npos ? bar : bar - start)));
      if (bar == std::string::npos) break;
      start = bar + 1;
    }
    if (fields.size() < 3 || fields.size() > 5)
      Fail(where + ": expected \"Description | URL | " + std::string(kInternal) + "\" or \"... | " +
           std::string(kBrowser) + "\"");
    if (fields[0].empty()) Fail(where + ": the description is empty");
    if (fields[1].empty()) Fail(where + ": the URL is empty");
    if (fields[2] != kInternal && fields[2] != kBrowser)
      Fail(where + ": the handling must be \"" + std::string(kInternal) + "\" or \"" + std::string(kBrowser) +
           "\", not \"" + fields[2] + "\"");
    TXmlNode* link = group->NodeNew("Download");
    SetText(link->NodeNew("Description"), CatalogueText(fields[0], where, encoding));
    SetText(link->NodeNew("URL"), CatalogueText(fields[1], where, encoding));
    link->NodeNew("Handle_by")->SetValueAsString(fields[2]);
    if (fields.size() > 3 && fields[2] == kBrowser)
      Fail(where + ": a link sent to the browser is not checked; leave out the fourth field");
    // The fields after the handling: what the file must be, and the
    // publisher's limit of connections per host, in either order.
    std::optional<int> connections;
    bool integrity = false;
    for (size_t f = 3; f < fields.size(); ++f) {
      if (fields[f].rfind("connections:", 0) != 0) {
        if (integrity) Fail(where + ": what the file must be is given twice");
        WriteIntegrity(dir, fields[f], where, link);
        integrity = true;
        continue;
      }
      const std::optional<int64_t> n = ParseDecimalDigits(fields[f].substr(12));
      if (connections) Fail(where + ": \"connections:\" is given twice");
      if (!n || *n < 1 || *n > TCatalogue::kMaxLinkConnections)
        Fail(where + ": \"" + fields[f] + "\" is not a number of connections from 1 to " +
             std::to_string(TCatalogue::kMaxLinkConnections));
      connections = static_cast<int>(*n);
    }
    if (connections) link->NodeNew("Connections")->SetValueAsString(std::to_string(*connections));
    ++count;
  }
  return count;
}

void BuildProduct(const fs::path& dir, const fs::path& folder, TXmlNode* root, TCatalogueEncoding encoding,
                  std::vector<std::string>* warnings) {
  const fs::path file = folder / "product.txt";
  if (!fs::exists(file)) Fail(file.string() + ": missing (the product's name and description are read from it)");
  const std::vector<TEntry> entries = ReadKeyValues(file, encoding);
  RefuseUnknownKeys(entries, {"Name", "Description"});
  const TEntry* name = Find(entries, "Name");
  if (!name || name->value.empty()) Fail(file.string() + ": \"Name\" is missing");
  const TEntry* description = Find(entries, "Description");

  TXmlNode* group = root->NodeNew("Program_Group");
  // URLCount comes first; it is filled in once the links are counted.
  TXmlNode* url_count = group->NodeNew("URLCount");
  SetText(group->NodeNew("Program_Name"), name->value);
  SetText(group->NodeNew("Short_Description"), description ? description->value : "");
  WritePicture(group, "Icon",
               ReadPicture(folder, "icon", QSize(TCatalogue::kIconWidth, TCatalogue::kIconHeight), warnings));
  WritePicture(group, "Screenshot", ReadPicture(folder, "screenshot", QSize(), warnings));
  url_count->SetValueAsString(std::to_string(BuildLinks(dir, folder / "links.txt", group, encoding)));
}

}  // namespace

std::string Utf8ToWindows1252(std::string_view text, const std::string& where) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    const int32_t cp = NextUtf8CodePoint(text, &pos);
    if (cp < 0) Fail(where + ": not UTF-8 text");
    const int b = UnicodeToCp1252(static_cast<uint32_t>(cp));
    // The C1 controls that windows-1252 leaves undefined are no text either.
    if (b < 0 || (cp >= 0x80 && cp <= 0x9F))
      Fail(where + ": the character " + Format("U+%04X", static_cast<unsigned>(cp)) +
           " cannot be written in windows-1252: build with --encoding utf-8 to keep it");
    out += static_cast<char>(b);
  }
  return out;
}

std::optional<TCatalogueEncoding> ParseCatalogueEncoding(std::string_view name) {
  if (SameText(name, "windows-1252")) return TCatalogueEncoding::kWindows1252;
  if (SameText(name, "utf-8") || SameText(name, "utf8")) return TCatalogueEncoding::kUtf8;
  return std::nullopt;
}

void BuildCatalogue(const std::string& dir, TsdXmlDocument& doc, TCatalogueEncoding encoding,
                    std::vector<std::string>* warnings) {
  const fs::path root_dir(dir);
  if (!fs::is_directory(root_dir)) Fail(dir + ": not a folder");
  std::vector<fs::path> products;
  for (const fs::directory_entry& entry : fs::directory_iterator(root_dir)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_directory() && !name.empty() && name[0] != '.') products.push_back(entry.path());
  }
  std::sort(products.begin(), products.end());
  if (products.empty()) Fail(dir + ": no product folders (one folder per product, e.g. \"01-editor\")");

  doc.Clear();
  const bool utf8 = encoding == TCatalogueEncoding::kUtf8;
  doc.SetUtf8Encoded(utf8);
  if (utf8) doc.SetEncoding("UTF-8");
  doc.Root()->SetName("Root");
  BuildInterface(root_dir, doc.Root(), static_cast<int>(products.size()), encoding, warnings);
  for (const fs::path& folder : products) BuildProduct(root_dir, folder, doc.Root(), encoding, warnings);
}

std::string CatalogueBytes(TsdXmlDocument& doc) {
  // Written without a codec: a windows-1252 document comes out as the ANSI
  // codec would write it, and a UTF-8 one without the byte-order mark that
  // the UTF-8 codec would put in front of the declaration.
  return doc.WriteToString();
}

void SetPublisherFields(TsdXmlDocument& doc, const TPublisherFields& fields) {
  TXmlNode* info = FindNode(doc.Root(), "/Root/Interface_Information");
  if (!info) Fail("the catalogue has no Interface_Information");
  for (std::string_view name : {"Publisher_Key", "Catalogue_Serial", "Catalogue_Id", "Catalogue_Expires"})
    while (TXmlNode* old = info->NodeByName(name)) info->NodeRemove(old);
  info->NodeNew("Publisher_Key")->SetValueAsString(Base64Encode(fields.public_raw));
  info->NodeNew("Catalogue_Serial")->SetValueAsString(std::to_string(fields.serial));
  if (!fields.id.empty()) info->NodeNew("Catalogue_Id")->SetValueAsString(fields.id);
  if (!fields.expires.empty()) info->NodeNew("Catalogue_Expires")->SetValueAsString(fields.expires);
}

std::string FolderCatalogueId(const std::string& dir) {
  const fs::path file = fs::path(dir) / "interface.txt";
  if (!fs::exists(file)) return {};
  const std::vector<TEntry> entries = ReadKeyValues(file, TCatalogueEncoding::kUtf8);
  const TEntry* e = Find(entries, kFolderIdKey);
  return e ? e->value : std::string();
}

std::string NewCatalogueId() {
  unsigned char b[16];
  if (RAND_bytes(b, sizeof b) != 1) Fail("no random bytes for a new catalogue id");
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4: random
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // the RFC 4122 variant
  std::string id;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) id += '-';
    id += Format("%02x", static_cast<unsigned>(b[i]));
  }
  return id;
}

void WriteFolderCatalogueId(const std::string& dir, const std::string& id) {
  const fs::path file = fs::path(dir) / "interface.txt";
  std::string text = ReadBytes(file);
  if (!text.empty() && text.back() != '\n') text += '\n';
  text += "# The id of this line of catalogues, made by the first signed build. Keep it in\n"
          "# every release's folder: programs take updates only of their own id.\n"
          "Catalogue_Id: " + id + "\n";
  const fs::path temp = file.string() + ".new";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      std::error_code ec;
      fs::remove(temp, ec);
      Fail(file.string() + ": cannot be written, so the new id " + id + " cannot be kept; name it with --id");
    }
  }
  std::error_code ec;
  fs::permissions(temp, fs::status(file).permissions(), ec);
  fs::rename(temp, file, ec);
  if (ec) {
    fs::remove(temp, ec);
    Fail(file.string() + ": cannot be replaced, so the new id " + id + " cannot be kept; name it with --id");
  }
}

void BuildCatalogueFile(const std::string& dir, const std::string& output, TCatalogueEncoding encoding,
                        std::vector<std::string>* warnings) {
  TsdXmlDocument doc;
  BuildCatalogue(dir, doc, encoding, warnings);
  TFileStream(output, fmCreate).WriteString(CatalogueBytes(doc));
}

}  // namespace quillon
