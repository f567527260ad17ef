#include "download/partial_file.h"

#include <sys/xattr.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace quillon {

namespace {

constexpr const char* kUrlAttr = "user.quillon.url";
constexpr const char* kTotalAttr = "user.quillon.total";
constexpr const char* kValidatorAttr = "user.quillon.validator";

std::string SideFileName(const std::string& PartName) { return PartName + ".info"; }

bool GetAttr(const std::string& path, const char* name, std::string& value) {
  char buf[8192];
  ssize_t n = ::getxattr(path.c_str(), name, buf, sizeof buf);
  if (n < 0) return false;
  value.assign(buf, static_cast<size_t>(n));
  return true;
}

bool ParseTotal(const std::string& text, int64_t& total) {
  if (text.empty() || text.size() > 18) return false;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  total = v;
  return true;
}

}  // namespace

std::string PartialFileName(const std::string& Destination) { return Destination + ".part"; }

bool WritePartInfo(const std::string& PartName, const TPartInfo& Info) {
  for (const std::string* s : {&Info.url, &Info.validator})
    if (s->find_first_of("\r\n") != std::string::npos) return false;
  std::string total = std::to_string(Info.total);
  const char* path = PartName.c_str();
  if (::setxattr(path, kUrlAttr, Info.url.data(), Info.url.size(), 0) == 0 &&
      ::setxattr(path, kTotalAttr, total.data(), total.size(), 0) == 0 &&
      ::setxattr(path, kValidatorAttr, Info.validator.data(), Info.validator.size(), 0) == 0) {
    std::remove(SideFileName(PartName).c_str());
    return true;
  }
  std::ofstream side(SideFileName(PartName), std::ios::binary | std::ios::trunc);
  side << Info.url << '\n' << total << '\n' << Info.validator << '\n';
  side.close();
  return static_cast<bool>(side);
}

bool ReadPartInfo(const std::string& PartName, TPartInfo& Info) {
  Info = TPartInfo();
  std::string url, total, validator;
  if (GetAttr(PartName, kUrlAttr, url) && GetAttr(PartName, kTotalAttr, total) &&
      GetAttr(PartName, kValidatorAttr, validator)) {
  } else {
    std::ifstream side(SideFileName(PartName), std::ios::binary);
    if (!side || !std::getline(side, url) || !std::getline(side, total) || !std::getline(side, validator))
      return false;
  }
  int64_t n = -1;
  if (total != "-1" && !ParseTotal(total, n)) return false;
  Info.url = url;
  Info.total = n;
  Info.validator = validator;
  return true;
}

bool PartContinues(const TPartInfo& Info, const std::string& Url, int64_t PartSize) {
  return Info.url == Url && Info.total > 0 && Info.total > PartSize;
}

void RemovePartialFile(const std::string& PartName) {
  std::remove(PartName.c_str());
  std::remove(SideFileName(PartName).c_str());
}

bool CommitPartialFile(const std::string& PartName, const std::string& Destination, std::string& Reason) {
  // The part was written and closed by its stream; waiting here until it is
  // on the disk cost more than the whole transfer of a large file over a
  // fast link, so the rename relies on the file system's ordering of a
  // replacing rename.
  if (::rename(PartName.c_str(), Destination.c_str()) != 0) {
    Reason = std::strerror(errno);
    return false;
  }
  std::remove(SideFileName(PartName).c_str());
  // The record belongs to the partial file, not to the finished one.
  for (const char* name : {kUrlAttr, kTotalAttr, kValidatorAttr}) ::removexattr(Destination.c_str(), name);
  return true;
}

}  // namespace quillon
