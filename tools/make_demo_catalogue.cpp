// make-demo-catalogue: fills the demo catalogue's template with JPEG pictures
// drawn here and writes the catalogue in its compact form (the declaration, one
// LF, then the element tree without the template's indentation).
//
//   make-demo-catalogue TEMPLATE OUTPUT
//
// Placeholders in the template, each replaced by the base64 of a JPEG picture:
//   @LOGO@                       the 97 x 90 logo
//   @ICON:#rrggbb:L@             a 32 x 32 icon in that colour with the letter L
//   @SHOT:editor|sheet:#rrggbb:TITLE@  a screenshot of a made-up program window
#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRegularExpression>

#include <cstdio>
#include <string>

#include "base/base64.h"

namespace {

QFont Font(int pixels, bool bold = false) {
  QFont f(QStringLiteral("DejaVu Sans"));
  f.setPixelSize(pixels);
  f.setBold(bold);
  return f;
}

QImage Logo() {
  QImage img(97, 90, QImage::Format_RGB32);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient g(0, 0, 97, 90);
  g.setColorAt(0, QColor("#1d3557"));
  g.setColorAt(1, QColor("#2a9d8f"));
  p.fillRect(img.rect(), g);
  // A quill: a feather curve with its shaft.
  QPainterPath feather;
  feather.moveTo(30, 62);
  feather.cubicTo(34, 30, 58, 12, 78, 8);
  feather.cubicTo(70, 30, 54, 52, 30, 62);
  p.fillPath(feather, QColor("#f1faee"));
  p.setPen(QPen(QColor("#e9c46a"), 2));
  p.drawLine(QPointF(24, 70), QPointF(62, 28));
  p.setPen(QColor("#f1faee"));
  p.setFont(Font(13, true));
  p.drawText(QRect(0, 68, 97, 20), Qt::AlignCenter, QStringLiteral("Marrowby"));
  return img;
}

QImage Icon(const QColor& colour, const QString& letter) {
  QImage img(32, 32, QImage::Format_RGB32);
  img.fill(QColor("#ece9d8"));
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(colour);
  p.setPen(colour.darker(140));
  p.drawRoundedRect(QRectF(1.5, 1.5, 29, 29), 6, 6);
  p.setPen(Qt::white);
  p.setFont(Font(20, true));
  p.drawText(QRect(0, 0, 32, 32), Qt::AlignCenter, letter);
  return img;
}

QImage Screenshot(const QString& kind, const QColor& colour, const QString& title) {
  QImage img(400, 260, QImage::Format_RGB32);
  img.fill(QColor("#d4d0c8"));
  QPainter p(&img);
  // Title bar, menu bar and a work area.
  p.fillRect(QRect(0, 0, 400, 22), colour);
  p.setPen(Qt::white);
  p.setFont(Font(12, true));
  p.drawText(QRect(8, 0, 380, 22), Qt::AlignVCenter | Qt::AlignLeft, title);
  p.setPen(Qt::black);
  p.setFont(Font(11));
  p.drawText(QRect(8, 24, 380, 16), Qt::AlignVCenter | Qt::AlignLeft,
             QStringLiteral("File   Edit   View   Tools   Help"));
  const QRect work(6, 44, 388, 210);
  p.fillRect(work, Qt::white);
  p.setPen(QColor("#808080"));
  p.drawRect(work.adjusted(0, 0, -1, -1));
  if (kind == QLatin1String("sheet")) {
    p.setPen(QColor("#c0c0c0"));
    for (int x = work.left(); x < work.right(); x += 64) p.drawLine(x, work.top(), x, work.bottom());
    for (int y = work.top(); y < work.bottom(); y += 18) p.drawLine(work.left(), y, work.right(), y);
    p.setPen(Qt::black);
    const char* heads[] = {"Month", "Rent", "Food", "Travel", "Total"};
    for (int c = 0; c < 5; ++c)
      p.drawText(QRect(work.left() + c * 64 + 4, work.top(), 60, 18), Qt::AlignVCenter,
                 QString::fromLatin1(heads[c]));
    for (int r = 1; r < 11; ++r)
      for (int c = 0; c < 5; ++c)
        p.drawText(QRect(work.left() + c * 64 + 4, work.top() + r * 18, 56, 18),
                   Qt::AlignVCenter | (c ? Qt::AlignRight : Qt::AlignLeft),
                   c ? QString::number((r * 37 + c * 53) % 900 + 100) : QStringLiteral("M%1").arg(r));
  } else {
    p.setPen(Qt::black);
    p.setFont(QFont(QStringLiteral("DejaVu Sans Mono"), 9));
    const char* lines[] = {"Shopping list", "", "- bread, cheese & apples", "- caf\xc3\xa9 beans",
                           "", "Notes for Monday", "  call the printer", "  send the draft",
                           "  book the room for 10:30"};
    int y = work.top() + 4;
    for (const char* l : lines) {
      p.drawText(QRect(work.left() + 6, y, 370, 16), Qt::AlignVCenter, QString::fromUtf8(l));
      y += 17;
    }
    p.fillRect(QRect(work.left() + 6, y + 2, 1, 14), Qt::black);  // the caret
  }
  return img;
}

QByteArray Jpeg(const QImage& img) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  img.save(&buffer, "JPEG", 90);
  return bytes;
}

QByteArray Base64Of(const QImage& img) {
  const QByteArray jpeg = Jpeg(img);
  return QByteArray::fromStdString(quillon::Base64Encode(std::string_view(jpeg.data(), jpeg.size())));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make-demo-catalogue TEMPLATE OUTPUT\n");
    return 2;
  }
  // Drawing text needs a GUI application, never a display.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);

  QFile in(QString::fromLocal8Bit(argv[1]));
  if (!in.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  QByteArray text = in.readAll();
  // Compact form: no white space between tags, the declaration on its own line.
  text.replace('\r', "");
  text = QString::fromLatin1(text).replace(QRegularExpression(QStringLiteral(">\\s+<")), QStringLiteral("><")).toLatin1().trimmed();
  text.replace("?><", "?>\n<");

  QRegularExpression placeholder(QStringLiteral("@(LOGO|ICON|SHOT)(?::([^@]*))?@"));
  QString latin = QString::fromLatin1(text);
  QString out;
  qsizetype last = 0;
  for (auto it = placeholder.globalMatch(latin); it.hasNext();) {
    const auto m = it.next();
    out += latin.mid(last, m.capturedStart() - last);
    const QStringList args = m.captured(2).split(QLatin1Char(':'));
    QImage img;
    if (m.captured(1) == QLatin1String("LOGO")) img = Logo();
    else if (m.captured(1) == QLatin1String("ICON") && args.size() == 2) img = Icon(QColor(args[0]), args[1]);
    else if (args.size() == 3) img = Screenshot(args[0], QColor(args[1]), args[2]);
    if (img.isNull()) {
      std::fprintf(stderr, "bad placeholder %s\n", qPrintable(m.captured(0)));
      return 1;
    }
    out += QString::fromLatin1(Base64Of(img));
    last = m.capturedEnd();
  }
  out += latin.mid(last);

  QFile result(QString::fromLocal8Bit(argv[2]));
  if (!result.open(QIODevice::WriteOnly | QIODevice::Truncate) || result.write(out.toLatin1()) < 0) {
    std::fprintf(stderr, "cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
