#include "osd.h"

OSD_ICON_S gOsdIcon[kOsdIconCount];
