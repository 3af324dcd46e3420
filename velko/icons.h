#pragma once

// The program's images, drawn here: the application icon, the model tree's
// five item images, the ribbon's button images and the properties pane's.

#include <QIcon>

#include "velko/classview.h"

QIcon ApplicationIcon();
QIcon TreeIcon(TreeImage eImage);
// The image of a command's button; a plain icon for commands without one.
QIcon CommandIcon(int nCommandId);
