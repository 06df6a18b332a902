// Paints the application icon (the shapes of talvex.svg) into the PNG sizes
// the program and the desktop use: 32 x 32 in 256 colours, and 48, 64, 128
// and 256 in full colour.
//
//   talvex-draw-icons OUTPUT_DIR
#include <QColor>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <cstdio>

namespace {

QImage Paint(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 256.0, size / 256.0);

  const QColor cardBlue(0x2a, 0x6c, 0xb8);
  p.setPen(QPen(QColor(0x17, 0x46, 0x7d), 6));
  p.setBrush(cardBlue);
  p.drawRoundedRect(QRectF(12, 84, 196, 140), 18, 18);

  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawRoundedRect(QRectF(32, 110, 62, 88), 6, 6);
  p.setBrush(cardBlue);
  p.drawEllipse(QPointF(63, 142), 15, 15);
  QPainterPath shoulders;
  shoulders.moveTo(39, 198);
  shoulders.quadTo(39, 164, 63, 164);
  shoulders.quadTo(87, 164, 87, 198);
  shoulders.closeSubpath();
  p.drawPath(shoulders);

  p.setBrush(Qt::white);
  p.drawRoundedRect(QRectF(108, 120, 78, 14), 7, 7);
  p.drawRoundedRect(QRectF(108, 147, 86, 14), 7, 7);
  p.drawRoundedRect(QRectF(108, 174, 58, 14), 7, 7);

  QPen wave(QColor(0xf0, 0x8a, 0x24), 13);
  wave.setCapStyle(Qt::RoundCap);
  p.setPen(wave);
  p.setBrush(Qt::NoBrush);
  for (int r : {28, 52, 76}) {
    p.drawArc(QRectF(174 - r, 88 - r, 2 * r, 2 * r), 15 * 16, 60 * 16);
  }
  p.end();
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: talvex-draw-icons OUTPUT_DIR\n");
    return 2;
  }
  const QString dir = QString::fromLocal8Bit(argv[1]);
  for (int size : {32, 48, 64, 128, 256}) {
    QImage image = Paint(size).convertToFormat(QImage::Format_ARGB32);
    if (size == 32) image = image.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither);
    const QString path = QStringLiteral("%1/talvex-%2.png").arg(dir).arg(size);
    if (!image.save(path, "PNG")) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
      return 1;
    }
  }
  return 0;
}
