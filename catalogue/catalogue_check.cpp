#include "catalogue/catalogue_check.h"

#include <QString>

#include <ctime>
#include <exception>
#include <vector>

#include "base/strings.h"
#include "catalogue/catalogue.h"
#include "catalogue/catalogue_in_use.h"
#include "catalogue/catalogue_trust.h"
#include "net/http/url.h"
#include "platform/ansi_text.h"

namespace quillon {

namespace {

class TChecker {
 public:
  TChecker(TCatalogueInUse& in_use, std::ostream& out) : in_use_(in_use), cat_(in_use.Catalogue()), out_(out) {}

  void Run(int64_t today) {
    TXmlNode* root = cat_.Document().Root();
    if (!SameText(root->Name(), "Root"))
      Warn("the root element is \"" + Utf8(root->Name()) + "\", not Root: the window finds none of its settings");
    else if (!FindNode(root, "/Root/Interface_Information"))
      Warn("missing element Interface_Information");
    out_ << "caption: " << Utf8(cat_.InterfaceText("Window_Caption")) << "\n";
    // The line the program follows: updates of another id are refused.
    if (cat_.HasPublisherKey() || cat_.InterfaceNode("Catalogue_Id"))
      out_ << "id: " << (cat_.CatalogueId().empty() ? "none" : Utf8(cat_.CatalogueId())) << "\n";
    Signature();
    out_ << "source: " << in_use_.SourceText() << "\n";
    if (!in_use_.RecordProblem().empty()) Warn(in_use_.RecordProblem());
    bool update = false;
    try {
      update = cat_.OfferUpdate(today);
    } catch (const std::exception& e) {
      Warn(std::string("Prompt_after_date: ") + e.what() +
           ": showing the window fails; write a date (YYYY-MM-DD), always or never");
    }
    UpdateButton(today);
    const std::string expired = in_use_.ExpiryNote(static_cast<int64_t>(std::time(nullptr)), update);
    if (!expired.empty()) Warn(expired);
    for (const char* name : {"Window_Caption", "Top_Paragraph", "Next_Button_Caption",
                             "Previous_Button_Caption", "Product_Prompt", "Folder_to_save_to_Prompt",
                             "Download_Button_Caption", "Cancel_Button_Caption", "Open_Button_Caption",
                             "Splash_Logo"}) {
      if (!cat_.InterfaceNode(name)) Warn(std::string("missing element Interface_Information/") + name);
    }

    const auto products = cat_.ProductNodes();
    if (products.empty()) Warn("no products (Program_Group): the product list is empty");
    for (size_t i = 0; i < products.size(); ++i) Product(static_cast<int>(i) + 1, products[i]);

    Picture("Splash_Logo", [&] { return cat_.InterfaceBinary("Splash_Logo"); }, QSize(TCatalogue::kLogoWidth,
                                                                                       TCatalogue::kLogoHeight));
    for (size_t i = 0; i < products.size(); ++i) {
      const std::string n = std::to_string(i + 1);
      Picture("Icon " + n, [&] { return TCatalogue::FieldBinary(products[i], "Icon"); },
              QSize(TCatalogue::kIconWidth, TCatalogue::kIconHeight));
      Picture("Screenshot " + n, [&] { return TCatalogue::FieldBinary(products[i], "Screenshot"); }, QSize());
    }

    out_ << "update button: " << (update ? "shown" : "hidden") << "\n";
    for (const std::string& w : warnings_) out_ << "warning: " << w << "\n";
  }

 private:
  std::string Utf8(const std::string& text) const {
    return DocTextToQString(text, cat_.Utf8()).toUtf8().toStdString();
  }
  void Warn(std::string text) { warnings_.push_back(std::move(text)); }

  // Why the update button a publisher asked for may not show.
  void UpdateButton(int64_t today) {
    const bool has_url = !cat_.InterfaceText("Data_URL").empty();
    TXmlNode* date = cat_.InterfaceNode("Prompt_after_date");
    const std::string text(TrimWS(date ? date->ValueAsString() : std::string()));
    const TCatalogue::TPromptAfterDate prompt = TCatalogue::ParsePromptAfterDate(text);
    if (date && !prompt.valid) return;  // warned above
    if (text == "0") {
      Warn("Prompt_after_date 0 hides the update button for good (as in earlier programs): write never to say so, or "
           "always or a date (YYYY-MM-DD) to show it");
    } else if (has_url && !prompt.first_day) {
      Warn("Data_URL is set, but the update button never shows (Prompt_after_date is " +
           std::string(date ? "never" : "missing") + "): write Prompt_after_date: always, or the date from which it "
           "shows (YYYY-MM-DD)");
    } else if (has_url && *prompt.first_day > today) {
      Warn("the update button shows only from " + FormatUtcTime((*prompt.first_day - 25569) * 86400).substr(0, 10) +
           " (Prompt_after_date): write always to show it now");
    } else if (!has_url && prompt.first_day) {
      Warn("Prompt_after_date is set, but there is no Data_URL: the update button never shows");
    }
  }

  void Signature() {
    if (!cat_.HasPublisherKey()) {
      out_ << "signature: none (no Publisher_Key)\n";
      return;
    }
    const std::string& problem = in_use_.SignatureProblem();
    if (!problem.empty()) {
      out_ << "signature: not valid: " << problem << "\n";
      Warn("the window refuses this catalogue: " + std::string(kNotSignedByPublisher));
      return;
    }
    const auto serial = cat_.CatalogueSerial();
    out_ << "signature: valid (serial " << (serial ? std::to_string(*serial) : "none") << ")\n";
    if (cat_.HasCatalogueExpires() && !cat_.CatalogueExpires())
      Warn("Catalogue_Expires \"" + Utf8(cat_.InterfaceText("Catalogue_Expires")) +
           "\" is not a UTC date and time (YYYY-MM-DDTHH:MM:SSZ): the program takes it as expired");
    if (!serial)
      Warn("no valid Catalogue_Serial: any signed update with a serial counts as newer");
  }

  void Product(int n, TXmlNode* product) {
    const std::string where = "product " + std::to_string(n);
    for (const char* name : {"Program_Name", "Short_Description", "Icon", "Screenshot"})
      if (!TCatalogue::HasField(product, name)) Warn(where + ": missing element " + name);
    const auto links = TCatalogue::LinkNodes(product);
    if (links.empty()) Warn(where + ": no links (Download): the next button stays disabled");
    out_ << where << ": " << Utf8(TCatalogue::FieldText(product, "Program_Name")) << " (links: " << links.size()
         << ", screenshot: " << (TCatalogue::HasScreenshot(product) ? "yes" : "no")
         << ", description: " << (TCatalogue::FieldText(product, "Short_Description").empty() ? "no" : "yes")
         << ")\n";
    for (size_t j = 0; j < links.size(); ++j) Link(where + " link " + std::to_string(j + 1), j + 1, links[j]);
  }

  void Link(const std::string& where, size_t m, TXmlNode* link) {
    for (const char* name : {"Description", "URL", "Handle_by"})
      if (!TCatalogue::HasField(link, name)) Warn(where + ": missing element " + name);
    const std::string url = TCatalogue::FieldText(link, "URL");
    const std::string handle = TCatalogue::FieldText(link, "Handle_by");
    const bool browser = TCatalogue::IsBrowserLink(link);
    // Only what the program fetches itself is checked against the catalogue.
    const TCatalogue::TLinkIntegrity integrity = TCatalogue::LinkIntegrity(link);
    const bool verified = !browser && integrity.error.empty() && !integrity.sha256.empty();
    out_ << "  link " << m << ": " << Utf8(TCatalogue::FieldText(link, "Description")) << " -> " << Utf8(url)
         << (browser ? " [browser, " : " [program, ") << (verified ? "verified by SHA-256" : "not verified");
    if (!integrity.pieces.Empty()) out_ << ", " << PieceHashesSummary(integrity.pieces);
    if (integrity.connections > 0)
      out_ << ", up to " << integrity.connections << (integrity.connections == 1 ? " connection" : " connections")
           << " per host";
    out_ << "]\n";
    // Piece hashes or a connection limit the program cannot use fail the
    // link outright: the publisher fixes them before any program sees them.
    std::string size_problem = integrity.error.substr(0, integrity.error.size() - integrity.pieces_error.size());
    if (size_problem.ends_with("; ")) size_problem.resize(size_problem.size() - 2);
    if (!size_problem.empty()) Warn(where + ": " + Utf8(size_problem));
    if (!integrity.pieces_error.empty()) errors_.push_back(where + ": " + Utf8(integrity.pieces_error));
    // The window refuses such a link too: nothing of it is ever sent.
    if (const std::string refusal = UrlRefusal(url); !refusal.empty()) errors_.push_back(where + ": " + refusal);
    if (!browser && handle != "Internal Download" && TCatalogue::HasField(link, "Handle_by"))
      Warn(where + ": Handle_by \"" + Utf8(handle) +
           "\" is neither \"Internal Download\" nor \"Send to browser\": the program downloads the link itself");
    // The program sends such a path encoded, as UTF-8; the publisher learns
    // how to write it for the other programs that fetch the link.
    if (const std::string text = Utf8(url); HasUnencodedTarget(text)) {
      const size_t hash = text.find('#');
      Warn(where + ": the URL is written unencoded; write it as " + RequestTarget(text) +
           (hash == std::string::npos ? "" : text.substr(hash)) + " (this program encodes it, other programs may not)");
    }
    if (!browser && !StartsText("http://", url) && !StartsText("https://", url) && !StartsText("ftp://", url))
      Warn(where + ": the program cannot fetch \"" + Utf8(url) + "\" itself (only http://, https:// and ftp://)");
    if (browser && !TCatalogue::IsWebAddress(DocTextToQString(url, cat_.Utf8())))
      Warn(where + ": \"" + Utf8(url) + "\" is not a web address: the window does not open it in the browser");
  }

  // `place`: the size the window shows the picture in at 1x (none: any).
  template <typename Bytes>
  void Picture(const std::string& name, Bytes bytes, QSize place) {
    out_ << "picture " << name << ": ";
    try {
      const QImage image = TCatalogue::DecodePicture(bytes());
      if (image.isNull()) out_ << "none\n";
      else out_ << image.width() << " x " << image.height() << "\n";
      if (!image.isNull() && place.isValid() && TCatalogue::ScaledToFit(image.size(), place.width(), place.height()))
        Warn(Format("picture %s is %d x %d: the window scales it down to fit %d x %d (%d x %d is sharp on a 2x "
                    "screen)",
                    name.c_str(), image.width(), image.height(), place.width(), place.height(), 2 * place.width(),
                    2 * place.height()));
    } catch (const std::exception& e) {
      out_ << "error " << e.what() << "\n";
      Warn("picture " + name + " does not decode (PNG, JPEG, GIF and BMP are shown): " + e.what());
    }
  }

  TCatalogueInUse& in_use_;
  TCatalogue& cat_;
  std::ostream& out_;
  std::vector<std::string> warnings_;

 public:
  // Links no program can use: the catalogue fails the check.
  std::vector<std::string> errors_;
};

}  // namespace

int CheckCatalogue(const std::string& file, std::ostream& out, std::ostream& err, int64_t today) {
  TCatalogueInUse in_use;
  try {
    in_use.LoadFromCatalogueOrProgramFile(file);
  } catch (const std::exception& e) {
    err << e.what() << "\n";
    return 1;
  }
  TChecker checker(in_use, out);
  checker.Run(today);
  for (const std::string& e : checker.errors_) err << e << "\n";
  return checker.errors_.empty() ? 0 : 1;
}

}  // namespace quillon
