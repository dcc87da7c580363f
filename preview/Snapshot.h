// What a snapshot needs besides the player: writing the picture as a Windows bitmap file and
// playing the program's sound resources.
#pragma once

#include <QImage>
#include <QString>

// Writes IMAGE as an uncompressed 24-bit Windows bitmap (BITMAPINFOHEADER, bottom-up rows
// padded to four bytes). False, with ERROR set, when the file cannot be written; a partly
// written file is removed.
bool SaveBitmap24(const QImage& image, const QString& path, QString* error);

// Plays the program's WAV resource NAME (compared without regard to case) and returns when it
// has finished playing; user input waits meanwhile. Returns at once when there is no sound
// device or no such resource.
void PlayWaveResource(const QString& name);
