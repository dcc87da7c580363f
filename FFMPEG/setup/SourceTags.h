// What a converted file keeps of its source besides the media: the descriptive tags, the
// creation time of a recording, and the cover picture of a song.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

// Copies the title, artist, album, date, track, genre and comment tags of SOURCE into OUTPUT
// (tags OUTPUT already has are kept), and the creation time when WITH_CREATION_TIME is set.
void CopySourceTags(const AVFormatContext* source, AVFormatContext* output,
                    bool with_creation_time);

// The cover picture stream of SOURCE (an attached JPEG or PNG picture with a known size, which
// a muxer can store), or nullptr.
const AVStream* CoverPictureStream(const AVFormatContext* source);
// True when SOURCE has a JPEG or PNG cover picture but none that a muxer can store (empty or
// unreadable, so its size is unknown).
bool HasUnusableCoverPicture(const AVFormatContext* source);
// True for the audio containers that store a cover picture (MP3, FLAC and the MP4 family).
bool StoresCoverPicture(const AVOutputFormat* format);
// True when STREAM is an attached picture rather than a picture sequence.
bool IsAttachedPicture(const AVStream* stream);
