#include "FileSet.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "CodecLock.h"

void TFileSet::ReleaseOutput(int index) {
  auto& output = OutputFiles[index];
  // A file still under its temporary name is unfinished (the run failed): remove it.
  const std::string& part = OutputPartPaths[index];
  int& folder = OutputFolderFds[index];
  if (!part.empty()) {
    if (output && output->pb) avio_closep(&output->pb);
    if (folder >= 0)
      unlinkat(folder, part.substr(part.rfind('/') + 1).c_str(), 0);
    else
      unlink(part.c_str());
  }
  if (folder >= 0) close(folder);
  folder = -1;
  OutputPartPaths[index].clear();
  OutputPaths[index].clear();
  if (!output) return;
  const std::string path = output->url ? output->url : "";
  const bool writes_file = output->oformat && !(output->oformat->flags & AVFMT_NOFILE);
  if (writes_file && output->pb) avio_closep(&output->pb);
  // A file that never received a byte is not a result: remove it rather than leave an empty
  // file that looks like a finished conversion.
  if (writes_file && !path.empty()) {
    std::error_code ec;
    const std::filesystem::path file(path);
    if (std::filesystem::is_regular_file(file, ec) && std::filesystem::file_size(file, ec) == 0 &&
        !ec)
      std::filesystem::remove(file, ec);
  }
  output.reset();
}

void TFileSet::Release() {
  for (int i = 0; i < kMaxFiles; ++i) ReleaseOutput(i);
  OutputFileCount = 0;
  ReadFiles.clear();
  {
    // Freeing an opened codec closes it: under the process-wide codec lock.
    std::lock_guard<std::recursive_mutex> lock(ProcessCodecLock());
    for (auto& per_file : OutputCodecs)
      for (auto& codec : per_file) codec.reset();
  }
  for (auto& per_file : OutputStreamCopy) per_file.fill(false);

  for (auto& input : InputFiles) input.reset();
  InputFileCount = 0;
  InputRateEmu.fill(false);
  InputTsOffset.fill(0);
  for (auto& row : InputTsScale) row.fill(0.0);

  StreamMaps.fill(StreamMapEntry{});
  StreamMapCount = 0;
  MetaDataMaps.fill(MetaDataMapEntry{});
  MetaDataMapCount = 0;

  ReleaseFrameHooks(FrameHooks);
}
