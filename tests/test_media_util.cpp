#include <gtest/gtest.h>

#include "MediaUtil.h"

// The shared media helpers: what they make must be what ffprobe reads back.
TEST(ProbeMediaUtil, MakesProbesAndDecodesTinyFile) {
  media::TempDir dir;
  const auto file = dir.File("av.mkv");
  ASSERT_TRUE(
      media::MakeAudioVideo(file, {"-c:v", "mpeg4", "-c:a", "mp2"}, 1.0, "160x120", "30000/1001"));
  const auto info = media::Probe(file);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.format_name, "matroska,webm");
  ASSERT_EQ(info.streams.size(), 2u);
  const auto v = info.First("video");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->codec_name, "mpeg4");
  EXPECT_EQ(v->width, 160);
  EXPECT_EQ(v->height, 120);
  EXPECT_EQ(v->r_frame_rate.num, 30000);
  EXPECT_EQ(v->r_frame_rate.den, 1001);
  const auto a = info.First("audio");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->sample_rate, 44100);
  EXPECT_NEAR(info.duration_s, 1.0, 0.1);

  const auto times = media::PacketTimesPerStream(file);
  ASSERT_EQ(times.count(0), 1u);
  EXPECT_NEAR(times.at(0).first_pts_s, 0.0, 0.05);
  EXPECT_NEAR(times.at(0).end_s, 1.0, 0.1);
  EXPECT_TRUE(media::DecodesCleanly(file));
}

TEST(ProbeMediaUtil, AudioSourceHasAskedRateAndChannels) {
  media::TempDir dir;
  const auto file = dir.File("six.wav");
  auto args = media::AudioSource(0.5, 22050, 6);
  args.insert(args.end(), {"-c:a", "pcm_s16le"});
  ASSERT_TRUE(media::MakeMedia(file, args));
  const auto a = media::Probe(file).First("audio");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->sample_rate, 22050);
  EXPECT_EQ(a->channels, 6);
}

TEST(ProbeMediaUtil, ReportsFailuresOfTheTools) {
  media::TempDir dir;
  const auto bad = dir.File("bad.mp4");
  media::WriteFile(bad, "this is not a movie\n");
  EXPECT_FALSE(media::Probe(bad).ok);
  EXPECT_FALSE(media::DecodesCleanly(bad));
  EXPECT_EQ(media::RunCommand({"no-such-program-quorvin"}).exit_code, 127);
}
