// URL splitting, names and dates of the HTTP client.
#include "net/http/url.h"

#include <gtest/gtest.h>

#include "base/date_time.h"

namespace quillon {
namespace {

struct Parts {
  std::string proto, user, pass, host, port, path;
};

Parts Parse(const std::string& url, const std::string& base = "") {
  Parts p;
  p.path = base;
  ParseURL(url, p.proto, p.user, p.pass, p.host, p.port, p.path);
  return p;
}

TEST(ParseURL, FullForm) {
  Parts p = Parse("http://ann:se:cret@example.test:8080/a/b.zip?x=1");
  EXPECT_EQ(p.proto, "http");
  EXPECT_EQ(p.user, "ann");
  EXPECT_EQ(p.pass, "se:cret");
  EXPECT_EQ(p.host, "example.test");
  EXPECT_EQ(p.port, "8080");
  EXPECT_EQ(p.path, "/a/b.zip?x=1");
}

TEST(ParseURL, HostOnlyUserOnlyAndQueryWithoutPath) {
  Parts p = Parse("http://example.test");
  EXPECT_EQ(p.host, "example.test");
  EXPECT_EQ(p.path, "");
  EXPECT_EQ(p.port, "");
  p = Parse("ftp://ann@h/x");
  EXPECT_EQ(p.proto, "ftp");
  EXPECT_EQ(p.user, "ann");
  EXPECT_EQ(p.pass, "");
  EXPECT_EQ(p.host, "h");
  p = Parse("http://h?q=/x");
  EXPECT_EQ(p.host, "h");
  EXPECT_EQ(p.path, "?q=/x");
}

TEST(ParseURL, IPv6HostsInBrackets) {
  struct {
    const char* url;
    const char *user, *host, *port, *path;
  } cases[] = {
      {"http://[::1]:8081/f", "", "::1", "8081", "/f"},
      {"ftp://[::1]/f", "", "::1", "", "/f"},
      {"http://ann:pw@[2001:db8::7]:21/a?x=[1]", "ann", "2001:db8::7", "21", "/a?x=[1]"},
      {"http://[fe80::1]", "", "fe80::1", "", ""},
  };
  for (const auto& c : cases) {
    Parts p = Parse(c.url);
    EXPECT_EQ(p.user, c.user) << c.url;
    EXPECT_EQ(p.host, c.host) << c.url;
    EXPECT_EQ(p.port, c.port) << c.url;
    EXPECT_EQ(p.path, c.path) << c.url;
  }
  EXPECT_EQ(UrlHost("::1"), "[::1]");
  EXPECT_EQ(UrlHost("example.test"), "example.test");
}

TEST(ParseURL, WithoutSchemeAndRelativeForms) {
  Parts p = Parse("/only/path");
  EXPECT_EQ(p.proto, "http");
  EXPECT_EQ(p.host, "");
  EXPECT_EQ(p.path, "/only/path");
  p = Parse("//h:81/p");
  EXPECT_EQ(p.host, "h");
  EXPECT_EQ(p.port, "81");
  EXPECT_EQ(p.path, "/p");
  p = Parse("HTTP://Upper/x");  // capitals are not a scheme, but http: still is
  EXPECT_EQ(p.proto, "http");
  EXPECT_EQ(p.host, "Upper");
  EXPECT_EQ(p.path, "/x");
  p = Parse("host.test/x");
  EXPECT_EQ(p.proto, "");
  EXPECT_EQ(p.host, "host.test");
  EXPECT_EQ(p.path, "/x");
  EXPECT_EQ(Parse("./c.htm", "/a/b/old.htm").path, "/a/b/c.htm");
  EXPECT_EQ(Parse("../c.htm", "/a/b/old.htm").path, "/a/c.htm");
  EXPECT_EQ(Parse("../../../c.htm", "/a/b/old.htm").path, "/c.htm");
  EXPECT_EQ(Parse("mailto:ann@h").proto, "mailto");
  EXPECT_EQ(Parse("").path, "");
}

TEST(UrlHelpers, BaseUrlReplaceExt) {
  EXPECT_EQ(BaseUrl("/a/b/c.htm?x=/y"), "/a/b/");
  EXPECT_EQ(BaseUrl("noslash"), "");
  EXPECT_EQ(ReplaceExt("setup.exe", "htm"), "setup.htm");
  EXPECT_EQ(ReplaceExt("a.b.c", "htm"), "a.b.htm");
  EXPECT_EQ(ReplaceExt("README", "htm"), "README.htm");
  EXPECT_EQ(ExtractFileExt("setup.EXE"), ".EXE");
  EXPECT_EQ(ExtractFileExt("dir.d/file"), "");
}

TEST(UrlHelpers, RFC1123DateAndBase64) {
  TDateTime d = 0;
  ASSERT_TRUE(TryEncodeDate(1994, 11, 6, d));
  d += EncodeTime(8, 49, 37, 0);
  EXPECT_EQ(RFC1123Date(d), "Sun, 06 Nov 1994 08:49:37");
  EXPECT_EQ(RFC1123Date(0), "Sat, 30 Dec 1899 00:00:00");
  EXPECT_EQ(RFC1123Date(-1), "Fri, 29 Dec 1899 00:00:00");
  EXPECT_EQ(EncodeBase64("Aladdin:open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  EXPECT_EQ(EncodeBase64("a:"), "YTo=");
}

}  // namespace
}  // namespace quillon
