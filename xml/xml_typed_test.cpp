// Typed readers and writers: numbers, colours, floats, flags, dates, brushes,
// fonts and pens kept in child elements.
#include <gtest/gtest.h>

#include <string>

#include "base/exceptions.h"
#include "xml/xml_document.h"

namespace quillon {
namespace {

// A root with one child per pair (name, raw value).
struct Fixture {
  TsdXmlDocument doc{"r"};
  TXmlNode* r = doc.Root();
  void Set(const char* name, const char* raw) { r->NodeFindOrCreate(name)->SetValue(raw); }
};

TEST(XmlTyped, IntegersAndColours) {
  Fixture f;
  // What is no 32-bit integer gives the default.
  const struct {
    const char* raw;
    int want;
  } integers[] = {{"42", 42}, {"$1F", 31}, {"4x", 7}, {"99999999999", 7}};
  for (const auto& c : integers) {
    f.Set("v", c.raw);
    EXPECT_EQ(f.r->ReadInteger("V", 7), c.want) << c.raw;  // names in any case
  }
  EXPECT_EQ(f.r->ReadInteger("none", 9), 9);
  f.Set("bad", "4x");

  f.Set("c", "$00FF8000");
  f.Set("all", "$FFFFFFFF");
  EXPECT_EQ(f.r->ReadColor("c", 0), 0xFF8000);
  EXPECT_EQ(f.r->ReadColor("all", 0), -1);
  EXPECT_EQ(f.r->ReadColor("none", 123), 123);
  try {
    f.r->ReadColor("bad", 0);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'4x' is not a valid integer value");
  }

  f.r->WriteInteger("w", -12);
  EXPECT_EQ(f.r->NodeByName("w")->Value(), "-12");
  f.r->WriteHex("h", 0xAB, 4);
  EXPECT_EQ(f.r->NodeByName("h")->Value(), "$00AB");
  f.r->WriteHex("h", 0x12345, 2);
  EXPECT_EQ(f.r->NodeByName("h")->Value(), "$12345");
  // Colours are stored as their RGB value, eight digits.
  f.r->WriteColor("col", static_cast<TColor>(0x80000005));
  EXPECT_EQ(f.r->NodeByName("col")->Value(), "$00000005");
  f.r->WriteColor("col", 0x00FF8000);
  EXPECT_EQ(f.r->ReadColor("col"), 0xFF8000);
}

TEST(XmlTyped, Floats) {
  Fixture f;
  // A comma or a dot as the decimal separator; what is no number gives the default.
  const struct {
    const char* raw;
    double want;
  } floats[] = {{"1,5", 1.5}, {" 2.25 ", 2.25}, {"1,5,5", 9}, {"abc", 9}, {"", 9}};
  for (const auto& c : floats) {
    f.Set("v", c.raw);
    EXPECT_DOUBLE_EQ(f.r->ReadFloat("v", 9), c.want) << c.raw;
  }
  for (double v : {0.1, -3.0, 1e300, 123456.789}) {
    f.r->WriteFloat("v", v);
    EXPECT_EQ(f.r->ReadFloat("v"), v);
  }
  f.r->WriteFloat("v", 0.5);
  EXPECT_EQ(f.r->NodeByName("v")->Value(), "0.5");
}

TEST(XmlTyped, Booleans) {
  Fixture f;
  const struct {
    const char* raw;
    bool def;
    bool expected;
  } cases[] = {{"TRUE", false, true}, {"true", false, true}, {"Tick", false, true}, {"yes", false, true},
               {"FALSE", true, false}, {"f", true, false}, {"No", true, false},  {"", true, true},
               {"", false, false},     {"maybe", true, true}, {"1", false, false}};
  for (const auto& c : cases) {
    f.Set("b", c.raw);
    EXPECT_EQ(f.r->ReadBool("b", c.def), c.expected) << c.raw;
  }
  EXPECT_TRUE(f.r->ReadBool("none", true));
  f.r->WriteBool("w", true);
  EXPECT_EQ(f.r->NodeByName("w")->Value(), "True");
  f.r->WriteBool("w", false);
  EXPECT_EQ(f.r->NodeByName("w")->Value(), "False");
}

TEST(XmlTyped, WritersSkipDefaultsWhenAsked) {
  Fixture f;
  f.doc.SetWriteOnDefault(false);
  f.r->WriteBool("b", false, false);
  f.r->WriteInteger("i", 3, 3);
  f.r->WriteString("s", "x", "x");
  f.r->WriteFloat("f", 1.5, 1.5);
  f.r->WriteHex("h", 5, 2, 5);
  f.r->WriteColor("c", 7, 7);
  f.r->WriteDateTime("d", 2.0, 2.0);
  f.r->WriteWidestring("w", u"x", u"x");
  EXPECT_EQ(f.r->NodeCount(), 0);
  f.r->WriteBool("b", true, false);
  EXPECT_EQ(f.r->NodeCount(), 1);
  // With WriteOnDefault every value is stored.
  f.doc.SetWriteOnDefault(true);
  f.r->WriteInteger("i", 3, 3);
  EXPECT_EQ(f.r->ReadInteger("i"), 3);
  // An existing child is overwritten, not doubled.
  f.r->WriteInteger("I", 4, 3);
  EXPECT_EQ(f.r->NodeCount(), 2);
  EXPECT_EQ(f.r->ReadInteger("i"), 4);
}

TEST(XmlTyped, Dates) {
  Fixture f;
  TDateTime day;
  ASSERT_TRUE(TryEncodeDate(2024, 2, 29, day));
  const TDateTime moment = day + EncodeTime(13, 45, 30, 123);
  f.r->WriteDateTime("d", day);
  EXPECT_EQ(f.r->NodeByName("d")->Value(), "2024-02-29");
  EXPECT_EQ(f.r->ReadDateTime("d", 0), day);
  f.r->WriteDateTime("t", moment);
  EXPECT_EQ(f.r->NodeByName("t")->Value(), "2024-02-29T13:45:30.123Z");
  EXPECT_NEAR(f.r->ReadDateTime("t", 0), moment, 1e-9);

  // Seconds and milliseconds that are not numbers count as 0.
  f.Set("x", "2024-02-29T13:45:xx.yyy");
  EXPECT_NEAR(f.r->ReadDateTime("x", 0), day + EncodeTime(13, 45, 0, 0), 1e-9);
  // Sixteen characters or fewer: the date alone.
  f.Set("short", "2024-02-29T13:45");
  EXPECT_EQ(f.r->ReadDateTime("short", 0), day);
  for (const char* bad : {"2023-02-29", "2024-13-01", "24-02-29", "", "2024-02-29T25:00:00", "2024-02-29Tab:00:00"}) {
    f.Set("bad", bad);
    EXPECT_EQ(f.r->ReadDateTime("bad", -5.0), -5.0) << bad;
  }
  EXPECT_EQ(f.r->ReadDateTime("none", 7.0), 7.0);
  f.Set("v", "2000-01-01");
  TDateTime y2k;
  ASSERT_TRUE(TryEncodeDate(2000, 1, 1, y2k));
  EXPECT_EQ(f.r->NodeByName("v")->ValueAsDateTimeDef(0), y2k);
}

TEST(XmlTyped, StringsAndEscaping) {
  Fixture f;
  f.r->WriteString("s", "a&b<c>");
  EXPECT_EQ(f.r->NodeByName("s")->Value(), "a&amp;b&lt;c&gt;");
  EXPECT_EQ(f.r->ReadString("S"), "a&b<c>");
  EXPECT_EQ(f.r->ReadString("none", "d"), "d");
}

TEST(XmlTyped, BrushesFontsAndPensReadBackWhatWasWritten) {
  for (bool on_default : {true, false}) {
    Fixture f;
    f.doc.SetWriteOnDefault(on_default);
    // Values equal to the writers' defaults are the ones at risk of being
    // left out and read back as something else.
    const TXmlBrush black{0, 0};
    TXmlFont font;
    font.name = "Courier";
    font.color = 0x0000FF;
    font.size = 9;
    font.style = fsBold | fsStrikeOut;
    const TXmlPen thin{0x123456, 0, 2, 0};
    f.r->WriteBrush("Brush", black);
    f.r->WriteFont("Font", font);
    f.r->WritePen("Pen", thin);
    // Written text read back through the parser.
    TsdXmlDocument back;
    back.ReadFromString(f.doc.WriteToString());
    TXmlBrush b{1, 1};
    TXmlFont g;
    TXmlPen p;
    back.Root()->ReadBrush("brush", b);
    back.Root()->ReadFont("font", g);
    back.Root()->ReadPen("pen", p);
    EXPECT_EQ(b.color, 0) << on_default;
    EXPECT_EQ(b.style, 0);
    EXPECT_EQ(g.name, "Courier");
    EXPECT_EQ(g.color, 0x0000FF);
    EXPECT_EQ(g.size, 9);
    EXPECT_EQ(g.style, fsBold | fsStrikeOut);
    EXPECT_EQ(p.color, 0x123456);
    EXPECT_EQ(p.mode, 0) << on_default;
    EXPECT_EQ(p.style, 2);
    EXPECT_EQ(p.width, 0) << on_default;
  }
}

TEST(XmlTyped, BrushesFontsAndPensWithoutChildGetDefaults) {
  Fixture f;
  TXmlBrush b{5, 3};
  TXmlFont g;
  g.name = "X";
  g.style = fsItalic;
  TXmlPen p{1, 2, 3, 4};
  f.r->ReadBrush("none", b);
  f.r->ReadFont("none", g);
  f.r->ReadPen("none", p);
  EXPECT_EQ(b.color, 0xFFFFFF);
  EXPECT_EQ(b.style, 0);
  EXPECT_EQ(g.name, "Arial");
  EXPECT_EQ(g.color, 0);
  EXPECT_EQ(g.size, 14);
  EXPECT_EQ(g.style, 0);
  EXPECT_EQ(p.color, 0);
  EXPECT_EQ(p.mode, 4);
  EXPECT_EQ(p.style, 0);
  EXPECT_EQ(p.width, 1);
  // A present child with no fields: the same defaults, the style cleared.
  f.r->NodeNew("Font");
  g.style = fsBold;
  f.r->ReadFont("font", g);
  EXPECT_EQ(g.style, 0);
  EXPECT_EQ(g.name, "Arial");
}

}  // namespace
}  // namespace quillon
