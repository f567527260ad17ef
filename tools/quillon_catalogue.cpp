// quillon-catalogue: the publisher's tool for the catalogue appended to the
// program file.
//
//   quillon-catalogue append PROGRAM CATALOGUE -o OUTPUT
//   quillon-catalogue extract FILE
//   quillon-catalogue check FILE
//   quillon-catalogue dump FILE
//   quillon-catalogue build DIR -o CATALOGUE
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>

#include "app/application_data_stream.h"
#include "app/catalogue_check.h"
#include "app/catalogue.h"
#include "base/exceptions.h"
#include "base/file_stream.h"
#include "base/memory_stream.h"
#include "tools/catalogue_build.h"
#include "xml/xml_document.h"
#include "xml/xml_dump.h"

using namespace quillon;

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: quillon-catalogue append PROGRAM CATALOGUE -o OUTPUT\n"
               "       quillon-catalogue extract FILE\n"
               "       quillon-catalogue check FILE\n"
               "       quillon-catalogue dump FILE\n"
               "       quillon-catalogue build DIR -o CATALOGUE\n");
  return 2;
}

// Whether two paths name the same file (device and inode); false when either
// does not exist.
bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// Writes `output` through a temporary file in its folder: `write` fills the
// temporary file, which then takes the place of `output` in one rename. When
// anything fails the temporary file goes and `output` is as it was.
void WriteReplacing(const std::string& output, const std::function<void(const std::string&)>& write) {
  std::string temp = output + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) throw EFCreateError("Cannot create file " + output + ": " + std::strerror(errno));
  ::close(fd);
  try {
    // A new file gets the permissions the user's umask gives (mkstemp's are 0600).
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::chmod(temp.c_str(), 0666 & ~mask);
    write(temp);
    std::filesystem::rename(temp, output);
  } catch (...) {
    std::error_code ec;
    std::filesystem::remove(temp, ec);
    throw;
  }
}

int Append(const std::string& program, const std::string& catalogue, const std::string& output) {
  for (const std::string* input : {&program, &catalogue}) {
    if (SameFile(output, *input)) {
      std::fprintf(stderr, "%s is the same file as %s: choose another output\n", output.c_str(), input->c_str());
      return 1;
    }
  }
  if (TApplicationDataStream::HasTrailer(program)) {
    std::fprintf(stderr, "%s already carries a catalogue\n", program.c_str());
    return 1;
  }
  TMemoryStream data;
  data.LoadFromFile(catalogue);
  WriteReplacing(output, [&](const std::string& temp) {
    {
      TFileStream in(program, fmOpenRead | fmShareDenyWrite);
      TFileStream out(temp, fmCreate);
      out.CopyFrom(in, 0);
    }
    TApplicationDataStream stream(temp, TApplicationDataStream::omReadWrite);
    stream.WriteBuffer(data.Memory(), data.Size());
    std::filesystem::permissions(temp, std::filesystem::status(program).permissions());
  });
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
    if (cmd == "build" && argc == 5 && std::strcmp(argv[3], "-o") == 0) {
      WriteReplacing(argv[4], [&](const std::string& temp) { BuildCatalogueFile(argv[2], temp); });
      return 0;
    }
  } catch (const Exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return Usage();
}
