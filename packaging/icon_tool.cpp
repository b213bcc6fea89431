// Writes the program icons from the window's own drawings:
//   icon_tool theme <folder>    the window icon at the usual sizes, in an icon theme folder
//                               (<folder>/hicolor/<n>x<n>/apps/tarvex.png);
//   icon_tool windows <folder>  the Windows programs' icon files (tarvex.ico, snowflake.ico,
//                               sun.ico), each with its 32x32 and 16x16 image;
//   icon_tool same <a> <b>      whether two icon files hold the same drawing: the same layout,
//                               and no byte more than 2 apart (the painter's anti-aliasing
//                               rounds an edge pixel by one on some processors).
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "program2/window_icons.h"

namespace {

void Put16(QByteArray& out, std::uint16_t v) {
  out.append(static_cast<char>(v & 0xFF)).append(static_cast<char>(v >> 8));
}
void Put32(QByteArray& out, std::uint32_t v) {
  Put16(out, static_cast<std::uint16_t>(v & 0xFFFF));
  Put16(out, static_cast<std::uint16_t>(v >> 16));
}

// One icon image as the platform stores it: a 32-bit bitmap with alpha, bottom row first,
// then the mask of the transparent pixels for renderers without alpha.
QByteArray IconImage(const QImage& source) {
  const QImage image = source.convertToFormat(QImage::Format_ARGB32);
  const int n = image.width();
  const int mask_row = ((n + 31) / 32) * 4;
  QByteArray out;
  Put32(out, 40);
  Put32(out, static_cast<std::uint32_t>(n));
  Put32(out, static_cast<std::uint32_t>(2 * n));  // colour and mask, one above the other
  Put16(out, 1);
  Put16(out, 32);
  Put32(out, 0);
  Put32(out, static_cast<std::uint32_t>(n * n * 4 + mask_row * n));
  for (int i = 0; i < 4; ++i) Put32(out, 0);
  for (int y = n - 1; y >= 0; --y) {
    for (int x = 0; x < n; ++x) Put32(out, image.pixel(x, y));  // 0xAARRGGBB: B, G, R, A
  }
  for (int y = n - 1; y >= 0; --y) {
    QByteArray row(mask_row, '\0');
    for (int x = 0; x < n; ++x) {
      if (qAlpha(image.pixel(x, y)) == 0)
        row[x / 8] = static_cast<char>(row[x / 8] | (0x80 >> (x % 8)));
    }
    out.append(row);
  }
  return out;
}

bool WriteIcon(const QIcon& icon, const QString& path) {
  const int sizes[] = {32, 16};
  QByteArray images[2];
  for (int i = 0; i < 2; ++i) images[i] = IconImage(icon.pixmap(sizes[i], sizes[i]).toImage());
  QByteArray out;
  Put16(out, 0);
  Put16(out, 1);  // an icon
  Put16(out, 2);
  std::uint32_t offset = 6 + 2 * 16;
  for (int i = 0; i < 2; ++i) {
    out.append(static_cast<char>(sizes[i])).append(static_cast<char>(sizes[i]));
    out.append('\0').append('\0');
    Put16(out, 1);
    Put16(out, 32);
    Put32(out, static_cast<std::uint32_t>(images[i].size()));
    Put32(out, offset);
    offset += static_cast<std::uint32_t>(images[i].size());
  }
  out.append(images[0]).append(images[1]);
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(out) == out.size();
}

}  // namespace

// 0 when the two files are the same drawing, 1 when not, 2 when one cannot be read.
int Same(const char* a_path, const char* b_path) {
  QFile a(QString::fromLocal8Bit(a_path)), b(QString::fromLocal8Bit(b_path));
  if (!a.open(QIODevice::ReadOnly) || !b.open(QIODevice::ReadOnly)) return 2;
  const QByteArray x = a.readAll(), y = b.readAll();
  if (x.size() != y.size()) return 1;
  qsizetype apart = 0;
  for (qsizetype i = 0; i < x.size(); ++i) {
    const int d = static_cast<unsigned char>(x[i]) - static_cast<unsigned char>(y[i]);
    if (d > 2 || d < -2) return 1;
    apart += d != 0;
  }
  return apart * 100 <= x.size() ? 0 : 1;  // a few edge pixels at most
}

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "same") == 0) return Same(argv[2], argv[3]);
  if (argc != 3 || (std::strcmp(argv[1], "theme") != 0 && std::strcmp(argv[1], "windows") != 0)) {
    std::fprintf(stderr, "usage: %s theme|windows <folder> | same <icon> <icon>\n", argv[0]);
    return 2;
  }
  int toolkit_argc = 1;
  QGuiApplication app(toolkit_argc, argv);
  const QString root = QString::fromLocal8Bit(argv[2]);
  if (std::strcmp(argv[1], "windows") == 0) {
    const std::pair<QIcon, const char*> icons[] = {{tarvex::WindowIcon(), "tarvex.ico"},
                                                   {tarvex::SnowflakeIcon(), "snowflake.ico"},
                                                   {tarvex::SunIcon(), "sun.ico"}};
    for (const auto& [icon, name] : icons) {
      if (!QDir().mkpath(root) || !WriteIcon(icon, root + "/" + name)) {
        std::fprintf(stderr, "cannot write %s/%s\n", argv[2], name);
        return 1;
      }
    }
    return 0;
  }
  for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
    const QString folder = QString("%1/hicolor/%2x%2/apps").arg(root).arg(size);
    if (!QDir().mkpath(folder) ||
        !tarvex::DrawWindowIcon(size).save(folder + "/tarvex.png", "PNG")) {
      std::fprintf(stderr, "cannot write %s/tarvex.png\n", folder.toLocal8Bit().constData());
      return 1;
    }
  }
  return 0;
}
