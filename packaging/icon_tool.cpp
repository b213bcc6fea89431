// Writes the window icon, from the window's own drawing, into an icon theme folder at the
// usual sizes: <folder>/hicolor/<n>x<n>/apps/tarvex.png.
#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <cstdio>

#include "program2/frm_window.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <icon theme folder>\n", argv[0]);
    return 2;
  }
  int toolkit_argc = 1;
  QGuiApplication app(toolkit_argc, argv);
  for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
    const QString folder = QString("%1/hicolor/%2x%2/apps").arg(argv[1]).arg(size);
    if (!QDir().mkpath(folder) ||
        !tarvex::DrawWindowIcon(size).save(folder + "/tarvex.png", "PNG")) {
      std::fprintf(stderr, "cannot write %s/tarvex.png\n", folder.toLocal8Bit().constData());
      return 1;
    }
  }
  return 0;
}
