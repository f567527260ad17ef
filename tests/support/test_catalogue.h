// For tests: catalogues made to measure, and program files that carry them.
#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>

#include <string>
#include <vector>

#include "base/base64.h"
#include "base/ed25519_key.h"
#include "base/memory_stream.h"
#include "catalogue/application_data_stream.h"
#include "catalogue/catalogue.h"
#include "tests/support/temp_dir.h"

namespace quillon::testing {

// Two publisher keys, each made once per test program: generation is the
// slow part.
inline const TEd25519Key& KeyA() {
  static const TEd25519Key key = TEd25519Key::Generate();
  return key;
}
inline const TEd25519Key& KeyB() {
  static const TEd25519Key key = TEd25519Key::Generate();
  return key;
}

// Base64 of a JPEG picture of the given size.
inline std::string JpegBase64(int width, int height, QColor colour = QColor(40, 90, 160)) {
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(colour);
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "JPEG");
  return Base64Encode(std::string_view(bytes.data(), static_cast<size_t>(bytes.size())));
}

struct TestLink {
  std::string description;
  std::string url;
  std::string handle_by = "Internal Download";
};

struct TestProduct {
  std::string name;
  std::string description = "A product.";
  std::string icon;        // base64
  std::string screenshot;  // base64 or any text
  std::vector<TestLink> links;
};

// One product with one program link, for tests that need any catalogue.
inline const TestProduct kEditor{"Editor", "Edits text.", "", "", {{"Editor (HTTP)", "http://127.0.0.1/setup.exe"}}};

// The interface part with the given extra elements (raw XML) at its end.
inline std::string InterfaceXml(const std::string& extra = {}, const std::string& logo = {}) {
  return "<Interface_Information><GroupCount>1</GroupCount>"
         "<Window_Caption>Test Caption</Window_Caption>"
         "<Top_Paragraph>Top text</Top_Paragraph>"
         "<Next_Button_Caption>Next &gt;&gt;</Next_Button_Caption>"
         "<Previous_Button_Caption>&lt;&lt; Back</Previous_Button_Caption>"
         "<Product_Prompt>Pick one:</Product_Prompt>"
         "<Folder_to_save_to_Prompt>Save as:</Folder_to_save_to_Prompt>"
         "<Download_Button_Caption>Get it</Download_Button_Caption>"
         "<Cancel_Button_Caption>Stop</Cancel_Button_Caption>"
         "<Open_Button_Caption>Open it</Open_Button_Caption>"
         "<Splash_Logo>" + logo + "</Splash_Logo>" + extra + "</Interface_Information>";
}

inline std::string ProductXml(const TestProduct& p) {
  std::string x = "<Program_Group><URLCount>" + std::to_string(p.links.size()) + "</URLCount><Program_Name>" +
                  p.name + "</Program_Name><Short_Description>" + p.description +
                  "</Short_Description><Icon>" + p.icon + "</Icon><Screenshot>" + p.screenshot + "</Screenshot>";
  for (const auto& l : p.links)
    x += "<Download><Description>" + l.description + "</Description><URL>" + l.url + "</URL><Handle_by>" +
         l.handle_by + "</Handle_by></Download>";
  return x + "</Program_Group>";
}

inline std::string CatalogueXml(const std::vector<TestProduct>& products, const std::string& interface_xml = InterfaceXml()) {
  std::string x = "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<Root>" + interface_xml;
  for (const auto& p : products) x += ProductXml(p);
  return x + "</Root>";
}

// The catalogue that `xml` loads into.
inline TCatalogue ParseCatalogue(const std::string& xml) {
  TCatalogue catalogue;
  TStringStream stream(xml);
  catalogue.LoadFromStream(stream);
  return catalogue;
}

// A program file in `dir`: some host bytes with `catalogue` appended.
inline std::string ProgramWith(const TempDir& dir, const std::string& catalogue, const std::string& name = "quillon") {
  const std::string path = dir.File(name);
  WriteFile(path, std::string("\x7f" "ELF host bytes", 15));
  TApplicationDataStream stream(path, TApplicationDataStream::omReadWrite);
  stream.WriteString(catalogue);
  return path;
}

}  // namespace quillon::testing
