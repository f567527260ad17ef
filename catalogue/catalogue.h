// TCatalogue: the catalogue document that tells one copy of the program what to
// offer, and the rules by which it is read. The document is the only model:
// products and links are looked up by path or name on every use, never cached.
//
// Schema (element names are matched without regard to case):
//   Root
//     Interface_Information: Window_Caption, Top_Paragraph, Next_Button_Caption,
//       Previous_Button_Caption, Product_Prompt, Folder_to_save_to_Prompt,
//       Download_Button_Caption, Cancel_Button_Caption, Open_Button_Caption,
//       Splash_Logo (base64 picture), Prompt_after_date (see OfferUpdate),
//       Data_URL; GroupCount (unread)
//     Program_Group*: Program_Name, Short_Description, Icon, Screenshot (base64
//       PNG, JPEG, GIF or BMP), URLCount (unread), Download*: Description, URL, Handle_by,
//       Size, SHA256 (both optional: the file's length and digest),
//       Piece_SHA256 (optional: the digest of each piece, in the text form of
//       download/piece_hashes.h), Connections (optional: the publisher's
//       limit of connections per host, 1 to 16)
//   Interface_Information may also name Publisher_Key (base64 of a 32-byte
//   Ed25519 public key), Catalogue_Serial (a whole number that grows with
//   every catalogue the publisher releases), Catalogue_Id (the name of the
//   publisher's line of catalogues) and Catalogue_Expires (UTC date and time,
//   "YYYY-MM-DDTHH:MM:SSZ"); see catalogue_trust.h.
//
// Texts are 8-bit: windows-1252, or UTF-8 when the document is Utf8Encoded
// (its declaration names "UTF-8", or it begins with the UTF-8 byte-order
// mark). Every load of a UTF-8 catalogue checks that its texts are UTF-8.
// An element the program reads that is missing reads as empty text; a product
// or link index outside the lists reads as a missing node.
#pragma once

#include <QImage>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/exceptions.h"
#include "base/stream.h"
#include "download/piece_hashes.h"
#include "xml/xml_document.h"

namespace quillon {

// A picture that the decoder refused.
class EInvalidGraphic : public Exception {
 public:
  using Exception::Exception;
};

class TCatalogue {
 public:
  // The Handle_by text that hands a link to the browser (compared exactly).
  static constexpr std::string_view kSendToBrowser = "Send to browser";
  // Full paths of the interface settings begin with this.
  static constexpr std::string_view kInterfacePath = "/Root/Interface_Information/";

  TCatalogue();
  ~TCatalogue();
  TCatalogue(TCatalogue&&) = default;
  TCatalogue& operator=(TCatalogue&&) = default;

  TsdXmlDocument& Document() { return *doc_; }
  bool Utf8() const { return doc_->Utf8Encoded(); }

  // Replaces the document by the catalogue appended to `program_file` (read
  // through TApplicationDataStream, closed again also on failure) and returns
  // the bytes it was read from (for the signature check). Raises the stream's
  // and the parser's errors, and CheckCatalogueText's (the document is then
  // empty).
  std::string LoadFromProgramFile(const std::string& program_file);
  // The bytes of the catalogue appended to `program_file`, unparsed (the
  // stream's errors as above).
  static std::string AppendedBytes(const std::string& program_file);
  // The same for a file that is either a program file with an appended
  // catalogue or a catalogue of its own.
  std::string LoadFromCatalogueOrProgramFile(const std::string& file);
  // The catalogue bytes of such a file, unparsed; `program_file` says which
  // it was. EFOpenError "FILE is a folder, not a catalogue or a program
  // file" for a folder.
  static std::string CatalogueOrProgramFileBytes(const std::string& file, bool& program_file);
  // Replaces the document by what `stream` holds from its position on.
  void LoadFromStream(TStream& stream);
  // An empty document.
  void Clear();
  // Takes `doc` as the document (a catalogue already read and checked).
  void Replace(std::unique_ptr<TsdXmlDocument> doc) { doc_ = std::move(doc); }

  // --- Lookups ---
  // "/Root/Interface_Information/" + name; absent when missing.
  TXmlNode* InterfaceNode(std::string_view name) const;
  // Its decoded text, empty when missing.
  std::string InterfaceText(std::string_view name) const;
  // Its decoded base64 content, empty when missing (EFilerError as FieldBinary).
  std::string InterfaceBinary(std::string_view name) const;

  // The Program_Group children of the root, in document order.
  std::vector<TXmlNode*> ProductNodes() const;
  int ProductCount() const { return static_cast<int>(ProductNodes().size()); }
  // Product at a list index; absent outside the list.
  TXmlNode* ProductNode(int index) const;
  // The Download children of a product; the link at an index (absent outside).
  static std::vector<TXmlNode*> LinkNodes(TXmlNode* product);
  static TXmlNode* LinkNode(TXmlNode* product, int index);

  // The text of the first element of that name inside `node`; empty when the
  // node or the element is missing.
  static std::string FieldText(TXmlNode* node, std::string_view name);
  // Whether `node` holds an element of that name.
  static bool HasField(TXmlNode* node, std::string_view name);
  // The decoded base64 of that element; empty when missing or empty. Raises
  // EFilerError for base64 of a wrong length.
  static std::string FieldBinary(TXmlNode* node, std::string_view name);

  // --- The publisher's fields ---
  // Whether Interface_Information has a Publisher_Key element (also an empty
  // or malformed one: a catalogue that names a key asks to be checked).
  bool HasPublisherKey() const { return InterfaceNode("Publisher_Key") != nullptr; }
  // The 32 raw bytes of Publisher_Key; absent when it is missing or is not the
  // base64 of 32 bytes.
  std::optional<std::string> PublisherKey() const;
  // Catalogue_Serial; absent when missing or not a decimal whole number.
  std::optional<int64_t> CatalogueSerial() const;
  // Catalogue_Id's text; empty when missing.
  std::string CatalogueId() const { return InterfaceText("Catalogue_Id"); }
  // Whether an id is what `build --id` writes: 1 to 100 letters, digits, ".",
  // "-" and "_", not beginning with "." (so that it can name a file).
  static bool IsPlainCatalogueId(std::string_view id);
  // Whether Interface_Information has a Catalogue_Expires element.
  bool HasCatalogueExpires() const { return InterfaceNode("Catalogue_Expires") != nullptr; }
  // Catalogue_Expires in seconds since 1970 (UTC); absent when missing or
  // not of the form "YYYY-MM-DDTHH:MM:SSZ".
  std::optional<int64_t> CatalogueExpires() const;

  // The most connections per host a link's Connections may name.
  static constexpr int kMaxLinkConnections = 16;
  // What a link says about the file it names and how it may be fetched.
  struct TLinkIntegrity {
    std::optional<int64_t> size;  // Size, in bytes
    std::string sha256;           // SHA256 in lowercase hexadecimal; empty when absent
    TPieceHashes pieces;          // Piece_SHA256; empty when absent or not usable
    int connections = 0;          // Connections (1 to 16); 0 when absent or not usable
    // Set when Size is not a decimal whole number, SHA256 not 64
    // hexadecimal digits, Piece_SHA256 cannot be read, comes without a Size
    // or does not fit it, or Connections is not a whole number from 1 to 16:
    // such a link must not be fetched unverified. The problems are joined
    // with "; ", those of Piece_SHA256 and Connections last.
    std::string error;
    // The end of `error` about Piece_SHA256 and Connections (empty: none).
    std::string pieces_error;
  };
  static TLinkIntegrity LinkIntegrity(TXmlNode* link);
  // The mirrors of a product's link `index`: the URLs of its other program
  // links (not sent to the browser) whose SHA256 is the link's, in catalogue
  // order, each once and none the link's own URL nor one that UrlRefusal
  // (net/http/url.h) refuses. None for a link without a SHA256 or with an
  // unreadable Size or SHA256.
  static std::vector<std::string> MirrorUrls(TXmlNode* product, int index);

  // --- Rules ---
  // A link goes to the browser when its Handle_by is "Send to browser" exactly.
  static bool IsBrowserLink(TXmlNode* link);
  // Whether the window hands a browser link to the desktop: a valid URL with
  // the scheme http, https or ftp and a host, or mailto with an address, and
  // nothing UrlRefusal (net/http/url.h) refuses. Anything else (a local
  // path, file:, a text that only begins with "http:", a line break or NUL,
  // raw or percent-encoded) is never opened.
  static bool IsWebAddress(const QString& url);
  // The screenshot button shows when the product's Screenshot text is not
  // empty (white space counts as present).
  static bool HasScreenshot(TXmlNode* product);
  // What Prompt_after_date says: "always", "never" (case ignored), a date
  // "YYYY-MM-DD", or a day number (whole days since 30 December 1899, the
  // form earlier programs read, in which "0" means never). `first_day` is the
  // day number from which the button may show, absent for never; `valid` is
  // false for any other text.
  struct TPromptAfterDate {
    bool valid = false;
    std::optional<int64_t> first_day;
  };
  static TPromptAfterDate ParsePromptAfterDate(std::string_view text);
  // The update button shows when Prompt_after_date exists and names a first
  // day (ParsePromptAfterDate) that `today` (whole days since 30 December
  // 1899) has reached, and Data_URL exists and is not empty. EConvertError
  // "'TEXT' is not a valid integer value" when Prompt_after_date is none of
  // its forms.
  bool OfferUpdate(int64_t today) const;

  // Decodes a PNG, GIF, BMP (each known by its first bytes) or JPEG picture;
  // a null image for empty bytes. EInvalidGraphic "FORMAT error: REASON"
  // when the decoder refuses them (other bytes are read as JPEG).
  static QImage DecodePicture(const std::string& bytes);

  // The places pictures are shown in (at 1x; a picture of twice the size is
  // sharp on a 2x screen): a larger picture is scaled down to fit, keeping
  // its proportions.
  static constexpr int kIconWidth = 32, kIconHeight = 32;
  static constexpr int kLogoWidth = 97, kLogoHeight = 90;
  // Whether a picture of that size is scaled down in a place of `width` x
  // `height` (a picture of exactly twice the place is not: it is the 2x one).
  static bool ScaledToFit(QSize picture, int width, int height);

 private:
  std::unique_ptr<TsdXmlDocument> doc_;
};

// Raises EFilerError when a UTF-8 document holds a name, attribute or value
// below its root that is not UTF-8, naming where it is; a windows-1252
// document passes (every byte is a character there).
void CheckCatalogueText(const TsdXmlDocument& doc);

// "YYYY-MM-DDTHH:MM:SSZ" for seconds since 1970, and back (absent for any
// other text or a date that does not exist).
std::string FormatUtcTime(int64_t seconds);
std::optional<int64_t> ParseUtcTime(std::string_view text);

// Today as a whole number of days since 30 December 1899 (local time).
int64_t TodayDayNumber();

}  // namespace quillon
