// TXmlNode: typed values kept as the text of child elements, and attributes
// read and written as strings and whole numbers.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "base/exceptions.h"
#include "base/strings.h"
#include "xml/xml_node.h"

namespace quillon {

namespace {

std::optional<int> ToInt(std::string_view text) {
  const std::optional<int64_t> v = ParseInt64(text);
  if (!v || *v < std::numeric_limits<int32_t>::min() || *v > std::numeric_limits<int32_t>::max()) return std::nullopt;
  return static_cast<int>(*v);
}

// The digits at 1-based positions first..last; absent when they are not a
// number (a text too short for them included).
std::optional<int> Field(std::string_view text, size_t first, size_t last) {
  if (text.size() < last) return std::nullopt;
  const std::string_view digits = text.substr(first - 1, last - first + 1);
  for (char c : digits)
    if (c < '0' || c > '9') return std::nullopt;
  return ToInt(digits);
}

// "yyyy-mm-dd", and with more than 16 characters "yyyy-mm-ddThh:nn:ss.zzz",
// read at fixed positions; seconds and milliseconds that are not numbers
// count as 0.
std::optional<TDateTime> DateTimeFromString(std::string_view text) {
  const auto year = Field(text, 1, 4), month = Field(text, 6, 7), day = Field(text, 9, 10);
  if (!year || !month || !day) return std::nullopt;
  TDateTime date;
  if (!TryEncodeDate(*year, *month, *day, date)) return std::nullopt;
  if (text.size() <= 16) return date;
  const auto hour = Field(text, 12, 13), minute = Field(text, 15, 16);
  if (!hour || !minute) return std::nullopt;
  const int second = Field(text, 18, 19).value_or(0);
  const int msec = Field(text, 21, 23).value_or(0);
  if (*hour > 23 || *minute > 59 || second > 59) return std::nullopt;
  return date + EncodeTime(*hour, *minute, second, msec);
}

}  // namespace

// ---------------------------------------------------------------------------
// The node's own value

int TXmlNode::ValueAsIntegerDef(int def) const { return ToInt(value_).value_or(def); }

double TXmlNode::ValueAsFloatDef(double def) const {
  std::string text(TrimWS(value_));
  const size_t comma = text.find(',');
  if (comma != std::string::npos) text[comma] = '.';
  double v = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || ptr != end) return def;
  return v;
}

bool TXmlNode::ValueAsBoolDef(bool def) const {
  const std::string v = UpperCase(value_);
  if (v.empty()) return def;
  if (v == "TRUE" || v[0] == 'T' || v[0] == 'Y') return true;
  if (v == "FALSE" || v[0] == 'F' || v[0] == 'N') return false;
  return def;
}

TDateTime TXmlNode::ValueAsDateTimeDef(TDateTime def) const { return DateTimeFromString(ValueAsString()).value_or(def); }

// ---------------------------------------------------------------------------
// Readers

std::string TXmlNode::ReadString(std::string_view name, std::string_view def) const {
  const TXmlNode* child = NodeByName(name);
  return child ? child->ValueAsString() : std::string(def);
}

std::u16string TXmlNode::ReadWidestring(std::string_view name, std::u16string_view def) const {
  const TXmlNode* child = NodeByName(name);
  return child ? child->ValueAsWidestring() : std::u16string(def);
}

int TXmlNode::ReadInteger(std::string_view name, int def) const {
  const TXmlNode* child = NodeByName(name);
  return child ? child->ValueAsIntegerDef(def) : def;
}

TColor TXmlNode::ReadColor(std::string_view name, TColor def) const {
  const TXmlNode* child = NodeByName(name);
  if (!child) return def;
  const std::string text = child->ValueAsString();
  const std::optional<int64_t> v = ParseInt64(text);
  // Colours are 32-bit: "$FFFFFFFF" is as valid as -1.
  if (!v || *v < std::numeric_limits<int32_t>::min() || *v > std::numeric_limits<uint32_t>::max())
    throw EConvertError("'" + text + "' is not a valid integer value");
  return static_cast<TColor>(static_cast<uint32_t>(*v));
}

double TXmlNode::ReadFloat(std::string_view name, double def) const {
  const TXmlNode* child = NodeByName(name);
  return child ? child->ValueAsFloatDef(def) : def;
}

bool TXmlNode::ReadBool(std::string_view name, bool def) const {
  const TXmlNode* child = NodeByName(name);
  return child ? child->ValueAsBoolDef(def) : def;
}

TDateTime TXmlNode::ReadDateTime(std::string_view name, TDateTime def) const {
  return DateTimeFromString(ReadString(name, "")).value_or(def);
}

std::string TXmlNode::ReadAttributeString(std::string_view name, std::string_view def) const {
  std::string v = AttributeByName(name);
  return v.empty() ? std::string(def) : v;
}

int TXmlNode::ReadAttributeInteger(std::string_view name, int def) const {
  return ToInt(AttributeByName(name)).value_or(def);
}

void TXmlNode::ReadBrush(std::string_view name, TXmlBrush& brush) const {
  brush = TXmlBrush{};
  if (const TXmlNode* child = NodeByName(name)) {
    brush.color = child->ReadColor("Color", 0xFFFFFF);
    brush.style = child->ReadInteger("Style", 0);
  }
}

void TXmlNode::ReadFont(std::string_view name, TXmlFont& font) const {
  font = TXmlFont{};
  const TXmlNode* child = NodeByName(name);
  if (!child) return;
  font.name = child->ReadString("Name", "Arial");
  font.color = child->ReadColor("Color", 0);
  font.size = child->ReadInteger("Size", 14);
  if (child->ReadBool("Bold", false)) font.style |= fsBold;
  if (child->ReadBool("Italic", false)) font.style |= fsItalic;
  if (child->ReadBool("Underline", false)) font.style |= fsUnderline;
  if (child->ReadBool("Strikeout", false)) font.style |= fsStrikeOut;
}

void TXmlNode::ReadPen(std::string_view name, TXmlPen& pen) const {
  pen = TXmlPen{};
  if (const TXmlNode* child = NodeByName(name)) {
    pen.color = child->ReadColor("Color", 0);
    pen.mode = child->ReadInteger("Mode", 4);
    pen.style = child->ReadInteger("Style", 0);
    pen.width = child->ReadInteger("Width", 1);
  }
}

// ---------------------------------------------------------------------------
// Writers

void TXmlNode::WriteString(std::string_view name, std::string_view value, std::string_view def) {
  if (WriteOnDefault() || value != def) NodeFindOrCreate(name)->SetValueAsString(value);
}

void TXmlNode::WriteWidestring(std::string_view name, std::u16string_view value, std::u16string_view def) {
  if (WriteOnDefault() || value != def) NodeFindOrCreate(name)->SetValueAsWidestring(value);
}

void TXmlNode::WriteInteger(std::string_view name, int value, int def) {
  if (WriteOnDefault() || value != def) NodeFindOrCreate(name)->SetValueAsString(std::to_string(value));
}

void TXmlNode::WriteFloat(std::string_view name, double value, double def) {
  if (!WriteOnDefault() && value == def) return;
  // The shortest text that reads back as the same number.
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  NodeFindOrCreate(name)->SetValueAsString(std::string_view(text, ec == std::errc() ? end - text : 0));
}

void TXmlNode::WriteBool(std::string_view name, bool value, bool def) {
  if (WriteOnDefault() || value != def) NodeFindOrCreate(name)->SetValueAsString(value ? "True" : "False");
}

void TXmlNode::WriteHex(std::string_view name, uint32_t value, int digits, uint32_t def) {
  if (WriteOnDefault() || value != def)
    NodeFindOrCreate(name)->SetValueAsString(Format("$%.*X", std::clamp(digits, 0, 32), value));
}

void TXmlNode::WriteColor(std::string_view name, TColor value, TColor def) {
  if (WriteOnDefault() || value != def)
    NodeFindOrCreate(name)->SetValueAsString(Format("$%.8X", static_cast<uint32_t>(ColorToRgb(value))));
}

void TXmlNode::WriteDateTime(std::string_view name, TDateTime value, TDateTime def) {
  if (!WriteOnDefault() && value == def) return;
  int year, month, day, hour, minute, second, msec;
  DecodeDate(value, year, month, day);
  DecodeTime(value, hour, minute, second, msec);
  const std::string text = hour == 0 && minute == 0 && second == 0 && msec == 0
                               ? Format("%.4d-%.2d-%.2d", year, month, day)
                               : Format("%.4d-%.2d-%.2dT%.2d:%.2d:%.2d.%.3dZ", year, month, day, hour, minute,
                                        second, msec);
  NodeFindOrCreate(name)->SetValueAsString(text);
}

void TXmlNode::WriteAttributeString(std::string_view name, std::string_view value) {
  const int index = AttributeIndexByName(name);
  if (index >= 0)
    SetAttributeValue(index, value);
  else
    AttributeAdd(name, value);
}

void TXmlNode::WriteAttributeInteger(std::string_view name, int value) {
  WriteAttributeString(name, std::to_string(value));
}

// The defaults below are those the readers use, so that a value left out
// because it equals its default reads back unchanged.
void TXmlNode::WriteBrush(std::string_view name, const TXmlBrush& brush) {
  TXmlNode* child = NodeFindOrCreate(name);
  child->WriteColor("Color", brush.color, 0xFFFFFF);
  child->WriteInteger("Style", brush.style, 0);
}

void TXmlNode::WriteFont(std::string_view name, const TXmlFont& font) {
  TXmlNode* child = NodeFindOrCreate(name);
  child->WriteString("Name", font.name, "Arial");
  child->WriteColor("Color", font.color, 0);
  child->WriteInteger("Size", font.size, 14);
  child->WriteBool("Bold", (font.style & fsBold) != 0, false);
  child->WriteBool("Italic", (font.style & fsItalic) != 0, false);
  child->WriteBool("Underline", (font.style & fsUnderline) != 0, false);
  child->WriteBool("Strikeout", (font.style & fsStrikeOut) != 0, false);
}

void TXmlNode::WritePen(std::string_view name, const TXmlPen& pen) {
  TXmlNode* child = NodeFindOrCreate(name);
  child->WriteColor("Color", pen.color, 0);
  child->WriteInteger("Mode", pen.mode, 4);
  child->WriteInteger("Style", pen.style, 0);
  child->WriteInteger("Width", pen.width, 1);
}

}  // namespace quillon
