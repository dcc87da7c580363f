// Engine state: defaults, releasing a job's files, the pause primitive and the destructor wait.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "Binding.h"
#include "EngineDoor.h"
#include "MediaUtil.h"

namespace {

// Prepares an output file the way file set-up does: context for the name, file opened.
OutputFormatPtr OpenOutput(const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, nullptr, nullptr, path.c_str()) < 0) return nullptr;
  OutputFormatPtr oc(raw);
  if (avio_open(&oc->pb, path.c_str(), AVIO_FLAG_WRITE) < 0) return nullptr;
  return oc;
}

class EngineStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(LoadLibraries("", true, error)) << error;
  }
};

}  // namespace

TEST_F(EngineStateTest, DefaultsAfterConstructionAndReset) {
  TEngineDoor engine;
  EXPECT_EQ(engine.Options.AudioChannels, 2);
  EXPECT_EQ(engine.Options.AudioSampleRate, 44100);
  EXPECT_EQ(engine.Options.ThreadCount, 1);
  EXPECT_EQ(engine.Options.TopFieldFirst, -1);
  EXPECT_EQ(engine.Options.RecordingTimeUs, INT64_MAX);
  EXPECT_EQ(engine.Options.MaxFrames[0], INT_MAX);
  EXPECT_EQ(engine.Options.TotalDurationMs, -1);
  EXPECT_EQ(engine.Options.ProgressIntervalUs, 500000);
  EXPECT_EQ(engine.Options.HookTimeRanges.size(), 1u);
  EXPECT_EQ(engine.CodecDefaults[AVMEDIA_TYPE_AUDIO], nullptr);  // made by the reset only

  engine.Options.AudioChannels = 6;
  engine.Options.VideoCodecName = "mpeg4";
  engine.Stats.VideoBytes = 1234;
  engine.Options.HookTimeRanges.push_back({1, 2});
  engine.State.Finished = true;
  engine.Options.TotalDurationMs = 5000;
  engine.ResetEngine();
  EXPECT_EQ(engine.Options.AudioChannels, 2);
  EXPECT_TRUE(engine.Options.VideoCodecName.empty());
  EXPECT_EQ(engine.Stats.VideoBytes, 0);
  EXPECT_EQ(engine.Options.HookTimeRanges.size(), 1u);
  EXPECT_FALSE(engine.State.Finished);
  EXPECT_EQ(engine.Options.TotalDurationMs, -1);
  for (const auto& defaults : engine.CodecDefaults) EXPECT_NE(defaults, nullptr);
  EXPECT_EQ(engine.CodecDefaults[AVMEDIA_TYPE_VIDEO]->codec_type, AVMEDIA_TYPE_VIDEO);
  EXPECT_NE(engine.FormatDefaults, nullptr);
  EXPECT_NE(engine.ScalerDefaults, nullptr);
}

TEST_F(EngineStateTest, FreeFileSetDeletesEmptyOutputsAndKeepsWrittenOnes) {
  media::TempDir dir;
  std::string empty_path = dir.File("empty.mp4");
  std::string written_path = dir.File("written.avi");
  TEngineDoor engine;
  engine.ResetEngine();
  engine.Files.OutputFiles[0] = OpenOutput(empty_path);
  engine.Files.OutputFiles[1] = OpenOutput(written_path);
  ASSERT_TRUE(engine.Files.OutputFiles[0] && engine.Files.OutputFiles[1]);
  engine.Files.OutputFileCount = 2;
  const unsigned char bytes[] = {1, 2, 3};
  avio_write(engine.Files.OutputFiles[1]->pb, bytes, sizeof(bytes));
  ASSERT_TRUE(std::filesystem::exists(empty_path));

  engine.FreeFileSet();
  EXPECT_FALSE(std::filesystem::exists(empty_path));
  ASSERT_TRUE(std::filesystem::exists(written_path));
  EXPECT_EQ(std::filesystem::file_size(written_path), 3u);  // flushed, not truncated
  EXPECT_EQ(engine.Files.OutputFileCount, 0);
  EXPECT_EQ(engine.Files.OutputFiles[1], nullptr);
  EXPECT_EQ(engine.CodecDefaults[0], nullptr);

  engine.FreeFileSet();  // a second run finds nothing to free
  EXPECT_TRUE(std::filesystem::exists(written_path));
}

TEST_F(EngineStateTest, FreeFileSetLeavesAnUnrelatedEmptyFileWithANoFileFormat) {
  // Formats that write no file of their own never delete what happens to carry their name.
  media::TempDir dir;
  std::string path = dir.File("list.txt");
  std::ofstream(path).close();
  TEngineDoor engine;
  AVFormatContext* raw = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&raw, nullptr, "image2", path.c_str()), 0);
  engine.Files.OutputFiles[0].reset(raw);
  engine.Files.OutputFileCount = 1;
  engine.FreeFileSet();
  EXPECT_TRUE(std::filesystem::exists(path));
}

TEST_F(EngineStateTest, DestructorReleasesOpenInputs) {
  // Runs under AddressSanitizer: an input left open by a job must be closed without a leak.
  media::TempDir dir;
  std::string path = dir.File("in.wav");
  ASSERT_TRUE(media::MakeMedia(path, media::AudioSource(0.2)));
  auto engine = std::make_unique<TEngineDoor>();
  AVFormatContext* raw = nullptr;
  ASSERT_EQ(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), 0);
  engine->Files.InputFiles[0].reset(raw);
  engine->Files.InputFileCount = 1;
  engine.reset();
}

TEST(EngineStatePause, WaitReturnsOnResumeAndOnAbort) {
  using namespace std::chrono_literals;
  TEngineDoor engine;
  engine.WaitWhilePaused();  // not paused: returns at once

  for (bool by_abort : {false, true}) {
    engine.State.AbortRequested = false;
    engine.RequestPause(true);
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
      engine.WaitWhilePaused();
      returned = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(returned) << "returned while still paused";
    if (by_abort)
      engine.RequestAbort();
    else
      engine.RequestPause(false);
    waiter.join();
    EXPECT_TRUE(returned);
  }
}
