// URL splitting, names and dates of the HTTP client.
#include "net/http/url.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

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

// Each URL with the base path it is read against; a part given as nullptr is
// not checked.
TEST(ParseURL, PartsOfEachForm) {
  struct Case {
    const char *url, *base;
    const char *proto, *user, *pass, *host, *port, *path;
  } cases[] = {
      {"http://ann:se:cret@example.test:8080/a/b.zip?x=1", "", "http", "ann", "se:cret", "example.test", "8080",
       "/a/b.zip?x=1"},
      {"http://example.test", "", nullptr, nullptr, nullptr, "example.test", "", ""},
      {"ftp://ann@h/x", "", "ftp", "ann", "", "h", nullptr, nullptr},
      {"http://h?q=/x", "", nullptr, nullptr, nullptr, "h", nullptr, "?q=/x"},
      // A "#" ends the authority; the fragment goes nowhere.
      {"http://127.0.0.1:1#@127.0.0.2:2/x", "", "http", "", "", "127.0.0.1", "1", ""},
      {"http://h/p?q#f/g", "", nullptr, nullptr, nullptr, "h", nullptr, "/p?q"},
      // IPv6 hosts in brackets.
      {"http://[::1]:8081/f", "", nullptr, "", nullptr, "::1", "8081", "/f"},
      {"ftp://[::1]/f", "", nullptr, "", nullptr, "::1", "", "/f"},
      {"http://ann:pw@[2001:db8::7]:21/a?x=[1]", "", nullptr, "ann", nullptr, "2001:db8::7", "21", "/a?x=[1]"},
      {"http://[fe80::1]", "", nullptr, "", nullptr, "fe80::1", "", ""},
      // Without a scheme, and relative forms.
      {"/only/path", "", "http", nullptr, nullptr, "", nullptr, "/only/path"},
      {"//h:81/p", "", nullptr, nullptr, nullptr, "h", "81", "/p"},
      {"HTTP://Upper/x", "", "http", nullptr, nullptr, "Upper", nullptr, "/x"},  // capitals are not a scheme, but http: still is
      {"host.test/x", "", "", nullptr, nullptr, "host.test", nullptr, "/x"},
      {"./c.htm", "/a/b/old.htm", nullptr, nullptr, nullptr, nullptr, nullptr, "/a/b/c.htm"},
      {"../c.htm", "/a/b/old.htm", nullptr, nullptr, nullptr, nullptr, nullptr, "/a/c.htm"},
      {"../../../c.htm", "/a/b/old.htm", nullptr, nullptr, nullptr, nullptr, nullptr, "/c.htm"},
      {"mailto:ann@h", "", "mailto", nullptr, nullptr, nullptr, nullptr, nullptr},
      {"", "", nullptr, nullptr, nullptr, nullptr, nullptr, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    const Parts p = Parse(c.url, c.base);
    const std::pair<const char*, const std::string*> checks[] = {
        {c.proto, &p.proto}, {c.user, &p.user}, {c.pass, &p.pass},
        {c.host, &p.host},   {c.port, &p.port}, {c.path, &p.path}};
    for (const auto& [want, got] : checks) {
      if (want != nullptr) {
        EXPECT_EQ(*got, want);
      }
    }
  }
  EXPECT_EQ(UrlHost("::1"), "[::1]");
  EXPECT_EQ(UrlHost("example.test"), "example.test");
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

// RFC 3986 section 5.4's examples against its base, and what goes on the
// request line.
TEST(UrlHelpers, ReferencesAndRequestTargets) {
  const std::string base = "http://a/b/c/d;p?q";
  const std::pair<const char*, const char*> references[] = {
      {"g", "http://a/b/c/g"},         {"./g/", "http://a/b/c/g/"},     {"/g", "http://a/g"},
      {"//g:81/h", "http://g:81/h"},   {"?y", "http://a/b/c/d;p?y"},    {"#s", "http://a/b/c/d;p?q"},
      {"", "http://a/b/c/d;p?q"},      {"../..", "http://a/"},          {"../../../g", "http://a/g"},
      {"/./g/.././h", "http://a/h"},   {"g?y/./x", "http://a/b/c/g?y/./x"},
      {"HTTPS://x/./y#z", "https://x/y"}, {"mailto:m@h", "mailto:m@h"},
  };
  for (const auto& [reference, want] : references) EXPECT_EQ(ResolveReference(base, reference), want) << reference;
  const std::pair<const char*, const char*> targets[] = {
      {"/a b/%20c%zz", "/a%20b/%20c%25zz"},
      {"/caf\xC3\xA9?q=<\"x\">&r={|}", "/caf%C3%A9?q=%3C%22x%22%3E&r=%7B%7C%7D"},
      {"/p#frag", "/p"},
      {"?q=1", "/?q=1"},
      {"http://[::1]:8/a b", "http://[::1]:8/a%20b"},
      {"http://h", "http://h/"},
      {"http://h:8?q", "http://h:8/?q"},
  };
  for (const auto& [path, want] : targets) EXPECT_EQ(RequestTarget(path), want) << path;
  const std::pair<const char*, const char*> refusals[] = {
      {"ftp://h/a\r\nDELE x", "the URL holds a control character (a line break, NUL or another)."},
      {"ftp://h/a%0d%0ADELE%20x", "the URL holds a control character (a line break, NUL or another)."},
      {"http://h/a%00", "the URL holds a control character (a line break, NUL or another)."},
      {"http://", "the URL names no host."},
      {"ftp://u:p@/x", "the URL names no host."},
      {"http://h/a%20b%0", ""},
  };
  for (const auto& [url, want] : refusals) EXPECT_EQ(UrlRefusal(url), want) << url;
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
