// The input stage (the reader): chooses the file to read next, reads one packet at a time,
// adjusts its time stamps and hands it to its stream's decode stage, until the inputs end or an
// end condition holds; then it ends every decode stage's feed. Runs on the job's thread.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "AVPtr.h"
#include "RunContext.h"
#include "RunLog.h"
#include "StageLink.h"
#include "StreamModel.h"

class InputStage {
 public:
  // PACKET_LINKS: the feed of each input stream's decode stage (null for streams not read).
  // WRITER_LINK is watched only: the writer closes it once the size limit is reached.
  // OUTPUTS: read for the sources the outputs are fed from and for their frame limits.
  InputStage(const TRunContext& context, const RunLog& log, std::vector<InputFileState>& files,
             const std::vector<std::unique_ptr<InputStreamState>>& inputs,
             const std::vector<std::unique_ptr<OutputStreamState>>& outputs,
             const std::vector<StageLink<PacketPtr>*>& packet_links,
             const StageLink<WriterItem>& writer_link, const std::atomic<bool>& failed);

  // Reads until the inputs end or a limit, a stop request or a failure ends the run, then ends
  // every decode stage's feed (not after a failure).
  void Run();
  // The read loop ended because the inputs ended (not by a limit or a stop request).
  bool InputsEnded() const { return inputs_ended_; }

 private:
  int ChooseFileToRead() const;
  bool ReadingShouldEnd() const;
  bool ReadOnePacket(int file_index);
  void AdjustTimestamps(InputStreamState& ist, int file_index, AVPacket* pkt);
  bool PictureHeldThroughGap(const InputStreamState& ist, int file_index, int64_t dts_us,
                             int64_t threshold_us) const;

  const TRunContext& e_;
  const TEngineOptions& opt_;
  const RunLog& Log;
  std::vector<InputFileState>& files_;
  const std::vector<std::unique_ptr<InputStreamState>>& inputs_;
  const std::vector<std::unique_ptr<OutputStreamState>>& outputs_;
  const std::vector<StageLink<PacketPtr>*>& packet_links_;
  const StageLink<WriterItem>& writer_link_;
  const std::atomic<bool>& failed_;
  bool inputs_ended_ = false;
};
