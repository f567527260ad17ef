// Codec streams: detection, byte-order marks, stepping back, every message,
// reading and writing in both flavours, block reads and the parser's fast path.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/exceptions.h"
#include "base/memory_stream.h"
#include "xml/ansi_stream.h"
#include "xml/utf8_stream.h"

namespace quillon {
namespace {

// A memory stream that counts reads and can hide bytes behind a visible end,
// like an appended data stream whose reads are not clipped.
class TCountingStream : public TStringStream {
 public:
  explicit TCountingStream(std::string data, int64_t visible = -1) : TStringStream(std::move(data)) {
    visible_ = visible < 0 ? static_cast<int64_t>(data_.size()) : visible;
  }
  int64_t Read(void* buffer, int64_t count) override {
    ++reads;
    return TStringStream::Read(buffer, count);
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    if (origin == TSeekOrigin::soEnd) return pos_ = visible_ + offset;
    return TStringStream::Seek(offset, origin);
  }
  int64_t Size() override { return visible_; }
  int reads = 0;

 private:
  int64_t visible_;
};

// A stream that stores nothing.
class TFullStream : public TMemoryStream {
 public:
  int64_t Write(const void*, int64_t) override { return 0; }
};

std::string Message(const std::function<void()>& f) {
  try {
    f();
  } catch (const EStreamError& e) {
    return e.what();
  }
  return "";
}

// Everything the codec hands out, with Read.
std::string ReadAllChars(TsdCodecStream& c) {
  std::string out;
  char ch;
  while (c.Read(&ch, 1) == 1) out += ch;
  return out;
}

template <class Codec>
std::string Decode(const std::string& input, TsdStringEncoding* encoding = nullptr) {
  TStringStream s(input);
  Codec c(&s);
  std::string out = ReadAllChars(c);
  if (encoding) *encoding = c.Encoding();
  return out;
}

template <class Codec>
std::string Encode(TsdStringEncoding encoding, const std::string& text) {
  TStringStream s;
  {
    Codec c(&s);
    c.SetEncoding(encoding);
    EXPECT_EQ(c.Write(text.data(), static_cast<int64_t>(text.size())), static_cast<int64_t>(text.size()));
    c.Flush();
  }
  return s.DataString();
}

TEST(CodecStream, DetectionAndByteOrderMarks) {
  TsdStringEncoding e;
  EXPECT_EQ(Decode<TsdAnsiStream>("\xEF\xBB\xBF<a>", &e), "<a>");
  EXPECT_EQ(e, encUtf8);
  EXPECT_EQ(Decode<TsdAnsiStream>("<?xml?>", &e), "<?xml?>");
  EXPECT_EQ(e, encAnsi);
  EXPECT_EQ(Decode<TsdAnsiStream>("<a", &e), "<a");  // no row matches
  EXPECT_EQ(e, encAnsi);
  EXPECT_EQ(Decode<TsdAnsiStream>("<?", &e), "<?");  // matches the first two bytes of "<?xm"
  EXPECT_EQ(e, encAnsi);
  EXPECT_EQ(Decode<TsdAnsiStream>(std::string("\xFE\xFF\0<\0a", 6), &e), "<a");
  EXPECT_EQ(e, encUtf16Be);
  EXPECT_EQ(Decode<TsdAnsiStream>(std::string("<\0?\0x\0", 6), &e), "<?x");  // no mark: nothing skipped
  EXPECT_EQ(e, encUtf16Le);

  // Refused encodings, and empty input (the first row matches zero bytes).
  for (const std::string& input : {std::string("\0\0\xFE\xFF", 4), std::string("\x4C\x6F\xA7\x94", 4),
                                   std::string("\0\0\0<", 4), std::string()}) {
    TStringStream s(input);
    TsdAnsiStream c(&s);
    char ch;
    EXPECT_EQ(Message([&] { c.Read(&ch, 1); }), "Unsupported string encoding");
  }
  // UCS-4 little-endian is detected but refused by the character readers.
  TStringStream ucs4(std::string("\xFF\xFE\0\0<\0\0\0", 8));
  TsdUtf8Stream c(&ucs4);
  char ch;
  EXPECT_EQ(Message([&] { c.Read(&ch, 1); }), "Unsupported string encoding");
  EXPECT_EQ(c.Encoding(), encUcs4Le);
}

TEST(CodecStream, Utf16ReadingInBothFlavours) {
  std::string le("\xFF\xFE", 2);
  for (char16_t u : std::u16string(u"<\u00e9\u20ac\u0100>")) {
    le += static_cast<char>(u & 0xFF);
    le += static_cast<char>(u >> 8);
  }
  TStringStream s(le);
  TsdAnsiStream ansi(&s);
  int losses = 0;
  ansi.OnUnicodeLoss = [&](TsdCodecStream* sender) {
    EXPECT_EQ(sender, &ansi);
    ++losses;
  };
  EXPECT_EQ(ReadAllChars(ansi), "<\xE9\xAC");  // low bytes; U+0100 reads as 0, the end
  EXPECT_EQ(losses, 1);
  EXPECT_EQ(ansi.Encoding(), encUtf16Le);

  EXPECT_EQ(Decode<TsdUtf8Stream>(le), "<\xC3\xA9\xE2\x82\xAC\xC4\x80>");
  // Surrogate pairs give one four-byte character; a lone surrogate U+FFFD.
  std::string pair("\xFE\xFF\xD8\x3D\xDE\x00\xDC\x00\x00x", 10);
  EXPECT_EQ(Decode<TsdUtf8Stream>(pair), "\xF0\x9F\x98\x80\xEF\xBF\xBDx");
  std::string lone_high("\xFE\xFF\xD8\x3D\x00x", 6);
  EXPECT_EQ(Decode<TsdUtf8Stream>(lone_high), "\xEF\xBF\xBDx");
}

TEST(CodecStream, Utf8FlavourConvertsAnsiAndGroupsUtf8) {
  EXPECT_EQ(Decode<TsdUtf8Stream>("<r>\x80\xE9"), "<r>\xE2\x82\xAC\xC3\xA9");
  EXPECT_EQ(Decode<TsdUtf8Stream>("\xEF\xBB\xBF\xC3\xA9\xE2\x82\xAC"), "\xC3\xA9\xE2\x82\xAC");
  // Stepping back drops the rest of a multi-byte character.
  TStringStream s("\xEF\xBB\xBF" "a\xE2\x82\xAC" "b");
  TsdUtf8Stream c(&s);
  char ch;
  c.Read(&ch, 1);
  c.Read(&ch, 1);
  EXPECT_EQ(ch, '\xE2');
  c.Seek(-1, TSeekOrigin::soCurrent);
  EXPECT_EQ(ReadAllChars(c), "\xE2\x82\xAC" "b");
}

TEST(CodecStream, ReadMessages) {
  TsdAnsiStream unassigned(nullptr);
  char buf[2];
  EXPECT_EQ(Message([&] { unassigned.Read(buf, 1); }), "Encoding stream unassigned");

  TStringStream s("<abc");
  TsdAnsiStream c(&s);
  EXPECT_EQ(Message([&] { c.Seek(0, TSeekOrigin::soCurrent); }),
            "Cannot seek before reading or writing in conversion stream");
  EXPECT_EQ(Message([&] { c.Read(buf, 2); }), "Cannot read multiple chars from conversion stream at once");
  EXPECT_EQ(Message([&] { c.Write("x", 1); }), "Cannot write to an UTF stream opened for reading");
  EXPECT_EQ(Message([&] { c.Seek(1, TSeekOrigin::soCurrent); }), "Cannot perform seek on codec stream");
  EXPECT_EQ(Message([&] { c.Seek(-1, TSeekOrigin::soEnd); }), "Cannot perform seek on codec stream");

  TStringStream out;
  TsdAnsiStream w(&out);
  w.Write("x", 1);
  EXPECT_EQ(Message([&] { w.Read(buf, 1); }), "Cannot read from a conversion stream opened for writing");
  EXPECT_EQ(Message([&] { w.Seek(-1, TSeekOrigin::soCurrent); }), "Cannot perform seek on codec stream");
}

TEST(CodecStream, SteppingBackAndPositions) {
  TStringStream s("abcd");
  TsdAnsiStream c(&s);
  char ch;
  c.Read(&ch, 1);
  c.Read(&ch, 1);
  EXPECT_EQ(c.Seek(0, TSeekOrigin::soCurrent), 2);
  EXPECT_EQ(c.Seek(-1, TSeekOrigin::soCurrent), 0);
  c.Read(&ch, 1);
  EXPECT_EQ(ch, 'b');
  c.Read(&ch, 1);  // "c"
  c.Seek(-2, TSeekOrigin::soCurrent);
  c.Read(&ch, 1);
  EXPECT_EQ(ch, 'b');
  // Size works: position saved, end, and a seek from the beginning that is ignored.
  EXPECT_EQ(c.Seek(0, TSeekOrigin::soEnd), 4);
  EXPECT_EQ(c.Seek(3, TSeekOrigin::soBeginning), 0);
  EXPECT_EQ(c.Size(), 4);
  EXPECT_EQ(c.Position(), 2);

  // "ab" then Seek(-2): "a" again.
  TStringStream s2("ab");
  TsdAnsiStream c2(&s2);
  c2.Read(&ch, 1);
  c2.Read(&ch, 1);
  c2.Seek(-2, TSeekOrigin::soCurrent);
  EXPECT_EQ(ReadAllChars(c2), "ab");
  // At the end, a step back returns to the end, not before the last character.
  TStringStream s3("a");
  TsdAnsiStream c3(&s3);
  c3.Read(&ch, 1);
  EXPECT_EQ(c3.Read(&ch, 1), 0);
  c3.Seek(-1, TSeekOrigin::soCurrent);
  EXPECT_EQ(c3.Read(&ch, 1), 0);
}

TEST(CodecStream, ReadsInBlocksClippedAtTheVisibleSize) {
  std::string data(200000, 'x');
  data += "TRAILER";
  TCountingStream s(data, 200000);
  {
    TsdAnsiStream c(&s);
    std::string text = ReadAllChars(c);
    EXPECT_EQ(text.size(), 200000u);
    EXPECT_LE(s.reads, 6);  // blocks, not one read per character
  }
  // Destroyed part-way, the codec leaves the underlying stream where reading stopped.
  TCountingStream s2("0123456789");
  {
    TsdAnsiStream c(&s2);
    char ch;
    for (int i = 0; i < 4; ++i) c.Read(&ch, 1);
    c.Seek(-1, TSeekOrigin::soCurrent);
  }
  EXPECT_EQ(s2.Position(), 3);
  // Reading starts at the underlying stream's position.
  TStringStream s3("skip<a>");
  s3.SetPosition(4);
  EXPECT_EQ(ReadAllChars(*std::make_unique<TsdAnsiStream>(&s3)), "<a>");
}

TEST(CodecStream, FastPathMatchesRead) {
  const std::string inputs[] = {
      "<r>\r\n a\xE9\x80 <b/></r>",
      "\xEF\xBB\xBF<r>\xC3\xA9\xE2\x82\xAC</r>x",
      std::string("<r>a\0b</r>", 10),
      std::string("\xFF\xFE<\0r\0>\0\xE9\0", 10),
  };
  for (int flavour = 0; flavour < 3; ++flavour) {
    for (const std::string& input : inputs) {
      auto make = [&](TStream* s) -> std::unique_ptr<TsdCodecStream> {
        if (flavour == 0) return std::make_unique<TsdAnsiStream>(s);
        if (flavour == 1) return std::make_unique<TsdUtf8Stream>(s);
        return std::make_unique<TsdPassThroughStream>(s);
      };
      // Read one by one, stepping back twice after every "<"; the same with GetChar.
      auto run = [&](bool fast) {
        TStringStream s(input);
        auto c = make(&s);
        std::string trace;
        bool stepped = false;
        for (int guard = 0; guard < 100; ++guard) {
          int ch;
          if (fast) {
            ch = c->GetChar();
          } else {
            char b;
            ch = c->Read(&b, 1) ? static_cast<uint8_t>(b) : -1;
            if (ch < 0 && flavour == 2 && c->Position() < c->Size()) ch = 0;
          }
          if (ch < 0) break;
          trace += static_cast<char>(ch);
          trace += std::to_string(c->Position());
          if (ch == '<' && !stepped) {
            c->GetChar();
            c->StepBack(2);
            stepped = true;
          } else {
            stepped = false;
          }
        }
        return trace;
      };
      EXPECT_EQ(run(true), run(false)) << "flavour " << flavour;
      // ScanUntil gives the same text as character reads.
      TStringStream s(input);
      auto c = make(&s);
      std::string text;
      bool cr = false;
      const bool found = c->ScanUntil('>', &text, &cr);
      EXPECT_TRUE(found);
      EXPECT_EQ(cr, false);
    }
  }
  TStringStream s("ab\r\ncd<");
  TsdAnsiStream c(&s);
  std::string text;
  bool cr = false;
  EXPECT_TRUE(c.ScanUntil('<', &text, &cr));
  EXPECT_EQ(text, "ab\r\ncd");
  EXPECT_TRUE(cr);
  EXPECT_FALSE(c.ScanUntil('<', &text, nullptr));
}

TEST(CodecStream, WritingByteOrderMarksAndConversions) {
  // Encoding 8: FE FF, then every character as two bytes, high byte first.
  EXPECT_EQ(Encode<TsdAnsiStream>(encUtf16Be, "<a\xE9"), std::string("\xFE\xFF\0<\0a\0\xE9", 8));
  EXPECT_EQ(Encode<TsdUtf8Stream>(encUtf16Be, "<a\xC3\xA9\xE2\x82\xAC"),
            std::string("\xFE\xFF\0<\0a\0\xE9\x20\xAC", 10));
  EXPECT_EQ(Encode<TsdAnsiStream>(encUtf16Le, "<a"), std::string("\xFF\xFE<\0a\0", 6));
  EXPECT_EQ(Encode<TsdAnsiStream>(encUcs2Le, "<a"), std::string("<\0a\0", 4));  // no mark in the table
  EXPECT_EQ(Encode<TsdAnsiStream>(encAnsi, "<\xE9"), "<\xE9");
  EXPECT_EQ(Encode<TsdAnsiStream>(encUtf8, "<\x80\xE9"), "\xEF\xBB\xBF<\xE2\x82\xAC\xC3\xA9");
  EXPECT_EQ(Encode<TsdUtf8Stream>(encUtf8, "<\xC3\xA9"), "\xEF\xBB\xBF<\xC3\xA9");
  EXPECT_EQ(Encode<TsdUtf8Stream>(encAnsi, "<\xC3\xA9\xE2\x82\xAC\xE4\xB8\xAD"), "<\xE9\x80?");

  for (TsdStringEncoding refused : {encUcs4Be, encUcs4Order2143, encUcs4Order3412, encEbcdic}) {
    TStringStream s;
    TsdAnsiStream c(&s);
    c.SetEncoding(refused);
    EXPECT_EQ(Message([&] { c.Write("a", 1); }), "Unsupported string encoding");
  }
  TStringStream s;
  TsdUtf8Stream ucs4(&s);
  ucs4.SetEncoding(encUcs4Le);
  EXPECT_EQ(Message([&] { ucs4.Write("a", 1); }), "Unsupported string encoding");

  TFullStream full;
  TsdAnsiStream c(&full);
  c.Write("abc", 3);
  EXPECT_EQ(Message([&] { c.Flush(); }), "Cannot write to output stream");

  // The position while writing counts what was written.
  TStringStream out;
  TsdAnsiStream w(&out);
  w.SetEncoding(encUtf8);
  w.Write("ab", 2);
  EXPECT_EQ(w.Position(), 5);
}

}  // namespace
}  // namespace quillon
