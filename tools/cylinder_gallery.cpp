// cylinder-gallery: draws every ready-made look of the cylinder progress
// indicator into a PNG file of its own, so that the looks can be judged by eye.
//
//   cylinder-gallery DIR
//
// Each picture carries the look's name and shows it horizontal (150 x 22,
// the control's own defaults) and vertical (25 x 100, font size 8 and no
// border, as a download row shows it) at 0, 45 and 100 percent, at twice the
// size so single pixels can be seen. all_looks.png lists every look at 45
// percent for a quick comparison.
#include <QApplication>
#include <QDir>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QWidget>
#include <cstdio>
#include <cstdlib>

#include "rows/progress_cyl.h"
#include "rows/progress_cyl_styles.h"

using namespace quillon;

namespace {

constexpr int kPercents[] = {0, 45, 100};
constexpr int kMargin = 8;
constexpr int kLabelHeight = 22;
constexpr int kCaptionHeight = 16;
constexpr int kScale = 2;

QImage Frame(QWidget* parent, TProEffect look, TProgressBarOrientation o, int percent) {
  TProgressCyl cyl(parent);
  if (o == pbVertical) {
    cyl.SetBounds(0, 0, 25, 100);
    cyl.SetOrientation(pbVertical);
    cyl.SetFontSize(8);
    cyl.SetBorderWidth(0);
  }
  cyl.SetProEffect(look);
  cyl.SetPosition(percent);
  return cyl.Bitmap().copy();
}

QImage LookSheet(QWidget* parent, TProEffect look) {
  const int hw = 150, vw = 25, vh = 100, gap = 12;
  const int width = kMargin * 2 + 3 * (hw + gap) + 3 * (vw + gap * 2);
  const int height = kLabelHeight + kCaptionHeight + vh + kMargin * 2;
  QImage sheet(width, height, QImage::Format_RGB32);
  sheet.fill(QColor(250, 250, 250));
  QPainter p(&sheet);
  QFont label = QApplication::font();
  label.setBold(true);
  p.setFont(label);
  p.setPen(Qt::black);
  p.drawText(QRect(kMargin, 2, width - 2 * kMargin, kLabelHeight), Qt::AlignVCenter,
             QString::fromLatin1(ProEffectName(look)));
  QFont small = QApplication::font();
  small.setPointSize(7);
  p.setFont(small);
  int x = kMargin;
  const int top = kLabelHeight + kCaptionHeight;
  for (int percent : kPercents) {
    p.drawText(x, top - 4, QString("horizontal %1%").arg(percent));
    p.drawImage(x, top, Frame(parent, look, pbHorizontal, percent));
    x += hw + gap;
  }
  for (int percent : kPercents) {
    p.drawText(x, top - 4, QString("%1%").arg(percent));
    p.drawImage(x, top, Frame(parent, look, pbVertical, percent));
    x += vw + gap * 2;
  }
  p.end();
  return sheet.scaled(sheet.size() * kScale, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

QImage Overview(QWidget* parent) {
  const int row = 28, name_width = 130;
  QImage sheet(kMargin * 2 + name_width + 150, kMargin * 2 + row * (kProEffectCount - 1),
               QImage::Format_RGB32);
  sheet.fill(QColor(250, 250, 250));
  QPainter p(&sheet);
  p.setPen(Qt::black);
  int y = kMargin;
  for (int i = 0; i < kProEffectCount; ++i) {
    const auto look = static_cast<TProEffect>(i);
    if (look == peCustom) continue;
    p.drawText(QRect(kMargin, y, name_width, 22), Qt::AlignVCenter,
               QString::fromLatin1(ProEffectName(look)));
    p.drawImage(kMargin + name_width, y, Frame(parent, look, pbHorizontal, 45));
    y += row;
  }
  p.end();
  return sheet.scaled(sheet.size() * kScale, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: cylinder-gallery DIR\n");
    return 2;
  }
  const QString dir = QString::fromLocal8Bit(argv[1]);
  if (!QDir().mkpath(dir)) {
    std::fprintf(stderr, "cannot create %s\n", argv[1]);
    return 1;
  }
  // Never shown: the controls get a parent so that applying a look (which
  // shows the control) makes no window.
  QWidget parent;
  int written = 0;
  for (int i = 0; i < kProEffectCount; ++i) {
    const auto look = static_cast<TProEffect>(i);
    if (look == peCustom) continue;
    const QString file = QDir(dir).filePath(QString::fromLatin1(ProEffectName(look)) + ".png");
    if (!LookSheet(&parent, look).save(file, "PNG")) {
      std::fprintf(stderr, "cannot write %s\n", file.toLocal8Bit().constData());
      return 1;
    }
    ++written;
  }
  if (!Overview(&parent).save(QDir(dir).filePath("all_looks.png"), "PNG")) {
    std::fprintf(stderr, "cannot write all_looks.png\n");
    return 1;
  }
  std::printf("%d looks written to %s\n", written, argv[1]);
  return 0;
}
