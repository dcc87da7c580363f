// Frame-hook modules loaded with dlopen, and the library binding's log routing and levels.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Binding.h"
#include "EngineDoor.h"
#include "FrameHook.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

const std::string kInvert = std::string(QUORVIN_HOOK_DIR) + "/invert.so";
const std::string kNoConfigure = std::string(QUORVIN_HOOK_DIR) + "/noconfigure.so";

// Collects what the libraries log while a test runs; restores printing afterwards.
class LogCapture {
 public:
  LogCapture() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
    SetLibraryLogSink(&LogCapture::Sink);
  }
  ~LogCapture() { SetLibraryLogSink(nullptr); }
  std::string Text() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (const auto& line : lines_) all += line;
    return all;
  }

 private:
  static void Sink(int, const char* text) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(text);
  }
  static inline std::mutex mutex_;
  static inline std::vector<std::string> lines_;
};

class FrameHookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(LoadLibraries("", true, error)) << error;
    SetLibraryLogLevel(1);
  }
};

}  // namespace

TEST_F(FrameHookTest, InvertModuleChangesThePictureInPlace) {
  TEngineDoor engine;
  engine.ResetEngine();
  engine.Dispatch("vhook", kInvert);
  EXPECT_TRUE(engine.Stats.UsingFrameHook);
  engine.Dispatch("vhook", kInvert + " luma");  // the same module twice, configured apart
  ASSERT_EQ(engine.Files.FrameHooks.Size(), 2u);

  // 4x2 YUV420P picture: both modules invert the luma plane (back to the original), only the
  // first inverts the chroma planes.
  uint8_t y[8] = {0, 10, 20, 30, 40, 50, 60, 255}, u[2] = {100, 0}, v[2] = {28, 255};
  QuorvinHookPicture picture{{y, u, v, nullptr}, {4, 1, 1, 0}};
  RunFrameHooks(engine.Files.FrameHooks, &picture, AV_PIX_FMT_YUV420P, 4, 2, 0);
  EXPECT_EQ(y[1], 10);
  EXPECT_EQ(y[7], 255);
  EXPECT_EQ(u[0], 155);
  EXPECT_EQ(v[1], 0);

  engine.FreeFileSet();  // releases both module contexts (checked by the leak detector)
  EXPECT_TRUE(engine.Files.FrameHooks.Empty());
}

TEST_F(FrameHookTest, FailuresGiveTheirCodesAndMessages) {
  TFrameHookChain chain;
  EXPECT_EQ(AddFrameHook(chain, {}), -2);
  {
    LogCapture log;
    EXPECT_EQ(AddFrameHook(chain, {"/nonexistent/hook.so"}), -1);
    EXPECT_NE(log.Text().find("/nonexistent/hook.so"), std::string::npos) << log.Text();
  }
  {
    LogCapture log;
    EXPECT_EQ(AddFrameHook(chain, {kNoConfigure, "word"}), -2);
    EXPECT_NE(log.Text().find("Failed to find Configure entrypoint in " + kNoConfigure),
              std::string::npos)
        << log.Text();
  }
  EXPECT_EQ(AddFrameHook(chain, {kNoConfigure}), 0);  // no words, no Configure needed
  {
    LogCapture log;
    EXPECT_EQ(AddFrameHook(chain, {kInvert, "sideways"}), -22);
    EXPECT_NE(log.Text().find("Failed to Configure " + kInvert), std::string::npos);
  }
  {
    // A library without "Process" is no frame hook.
    LogCapture log;
    EXPECT_EQ(AddFrameHook(chain, {"libavutil.so.57"}), -2);
    EXPECT_NE(log.Text().find("Failed to find Process entrypoint in libavutil.so.57"),
              std::string::npos);
  }
  EXPECT_EQ(chain.Size(), 1u);

  TEngineDoor engine;
  engine.ResetEngine();
  try {
    engine.Dispatch("vhook", "/nonexistent/hook.so -x");
    FAIL() << "no exception";
  } catch (const FFMpegException& e) {
    EXPECT_STREQ(e.what(), "Failed to add video hook function: /nonexistent/hook.so -x");
  }
  EXPECT_FALSE(engine.Stats.UsingFrameHook);
}

TEST(Binding, LogLevelsAndSink) {
  std::string error;
  ASSERT_TRUE(LoadLibraries("/opt/elsewhere", false, error)) << error;
  EXPECT_TRUE(LibrariesLoaded());
  EXPECT_TRUE(LoadLibraries("", true, error));  // once bound, at once true

  EXPECT_EQ(EngineLogLevelFromAv(AV_LOG_ERROR), 0);
  EXPECT_EQ(EngineLogLevelFromAv(AV_LOG_WARNING), 0);
  EXPECT_EQ(EngineLogLevelFromAv(AV_LOG_INFO), 1);
  EXPECT_EQ(EngineLogLevelFromAv(AV_LOG_VERBOSE), 2);
  EXPECT_EQ(EngineLogLevelFromAv(AV_LOG_DEBUG), 2);
  EXPECT_EQ(EngineLogLevelFromAv(AV_LOG_TRACE), 3);
  for (int level = -1; level <= 3; ++level)
    EXPECT_EQ(EngineLogLevelFromAv(AvLogLevelFromEngine(level)), level) << level;

  SetLibraryLogLevel(0);
  EXPECT_EQ(LibraryLogLevel(), 0);
  {
    LogCapture log;
    av_log(nullptr, AV_LOG_INFO, "hidden\n");
    av_log(nullptr, AV_LOG_ERROR, "first half ");
    av_log(nullptr, AV_LOG_ERROR, "second half\n");
    EXPECT_EQ(log.Text(), "first half second half\n");
  }
  SetLibraryLogLevel(1);
  {
    // A job's verbosity decides what its own thread shows and nothing else: a quiet job hides
    // nobody else's lines, a debug job shows its debug lines only.
    TEngineDoor quiet_engine;
    quiet_engine.SetVerbosity(-1);
    LogCapture log;
    std::thread([] {
      const TThreadLogLevel level(-1);
      av_log(nullptr, AV_LOG_ERROR, "from a quiet job\n");
    }).join();
    std::thread([] {
      const TThreadLogLevel level(2);
      av_log(nullptr, AV_LOG_DEBUG, "from a debug job\n");
    }).join();
    av_log(nullptr, AV_LOG_DEBUG, "debug outside any job\n");
    av_log(nullptr, AV_LOG_INFO, "outside any job\n");
    EXPECT_EQ(log.Text(), "from a debug job\noutside any job\n");
  }
  {
    LogCapture log;
    // A line with a context object carries the context's name.
    AVCodecContext* ctx = avcodec_alloc_context3(nullptr);
    av_log(ctx, AV_LOG_INFO, "from a codec\n");
    avcodec_free_context(&ctx);
    std::string text = log.Text();
    EXPECT_EQ(text.rfind("[", 0), 0u) << text;
    EXPECT_NE(text.find("from a codec\n"), std::string::npos) << text;
    // Long texts are cut, never overrun.
    av_log(nullptr, AV_LOG_INFO, "%s\n", std::string(5000, 'x').c_str());
    EXPECT_LT(log.Text().size(), text.size() + 2048);
  }
  EXPECT_EQ(ErrorText(AVERROR(ENOENT)), "No such file or directory");
}
