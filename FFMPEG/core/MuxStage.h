// The mux stage (the writer): merges the encoded and copied packets of all outputs in time
// order, keeps each output's time stamps increasing, writes them with the interleaving writer,
// gives the progress reports and writes the video statistics.
//
// The earliest waiting packet is written only when every output still running has a packet
// waiting, so the order depends only on what each output produced, not on how the stages'
// threads were scheduled, with one exception: once more than 32 MB of packets wait (an output
// that gives nothing for a very long time while the others go on), the earliest is written
// regardless, and from then on the order can depend on timing.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "RunContext.h"
#include "RunLog.h"
#include "StageLink.h"
#include "StreamModel.h"

class MuxStage {
 public:
  // START_US: the wall clock when the run started (the first progress report comes one
  // interval later).
  MuxStage(const TRunContext& context, const RunLog& log,
           const std::vector<std::unique_ptr<OutputStreamState>>& outputs, int64_t start_us);

  // Takes one packet or the end of one output's packets. False once the writer takes nothing
  // more: every output has ended, or the first output file has reached its size limit.
  bool Step(WriterItem& item);
  // Nothing is held back at the end: every output's end came as an item. (The trailers are
  // written by the run once every stage has ended.)
  void Finish() {}
  // The progress report; the final one also gives the totals.
  void PrintReport(bool final_report);
  // Packets of output INDEX (its place in the output table) handed to the muxer.
  int64_t PacketsWritten(int index) const {
    return streams_[static_cast<size_t>(index)].PacketsWritten;
  }
  // PSNR (dB) of encoded picture output INDEX over the whole run, from the squared errors its
  // encoder attached to its packets; -1 when the encoder gave none (it was not asked to, or
  // it keeps no such statistics: x264, x265, Xvid).
  double EncodedPsnr(int index) const;

 private:
  int NextPacketToWrite(bool& all_known) const;
  void WriteReadyPackets();
  void WritePacket(const OutputStreamState& ost, PacketPtr pkt);
  void KeepDtsIncreasing(const OutputStreamState& ost, const AVFormatContext* oc, AVPacket* pkt);
  void NoteWrittenPacket(const OutputStreamState& ost, const AVPacket* pkt);
  struct MuxedStream;
  void NotePictureErrors(const OutputStreamState& ost, MuxedStream& m);
  std::string FirstVideoFigures(const OutputStreamState& ost, bool final_report, int& frame_number,
                                int& fps, float& quality);
  std::string PsnrText(const OutputStreamState& ost, bool final_report, int frame_number) const;
  void DoVideoStats(const OutputStreamState& ost, const AVPacket* pkt);

  const TRunContext& e_;
  const TEngineOptions& opt_;
  const RunLog& Log;
  const std::vector<std::unique_ptr<OutputStreamState>>& outputs_;

  // What the writer keeps of each output: its packets not written yet, its muxing position and
  // the figures of its last written packet.
  struct MuxedStream {
    std::deque<PacketPtr> Packets;
    bool Ended = false;
    int64_t PacketsWritten = 0;        // packets handed to the muxer
    int64_t End = AV_NOPTS_VALUE;      // end of the last packet written, stream time base
    int64_t LastDts = AV_NOPTS_VALUE;  // last dts written
    float LastQuality = -1;            // quantiser x 118 of the last coded picture, from side data
    int LastPictType = 0;
    uint64_t LastError[4] = {0, 0, 0, 0};  // squared errors of the last coded picture
    // Sums over the pictures whose packets carried squared errors: the errors of the three
    // planes and the number of samples they cover.
    double ErrorSum = 0, SampleSum = 0;
    int64_t PicturesWithErrors = 0;
  };
  MuxedStream& Stream(const OutputStreamState& ost) {
    return streams_[static_cast<size_t>(ost.TableIndex)];
  }
  const MuxedStream& Stream(const OutputStreamState& ost) const {
    return streams_[static_cast<size_t>(ost.TableIndex)];
  }
  std::deque<MuxedStream> streams_;  // per output; a deque: its elements never move
  size_t pending_bytes_ = 0;
  int outputs_ended_ = 0;
  bool size_limit_reached_ = false;
  int64_t last_report_us_ = 0;
  // Quantiser histogram for the "qphist" report, never reset within the run.
  int qp_histogram_[52] = {};
};

// Tells the writer that no packet of OST follows (once).
void EndOutputPackets(OutputStreamState& ost, StageLink<WriterItem>& writer);
