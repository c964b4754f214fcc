// SPDX-License-Identifier: GPL-3.0-or-later
// Placeholder bodies of main-window members that are implemented in their
// own files (uMasterGrid.cpp, uMasterPolling.cpp, uMasterSettings.cpp).
// Each placeholder is removed from here when its real body lands.
#include "uMaster.h"

#include <QPainter>
#include <QRect>

#include "StringGrid.h"
