// Saves what the X server shows, cropped to the pixels that differ from the
// empty screen, as a PNG: used under Xvfb to picture the shell's window.
//
//   talvex-grab-screen OUTPUT.png [DELAY_MS]
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: talvex-grab-screen OUTPUT.png [DELAY_MS]\n");
    return 2;
  }
  const int delayMs = argc > 2 ? std::atoi(argv[2]) : 0;
  QThread::msleep(static_cast<unsigned long>(delayMs));
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return 1;
  const QImage shot = screen->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
  const QRgb empty = shot.pixel(0, 0);
  int left = shot.width(), top = shot.height(), right = -1, bottom = -1;
  for (int y = 0; y < shot.height(); ++y) {
    const auto* line = reinterpret_cast<const QRgb*>(shot.constScanLine(y));
    for (int x = 0; x < shot.width(); ++x) {
      if (line[x] == empty) continue;
      left = std::min(left, x);
      right = std::max(right, x);
      top = std::min(top, y);
      bottom = std::max(bottom, y);
    }
  }
  if (right < 0) {
    std::fprintf(stderr, "nothing on the screen\n");
    return 1;
  }
  return shot.copy(left, top, right - left + 1, bottom - top + 1)
                 .save(QString::fromLocal8Bit(argv[1]))
             ? 0
             : 1;
}
