#pragma once

#include <QIcon>
#include <QPixmap>

// The project's own icon drawings, for the Qt window and for the icon files the builds
// install: the window's (an outline map in blue, white and red bands), the snowflake of
// img_Bad and the sun of img_Goo, each with a 32x32 and a 16x16 image.
namespace tarvex {

QIcon WindowIcon();
QPixmap DrawWindowIcon(int size);  // the window's icon drawn at any size (the installed icons)
QIcon SnowflakeIcon();
QIcon SunIcon();

}  // namespace tarvex
