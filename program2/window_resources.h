#pragma once

// The icon resources of each Windows program (read by the resource compiler too). The
// window's icon comes first: it is also the program's icon in the file manager.
#define TARVEX_ICON_WINDOW 1
#define TARVEX_ICON_SNOWFLAKE 2
#define TARVEX_ICON_SUN 3
