// Pictures of the command buttons and the program: the desktop theme's icon when it has one, else a
// small picture drawn here (so the program needs no image files of its own).
#pragma once

#include <QIcon>

enum class TIconKind { AddFile, RemoveFile, ClearAll, Stop, Start, Folder, Program };

QIcon CommandIcon(TIconKind kind);
