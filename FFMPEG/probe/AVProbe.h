// TAVProbe: opens a media file, reads its stream information and answers questions about it
// (duration, tags, stream counts, picture size and frame rate of a video stream) without
// converting anything. The file list uses it to fill its size, frame-rate and duration columns.
//
// Not thread-safe: one caller at a time. Log lines go through the libraries' log (av_log), so
// they reach whatever sink the binding has installed.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "AVPtr.h"
#include "ReadGuard.h"

// File-level values; the "no file" values are those filled in when no file is open. Times are
// microseconds; a time the file does not know is AV_NOPTS_VALUE (negative).
struct FileInfo {
  int64_t StartTime = -1;
  int64_t Duration = -1;
  int BitRate = -1;        // bit/s
  int64_t Timestamp = -1;  // creation time tag, microseconds since 1970; 0 when untagged
  std::string Title, Author, Copyright, Comment, Album;  // at most 511 characters each
  int Year = -1;                                         // 0 when untagged
  int Track = -1;                                        // 0 when untagged
  std::string Genre;                                     // at most 31 characters
};

// Values of one video stream; -1 (or empty) when unknown or not filled.
struct VideoStreamInfo {
  std::string Language;      // at most 3 characters
  std::string CodecName;     // at most 31 characters
  int64_t StartTime = -1;    // stream time base
  int64_t StartTimeUs = -1;  // StartTime in microseconds, only when known
  int64_t Duration = -1;     // stream time base
  int64_t DurationUs = -1;   // only when known
  int BitRate = -1;
  int Height = -1;
  int Width = -1;
  float AspectRatio = -1;  // Width * sample aspect ratio / Height
  int PixelFormat = -1;
  int FrameRateNum = -1;  // the stream's real frame rate
  int FrameRateDen = -1;
};

class TAVProbe {
 public:
  TAVProbe() = default;
  TAVProbe(const TAVProbe&) = delete;
  TAVProbe& operator=(const TAVProbe&) = delete;

  // Raises FFMpegException "LibAVCodec not loaded." (then LibAVFormat, LibAVUtil, LibSwScale)
  // when the libraries are not bound yet (LoadLibraries has not succeeded).
  static void CheckLibraries();

  // Opens FILE_NAME, with the input format FORMAT_NAME when it is not empty. Raises only from
  // CheckLibraries; every other failure returns false with the reason in LastError.
  bool Open(const std::string& file_name, const std::string& format_name = "");
  // Releases the open file; the counts and first-stream indexes become -1.
  void Close();
  // A count of stop requests (raised from any thread, e.g. by the job component's Stop): a
  // request made while Open runs ends it; nullptr for none. Open also ends on its own after
  // reading TReadGuard::kDefaultLimit bytes without finding the streams (an endless or hostile
  // input).
  void SetStopCount(const std::atomic<unsigned>* count) { guard_.StopCount = count; }

  void GetFileInfo(FileInfo& info) const;
  // INDEX -1 means the first video stream. Problems are logged and leave INFO at its
  // initial values.
  void GetVideoStreamInfo(int index, VideoStreamInfo& info) const;
  // The same descriptions of a file opened and probed elsewhere (a job's source).
  static void GetFileInfo(const AVFormatContext* ctx, FileInfo& info);
  static void GetVideoStreamInfo(const AVFormatContext* ctx, int index, VideoStreamInfo& info);
  // Video streams of CTX that are not attached cover pictures, and the index of the first
  // (-1 when none).
  static int VideoStreamCountOf(const AVFormatContext* ctx, int* first = nullptr);
  void GetVideoStreamInfo(VideoStreamInfo& info) const { GetVideoStreamInfo(-1, info); }

  // With true, an Open that is under way (blocked in a read of a stalled file) or that comes
  // later fails at once; false lets Open work again. Callable from any thread.
  void SetAbort(bool abort) { abort_ = abort; }

  const std::string& LastError() const { return last_error_; }
  const std::string& FormatName() const { return format_name_; }
  const AVFormatContext* Context() const { return context_.get(); }
  int StreamCount() const { return stream_count_; }
  int ProgramCount() const { return program_count_; }
  int AudioStreamCount() const { return audio_.Count; }
  int VideoStreamCount() const { return video_.Count; }
  int SubtitleStreamCount() const { return subtitle_.Count; }
  int FirstAudioStream() const { return audio_.First; }
  int FirstVideoStream() const { return video_.First; }
  int FirstSubtitleStream() const { return subtitle_.First; }

 private:
  // Counts the streams of CTX by kind and notes the first of each.
  void CountStreams(const AVFormatContext* ctx);
  InputFormatPtr context_;
  std::atomic<bool> abort_{false};  // set by SetAbort; the guard's stop flag
  TReadGuard guard_;
  std::string last_error_;
  std::string format_name_;
  int stream_count_ = -1, program_count_ = -1;
  // The streams of one kind: how many, and the index of the first; -1 while no file is open.
  struct KindCount {
    int Count = -1;
    int First = -1;
  };
  KindCount audio_, video_, subtitle_;
};
