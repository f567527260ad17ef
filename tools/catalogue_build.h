// Building a catalogue from the folder a publisher fills (the layout is
// described in the README, "Building a catalogue"):
//
//   DIR/interface.txt        "Key: value" lines: the window's texts and
//                            settings, and the id of the line of catalogues
//                            (Catalogue_Id, used by signed builds only)
//   DIR/logo.jpg             the splash logo (optional; every picture may
//                            be .jpg, .jpeg, .png, .gif or .bmp, one of them)
//   DIR/NN-anything/         one folder per product, taken in name order
//       product.txt          "Name: ..." and "Description: ..."
//       icon.jpg             optional
//       screenshot.jpg       optional
//       links.txt            optional; "Description | URL | Internal Download"
//                            or "... | Send to browser", one link a line; a
//                            link the program downloads may add a field that
//                            names the file it must receive:
//                            "| file:PATH" (a local copy, PATH relative to
//                            DIR, from which Size and SHA256 are computed,
//                            and Piece_SHA256 when the file is larger than
//                            one piece, download/piece_hashes.h) or
//                            "| size:N sha256:HEX" (either or both), and a
//                            field "| connections:N" (1 to 16, Connections:
//                            the most connections per host a program may
//                            open to fetch it; without it, one)
//
// Prompt_after_date in interface.txt is a date (YYYY-MM-DD), "always",
// "never" or a day number (see TCatalogue::ParsePromptAfterDate); the
// catalogue holds the day number that earlier programs read ("always" is day
// 1; "never" leaves the element out).
//
// Text files are UTF-8 (a byte-order mark is skipped). A windows-1252
// catalogue (the default) holds them converted to windows-1252, and a
// character windows-1252 cannot hold is refused; a UTF-8 catalogue holds them
// as they are, in any script. Bytes that are not UTF-8 are refused in both. In "Key: value" files a line that begins with a space or a TAB
// continues the value before it on a new line (CR LF in the catalogue); blank
// lines and lines beginning with "#" are skipped.
//
// Every fault in the folder raises ECatalogueSource with a message that names
// the file (and line) and what is wrong.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/exceptions.h"
#include "xml/xml_document.h"

namespace quillon {

class ECatalogueSource : public Exception {
 public:
  using Exception::Exception;
};

// The encoding a catalogue is written in.
enum class TCatalogueEncoding { kWindows1252, kUtf8 };

// The encoding named on the command line ("windows-1252" or "utf-8", case
// ignored, "utf8" too); absent for any other name.
std::optional<TCatalogueEncoding> ParseCatalogueEncoding(std::string_view name);

// Fills the document (replacing its content) with the catalogue the folder
// describes, in the compact format. The declaration names the encoding
// ("windows-1252" or "UTF-8"); a UTF-8 document is Utf8Encoded. A picture
// file that is no PNG, JPEG, GIF or BMP is refused; one that does not decode,
// or that the window scales down (larger than its place,
// TCatalogue::ScaledToFit), adds a line to `warnings`.
void BuildCatalogue(const std::string& dir, TsdXmlDocument& doc,
                    TCatalogueEncoding encoding = TCatalogueEncoding::kWindows1252,
                    std::vector<std::string>* warnings = nullptr);

// The bytes of a built catalogue: the document's text as it holds it, with
// no byte-order mark (the declaration names the encoding).
std::string CatalogueBytes(TsdXmlDocument& doc);

// BuildCatalogue, then writes CatalogueBytes to the output file.
void BuildCatalogueFile(const std::string& dir, const std::string& output,
                        TCatalogueEncoding encoding = TCatalogueEncoding::kWindows1252,
                        std::vector<std::string>* warnings = nullptr);

// What a signed catalogue says about its publisher.
struct TPublisherFields {
  std::string public_raw;  // 32 raw bytes, written in base64
  int64_t serial = 0;
  std::string id;          // Catalogue_Id; empty: none
  std::string expires;     // Catalogue_Expires ("YYYY-MM-DDTHH:MM:SSZ"); empty: none
};

// Writes the fields at the end of Interface_Information (Publisher_Key,
// Catalogue_Serial, Catalogue_Id, Catalogue_Expires), replacing values it
// named before.
void SetPublisherFields(TsdXmlDocument& doc, const TPublisherFields& fields);

// The Catalogue_Id that DIR/interface.txt names ("Catalogue_Id: ID", kept
// there by WriteFolderCatalogueId); empty when it names none.
std::string FolderCatalogueId(const std::string& dir);

// A new random catalogue id: a version 4 UUID (lowercase, with hyphens)
// from OpenSSL's RAND_bytes, so that no two publishers' lines share one.
std::string NewCatalogueId();

// Appends "Catalogue_Id: ID" (with a comment that says to keep it) to
// DIR/interface.txt, replacing the file in one rename; ECatalogueSource
// naming the file when it cannot be written.
void WriteFolderCatalogueId(const std::string& dir, const std::string& id);

// UTF-8 text as windows-1252. ECatalogueSource "<where>: ..." for text that is
// not UTF-8 or holds a character windows-1252 lacks (named as U+XXXX, with
// the way out: "--encoding utf-8").
std::string Utf8ToWindows1252(std::string_view text, const std::string& where);

}  // namespace quillon
