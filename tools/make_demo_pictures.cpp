// make-demo-pictures: lays out the demo catalogue's source folder with its
// JPEG pictures drawn here, ready for "quillon-catalogue build".
//
//   make-demo-pictures SOURCE OUTPUT
//   make-demo-pictures --app-icon SIZE OUTPUT.png
//
// OUTPUT is made a copy of SOURCE (samples/demo); then the logo is drawn into
// OUTPUT/logo.jpg, and every product folder with a pictures.txt gets the
// pictures it asks for, after which pictures.txt is removed:
//   icon: #rrggbb L                          a 32 x 32 icon in that colour with the letter L
//   screenshot: editor|sheet #rrggbb TITLE   a screenshot of a made-up program window
// With --app-icon it draws the demo program's desktop icon instead: the
// logo's quill on its gradient in a rounded square, SIZE pixels wide, with a
// transparent background.
#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

QFont Font(int pixels, bool bold = false) {
  QFont f(QStringLiteral("DejaVu Sans"));
  f.setPixelSize(pixels);
  f.setBold(bold);
  return f;
}

// The logo's quill: a feather curve with its shaft, in a 100 x 100 square.
void DrawQuill(QPainter& p) {
  QPainterPath feather;
  feather.moveTo(30, 62);
  feather.cubicTo(34, 30, 58, 12, 78, 8);
  feather.cubicTo(70, 30, 54, 52, 30, 62);
  p.fillPath(feather, QColor("#f1faee"));
  p.setPen(QPen(QColor("#e9c46a"), 2));
  p.drawLine(QPointF(24, 70), QPointF(62, 28));
}

// The logo's background, from its top left to its bottom right corner.
QLinearGradient LogoGradient(qreal width, qreal height) {
  QLinearGradient g(0, 0, width, height);
  g.setColorAt(0, QColor("#1d3557"));
  g.setColorAt(1, QColor("#2a9d8f"));
  return g;
}

QImage Logo() {
  QImage img(97, 90, QImage::Format_RGB32);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.fillRect(img.rect(), LogoGradient(97, 90));
  DrawQuill(p);
  p.setPen(QColor("#f1faee"));
  p.setFont(Font(13, true));
  p.drawText(QRect(0, 68, 97, 20), Qt::AlignCenter, QStringLiteral("Marrowby"));
  return img;
}

QImage AppIcon(int size) {
  QImage img(size, size, QImage::Format_ARGB32);
  img.fill(Qt::transparent);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 100.0, size / 100.0);
  p.setPen(Qt::NoPen);
  p.setBrush(LogoGradient(100, 100));
  p.drawRoundedRect(QRectF(4, 4, 92, 92), 18, 18);
  // The quill, a little larger and in the middle.
  p.translate(-6, 7);
  p.scale(1.1, 1.1);
  DrawQuill(p);
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

bool SaveJpeg(const QImage& img, const std::filesystem::path& path) {
  if (img.isNull() || !img.save(QString::fromStdString(path.string()), "JPEG", 90)) {
    std::fprintf(stderr, "cannot write %s\n", path.string().c_str());
    return false;
  }
  return true;
}

// Draws what one product folder's pictures.txt asks for.
bool DrawProductPictures(const std::filesystem::path& folder) {
  const std::filesystem::path list = folder / "pictures.txt";
  std::ifstream in(list);
  std::string line;
  while (std::getline(in, line)) {
    const QStringList words = QString::fromUtf8(line.c_str()).simplified().split(QLatin1Char(' '));
    if (words.size() == 3 && words[0] == QLatin1String("icon:")) {
      if (!SaveJpeg(Icon(QColor(words[1]), words[2]), folder / "icon.jpg")) return false;
    } else if (words.size() >= 4 && words[0] == QLatin1String("screenshot:")) {
      const QString title = words.mid(3).join(QLatin1Char(' '));
      if (!SaveJpeg(Screenshot(words[1], QColor(words[2]), title), folder / "screenshot.jpg")) return false;
    } else if (!words.join(QString()).isEmpty()) {
      std::fprintf(stderr, "%s: cannot read \"%s\"\n", list.string().c_str(), line.c_str());
      return false;
    }
  }
  in.close();
  std::filesystem::remove(list);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  const bool app_icon = argc == 4 && std::string(argv[1]) == "--app-icon";
  if (argc != 3 && !app_icon) {
    std::fprintf(stderr, "usage: make-demo-pictures SOURCE OUTPUT\n"
                         "       make-demo-pictures --app-icon SIZE OUTPUT.png\n");
    return 2;
  }
  // Drawing text needs a GUI application, never a display.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  if (app_icon) {
    const int size = std::atoi(argv[2]);
    if (size < 16 || size > 1024 || !AppIcon(size).save(QString::fromLocal8Bit(argv[3]), "PNG")) {
      std::fprintf(stderr, "cannot draw a %s-pixel icon into %s\n", argv[2], argv[3]);
      return 1;
    }
    return 0;
  }

  const fs::path source(argv[1]), output(argv[2]);
  std::error_code ec;
  fs::remove_all(output, ec);
  fs::create_directories(output, ec);
  if (!ec) fs::copy(source, output, fs::copy_options::recursive, ec);
  if (ec) {
    std::fprintf(stderr, "cannot copy %s to %s: %s\n", argv[1], argv[2], ec.message().c_str());
    return 1;
  }
  if (!SaveJpeg(Logo(), output / "logo.jpg")) return 1;
  for (const fs::directory_entry& entry : fs::directory_iterator(output))
    if (entry.is_directory() && fs::exists(entry.path() / "pictures.txt") && !DrawProductPictures(entry.path()))
      return 1;
  return 0;
}
