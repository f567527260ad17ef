// libFuzzer entry point: the bytes are the record beside a partial file (its
// side file NAME.part.info), read as a later start of the download reads it.
//
// Checked: a record that reads holds plain text and a total of -1 or more,
// and writing it back and reading it again gives the same record.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "download/partial_file.h"
#include "fuzz_check.h"

namespace {

using namespace quillon;

using fuzz::Check;

bool PlainText(const std::string& text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  return true;
}

std::string g_part;  // NAME.part in a folder of this run

void Write(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string folder = (std::filesystem::temp_directory_path() / "quillon-part-fuzz-XXXXXX").string();
  if (::mkdtemp(folder.data()) == nullptr) std::abort();
  g_part = PartialFileName(folder + "/file.bin");
  std::atexit([] { std::filesystem::remove_all(std::filesystem::path(g_part).parent_path()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RemovePartialFile(g_part);
  Write(g_part + ".info", data, size);
  TPartInfo info;
  if (!ReadPartInfo(g_part, info)) {
    Check(info.url.empty() && info.total == -1 && info.validator.empty(), "a refused record not reset");
    return 0;
  }
  Check(PlainText(info.url) && PlainText(info.validator), "a record holding a control character");
  Check(info.total >= -1, "a total below -1");
  Check(info.url.size() + info.validator.size() <= size, "a record longer than its file");
  PartContinues(info, info.url, 0);

  // The part itself, with the record written by this program.
  Write(g_part, data, 0);
  Check(WritePartInfo(g_part, info), "a record read could not be written");
  TPartInfo again;
  Check(ReadPartInfo(g_part, again), "a record written does not read");
  Check(again.url == info.url && again.total == info.total && again.validator == info.validator,
        "a record changed by writing and reading it");
  return 0;
}
