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

#include "InputStage.h"
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

 private:
  int NextPacketToWrite(bool& all_known) const;
  void WriteReadyPackets();
  void WritePacket(OutputStreamState& ost, PacketPtr pkt);
  void KeepDtsIncreasing(OutputStreamState& ost, const AVFormatContext* oc, AVPacket* pkt);
  void NoteWrittenPacket(OutputStreamState& ost, const AVPacket* pkt);
  std::string FirstVideoFigures(OutputStreamState& ost, bool final_report, int& frame_number,
                                int& fps, float& quality);
  std::string PsnrText(OutputStreamState& ost, bool final_report, int frame_number) const;
  void DoVideoStats(OutputStreamState& ost, const AVPacket* pkt);

  const TRunContext& e_;
  const TEngineOptions& opt_;
  const RunLog& Log;
  const std::vector<std::unique_ptr<OutputStreamState>>& outputs_;

  // The packets of each output not written yet.
  struct PendingStream {
    std::deque<PacketPtr> Packets;
    bool Ended = false;
  };
  std::deque<PendingStream> pending_;  // a deque: its elements never move
  size_t pending_bytes_ = 0;
  int outputs_ended_ = 0;
  bool size_limit_reached_ = false;
  int64_t last_report_us_ = 0;
  // Quantiser histogram for the "qphist" report, never reset within the run.
  int qp_histogram_[52] = {};
};

// Tells the writer that no packet of OST follows (once).
void EndOutputPackets(OutputStreamState& ost, StageLink<WriterItem>& writer);
