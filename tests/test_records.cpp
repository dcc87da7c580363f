#include <gtest/gtest.h>

#include "OptionRecords.h"

// A reset must restore every field, including the ones a previous job filled in; otherwise a
// value from one conversion leaks into the next.
TEST(Records, ResetOutputOptionsRestoresEveryDefault) {
  TOutputOptions o;
  o.FileName = "a.mp4";
  // Strings are assigned from std::string values: GCC 12 reports a false -Wrestrict overlap
  // for some assignments from literals in this function at -O2.
  o.Reserved = std::string("x");
  o.FileFormat = "mp4";
  o.PacketSize = o.MuxRate = 7;
  o.MuxDelay = o.MuxPreload = 0.5f;
  o.AudioCodec = "aac";
  o.DisableAudio = o.DisableVideo = o.DisableSubtitle = o.CopyTimestamps = true;
  o.AudioVolume = o.AudioChannels = o.AudioSampleRate = o.AudioBitrate = 9;
  o.AudioBitrateTolerance = o.AudioSyncMethod = 9;
  for (std::string* text : {&o.AudioLanguage, &o.AudioTag, &o.VideoCodec, &o.FrameRate,
                            &o.FrameSize, &o.AspectRatio, &o.VideoTag, &o.SubtitleLanguage}) {
    *text = std::string("t");
  }
  o.CropTop = o.CropBottom = o.CropLeft = o.CropRight = 4;
  o.PadTop = o.PadBottom = o.PadLeft = o.PadRight = 4;
  o.PadColor = 0x00ff00;
  o.GOPSize = o.VideoBitrate = o.VideoMaxRate = o.VideoMinRate = 5;
  o.VideoBitrateTolerance = o.VideoBufferSize = o.VideoSyncMethod = 5;
  o.Duration = 1000;
  o.Timestamp = 25569.0;
  o.Year = 2007;
  o.Track = 3;
  o.Title = o.Author = o.Copyright = o.Comment = o.Album = o.Genre = "tag";
  o.TargetType = o.TargetNorm = 2;
  o.TargetDefaultNorm = 2;
  o.UseCustomHook = o.UseBeforeHook = true;
  o.HookRanges = "1-2";
  o.ExtraOptions = "vcodec=mpeg4";

  ResetOutputOptions(o);

  EXPECT_EQ(o, TOutputOptions{});
  // The defaults the engine depends on: -1 means "not set" for the optional numbers, but the
  // sync methods and the target norm fall-back have real values.
  EXPECT_EQ(o.AudioVolume, -1);
  EXPECT_EQ(o.AudioBitrate, -1);
  EXPECT_EQ(o.CropTop, -1);
  EXPECT_EQ(o.PadRight, -1);
  EXPECT_EQ(o.PadColor, 0);
  EXPECT_EQ(o.AudioSyncMethod, 0);
  EXPECT_EQ(o.VideoSyncMethod, -1);
  EXPECT_EQ(o.Duration, -1);
  EXPECT_DOUBLE_EQ(o.Timestamp, -1.0);
  EXPECT_FLOAT_EQ(o.MuxDelay, -1.0f);
  EXPECT_EQ(o.Year, -1);
  EXPECT_EQ(o.Track, -1);
  EXPECT_TRUE(o.Title.empty());
  EXPECT_TRUE(o.Genre.empty());
  EXPECT_EQ(o.TargetType, 0);
  EXPECT_EQ(o.TargetNorm, 0);
  EXPECT_EQ(o.TargetDefaultNorm, 1);
  EXPECT_FALSE(o.UseCustomHook);
  EXPECT_TRUE(o.ExtraOptions.empty());
}

TEST(Records, ResetInputOptionsRestoresEveryDefault) {
  TInputOptions i{"in.avi", "avi", 5000, 2, "ss=1"};
  ResetInputOptions(i);
  EXPECT_EQ(i, TInputOptions{});
  EXPECT_TRUE(i.FileName.empty());
  EXPECT_TRUE(i.FileFormat.empty());
  EXPECT_EQ(i.StartTime, -1);
  EXPECT_EQ(i.ProgramID, -1);
  EXPECT_TRUE(i.ExtraOptions.empty());
}
