// The interrupt state of one reader of media input (a job's inputs, the media probe). The
// libraries call its callback while they read; it ends the read when a stop was requested, or
// when the current step (opening and probing a file, or reading one packet) has read more than
// a limit of bytes. Input that never yields a packet (a link to an endless device, hostile
// data a parser keeps collecting) then ends with a clear error instead of filling memory.
//
// The guard also keeps what the checked open (LocalInput.h) notes on the files a reader opens:
// which files were read (an output must never replace one) and why a file that an input names
// was refused. A refusal ends the reads too, so that a playlist whose entry was refused fails
// instead of being converted with a part left out.
//
// Used by the thread that reads: the callback and the checked open run inside that thread's
// library calls, and only that thread touches the notes. The stop flag and count may change on
// any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

// A file by device and inode, so that links and other spellings of its name are the same file.
struct TFileId {
  uint64_t dev = 0, ino = 0;
  bool operator==(const TFileId&) const = default;
};

class TReadGuard {
 public:
  // Most bytes one step may read; more than any real file needs for its probe or for one
  // packet.
  static constexpr int64_t kDefaultLimit = int64_t{128} << 20;

  // A flag whose being set ends reads (may be null).
  const std::atomic<bool>* Stop = nullptr;
  // A count of stop requests of the caller (may be null): reads end once it differs from
  // StopCountSeen, so a stop ends the reads in progress but not those begun after it.
  const std::atomic<unsigned>* StopCount = nullptr;
  unsigned StopCountSeen = 0;
  int64_t Limit = kDefaultLimit;

  // Takes the current stop count as seen: only later stop requests end reads.
  void SeeStopCount() { StopCountSeen = StopCount ? StopCount->load() : 0; }

  // Starts a step on IC (its I/O context may be made during the step). Clears LimitHit.
  void Begin(const AVFormatContext* ic) {
    watched_ = ic;
    base_ = ic && ic->pb ? ic->pb->bytes_read : 0;
    limit_hit_ = false;
  }
  void End() { watched_ = nullptr; }
  // True when the last step was ended by the limit.
  bool LimitHit() const { return limit_hit_; }
  bool StopRequested() const {
    return (Stop && *Stop) || (StopCount && StopCount->load() != StopCountSeen);
  }

  // Notes of the checked open. Files read by this reader are added to *ReadFiles when it is set.
  std::vector<TFileId>* ReadFiles = nullptr;
  void NoteRead(TFileId id) {
    if (!ReadFiles) return;
    for (const TFileId& known : *ReadFiles)
      if (known == id) return;
    ReadFiles->push_back(id);
  }
  // Keeps the first refusal (a text that names the refused file) and ends the reads.
  void Refuse(const std::string& why) {
    if (refused_.empty()) refused_ = why;
  }
  const std::string& Refused() const { return refused_; }
  void ClearRefusal() { refused_.clear(); }

  // The guard whose Callback() CB is, or null.
  static TReadGuard* Of(const AVIOInterruptCB& cb) {
    return cb.callback == &TReadGuard::Check ? static_cast<TReadGuard*>(cb.opaque) : nullptr;
  }

  AVIOInterruptCB Callback() {
    AVIOInterruptCB cb;
    cb.callback = &TReadGuard::Check;
    cb.opaque = this;
    return cb;
  }

 private:
  static int Check(void* opaque) {
    auto* guard = static_cast<TReadGuard*>(opaque);
    if (guard->StopRequested() || !guard->refused_.empty()) return 1;
    const AVFormatContext* ic = guard->watched_;
    if (ic && ic->pb && ic->pb->bytes_read - guard->base_ > guard->Limit) {
      guard->limit_hit_ = true;
      return 1;
    }
    return 0;
  }

  const AVFormatContext* watched_ = nullptr;
  int64_t base_ = 0;
  bool limit_hit_ = false;
  std::string refused_;
};
