// The pictures of the preview's buttons, drawn at run time: the three speaker pictures of the
// volume button ("spkfull", "spkhalf", "spkmute") and the Play, Pause, Stop and Snapshot signs.
#pragma once

#include <QPixmap>
#include <QString>

// NAME is one of "spkfull", "spkhalf", "spkmute" (compared without regard to case); a null
// pixmap for any other name.
QPixmap SpeakerPicture(const QString& name);

enum class TButtonPicture { bpPlay, bpPause, bpStop, bpSnapshot };
QPixmap ButtonPicture(TButtonPicture which);
