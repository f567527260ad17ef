// quillon-catalogue: the publisher's tool for the catalogue appended to the
// program file.
//
//   quillon-catalogue append PROGRAM CATALOGUE -o OUTPUT
//   quillon-catalogue extract FILE
//   quillon-catalogue check FILE
//   quillon-catalogue dump FILE
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

#include "app/application_data_stream.h"
#include "app/catalogue_check.h"
#include "app/catalogue.h"
#include "base/exceptions.h"
#include "base/file_stream.h"
#include "base/memory_stream.h"
#include "xml/xml_document.h"
#include "xml/xml_dump.h"

using namespace quillon;

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: quillon-catalogue append PROGRAM CATALOGUE -o OUTPUT\n"
               "       quillon-catalogue extract FILE\n"
               "       quillon-catalogue check FILE\n"
               "       quillon-catalogue dump FILE\n");
  return 2;
}

int Append(const std::string& program, const std::string& catalogue, const std::string& output) {
  if (TApplicationDataStream::HasTrailer(program)) {
    std::fprintf(stderr, "%s already carries a catalogue\n", program.c_str());
    return 1;
  }
  TMemoryStream data;
  data.LoadFromFile(catalogue);
  {
    TFileStream in(program, fmOpenRead | fmShareDenyWrite);
    TFileStream out(output, fmCreate);
    out.CopyFrom(in, 0);
  }
  TApplicationDataStream stream(output, TApplicationDataStream::omReadWrite);
  stream.WriteBuffer(data.Memory(), data.Size());
  std::filesystem::permissions(output, std::filesystem::status(program).permissions());
  return 0;
}

int Extract(const std::string& file) {
  TApplicationDataStream stream(file, TApplicationDataStream::omRead);
  std::string bytes = stream.ReadAll();
  // Readers ask for at most Size - Position bytes; ReadAll does.
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  return 0;
}

// Loads FILE as a document, from its appended data block when it has a
// trailer, else the whole file, and prints the dump form.
int Dump(const std::string& file) {
  TsdXmlDocument doc;
  if (TApplicationDataStream::HasTrailer(file)) {
    TApplicationDataStream stream(file, TApplicationDataStream::omRead);
    doc.LoadFromStream(stream);
  } else {
    TFileStream stream(file, fmOpenRead | fmShareDenyWrite);
    doc.LoadFromStream(stream);
  }
  const std::string text = DumpXmlDocument(doc);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string cmd = argv[1];
  try {
    if (cmd == "append" && argc == 6 && std::strcmp(argv[4], "-o") == 0)
      return Append(argv[2], argv[3], argv[5]);
    if (cmd == "extract" && argc == 3) return Extract(argv[2]);
    if (cmd == "check" && argc == 3) return CheckCatalogue(argv[2], std::cout, std::cerr, TodayDayNumber());
    if (cmd == "dump" && argc == 3) return Dump(argv[2]);
  } catch (const Exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return Usage();
}
