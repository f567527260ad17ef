// libFuzzer entry point: loads arbitrary bytes as a document, through both codec
// flavours and without a codec, and reads everything back. Parse errors are
// exceptions; anything else (a crash, a sanitizer report, a hang) is a fault.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/exceptions.h"
#include "base/memory_stream.h"
#include "xml/xml_document.h"

namespace {

using namespace quillon;

void Walk(TXmlNode* node) {
  if (!node) return;
  node->ValueAsString();
  node->FullPath();
  for (int i = 0; i < node->AttributeCount(); ++i) node->AttributeValue(i);
  try {
    node->BinaryString();
  } catch (const EFilerError&) {
  }
  for (int i = 0; i < node->NodeCount(); ++i) Walk(node->Nodes(i));
}

void LoadAndWalk(const std::string& bytes, int how) {
  TsdXmlDocument doc;
  try {
    if (how == 2) {
      doc.ReadFromString(bytes);
    } else {
      doc.SetUtf8Encoded(how == 1);
      TStringStream s(bytes);
      doc.LoadFromStream(s);
    }
  } catch (const Exception&) {
  }
  Walk(doc.Root());
  for (int i = 0; i < doc.RootNodeCount(); ++i) Walk(doc.RootNodes(i));
  FindNode(doc.Root(), "/Root/Interface_Information/Window_Caption");
  FindNode(doc.Root(), "Program_Name");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  for (int how = 0; how < 3; ++how) LoadAndWalk(bytes, how);
  return 0;
}
