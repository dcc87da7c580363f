#!/usr/bin/env bash
# Makes the seed files of the media-input fuzz harness in FOLDER: a tiny file (a few pictures of
# 32x24, a fraction of a second of 8 kHz sound) of every container the converter reads, made
# with the ffmpeg tool. Usage: make-media-seeds.sh FOLDER
set -uo pipefail
out=${1:?usage: make-media-seeds.sh FOLDER}
mkdir -p "$out"

v=(-f lavfi -i "testsrc=size=32x24:rate=10:d=0.3")
a=(-f lavfi -i "sine=frequency=440:sample_rate=8000:d=0.3")
made=0 failed=0

# seed NAME ARGS...: one file from the sources and codec arguments given.
seed() {
  local name=$1
  shift
  if ffmpeg -nostdin -y -hide_banner -v error "$@" -fflags +bitexact -map_metadata -1 \
    "$out/$name" </dev/null 2>/dev/null; then
    made=$((made + 1))
  else
    failed=$((failed + 1))
    echo "could not make seed $name" >&2
  fi
}

seed h264-aac.mp4 "${v[@]}" "${a[@]}" -c:v libx264 -preset ultrafast -c:a aac -b:a 16k -shortest
seed h264-aac-faststart.m4v "${v[@]}" "${a[@]}" -c:v libx264 -preset ultrafast -c:a aac \
  -b:a 16k -movflags +faststart -shortest
seed mpeg4-alac.mov "${v[@]}" "${a[@]}" -c:v mpeg4 -c:a alac -shortest
seed h263-aac.3gp -f lavfi -i "testsrc=size=128x96:rate=10:d=0.3" "${a[@]}" -c:v h263 \
  -c:a aac -b:a 16k -shortest
seed mpeg4-aac.3g2 "${v[@]}" "${a[@]}" -c:v mpeg4 -c:a aac -b:a 16k -shortest
seed aac.m4a "${a[@]}" -c:a aac -b:a 16k
seed mpeg4-mp3.avi "${v[@]}" "${a[@]}" -c:v mpeg4 -c:a libmp3lame -shortest
seed mjpeg-pcm.avi "${v[@]}" "${a[@]}" -c:v mjpeg -c:a pcm_u8 -shortest
seed mpeg1-mp2.mpg "${v[@]}" "${a[@]}" -c:v mpeg1video -r 25 -c:a mp2 -shortest
seed mpeg2-ac3.vob "${v[@]}" "${a[@]}" -c:v mpeg2video -c:a ac3 -f vob -shortest
seed mpeg2-mp2.ts "${v[@]}" "${a[@]}" -c:v mpeg2video -c:a mp2 -shortest
seed mpeg1.m1v "${v[@]}" -c:v mpeg1video -r 25 -f mpeg1video
seed wmv2-wma.wmv "${v[@]}" "${a[@]}" -c:v wmv2 -c:a wmav2 -shortest
seed msmpeg4-wma.asf "${v[@]}" "${a[@]}" -c:v msmpeg4 -c:a wmav1 -shortest
seed theora-vorbis.ogg "${v[@]}" "${a[@]}" -c:v libtheora -c:a libvorbis -shortest
seed vp8-vorbis.mkv "${v[@]}" "${a[@]}" -c:v libvpx -c:a libvorbis -shortest
srt=$(mktemp --suffix=.srt)
printf '1\n00:00:00,000 --> 00:00:00,200\nHello\n' >"$srt"
seed h264-srt.mkv "${v[@]}" -i "$srt" -map 0 -map 1 -c:v libx264 -preset ultrafast -c:s srt
seed mpeg4-text.mp4 "${v[@]}" -i "$srt" -map 0 -map 1 -c:v mpeg4 -c:s mov_text
rm -f "$srt"
seed flv-mp3.flv "${v[@]}" "${a[@]}" -c:v flv -c:a libmp3lame -ar 11025 -shortest
seed flv-swf.swf "${v[@]}" -c:v flv
seed rv10-ac3.rm -f lavfi -i "testsrc=size=32x32:rate=10:d=0.3" "${a[@]}" -c:v rv10 \
  -c:a ac3 -ar 32000 -shortest
seed dv.dv -f lavfi -i "testsrc=size=720x576:rate=25:d=0.04" -f lavfi \
  -i "sine=sample_rate=48000:d=0.04" -c:v dvvideo -pix_fmt yuv420p -c:a pcm_s16le -ac 2 -shortest
seed gif.gif "${v[@]}" -c:v gif
seed mjpeg.mjpeg "${v[@]}" -c:v mjpeg -f mjpeg
seed mp3.mp3 "${a[@]}" -c:a libmp3lame -ar 8000
seed mp2.mp2 "${a[@]}" -c:a mp2 -ar 16000
seed adts.aac "${a[@]}" -c:a aac -b:a 16k
seed ac3.ac3 "${a[@]}" -c:a ac3 -ar 32000
seed wma.wma "${a[@]}" -c:a wmav2
seed pcm.wav "${a[@]}" -c:a pcm_s16le
seed adpcm.wav "${a[@]}" -c:a adpcm_ms
seed mulaw.au "${a[@]}" -c:a pcm_mulaw
seed pcm.aiff "${a[@]}" -c:a pcm_s16be
seed ra.ra "${a[@]}" -c:a ac3 -f rm
# A stream that switches from stereo to mono halfway.
seed stereo-part.mp2 "${a[@]}" -c:a mp2 -ac 2
seed mono-part.mp2 "${a[@]}" -c:a mp2 -ac 1
if [ -f "$out/stereo-part.mp2" ] && [ -f "$out/mono-part.mp2" ]; then
  cat "$out/stereo-part.mp2" "$out/mono-part.mp2" >"$out/channel-switch.mp2"
fi

# Lists and scripts that name other files (see fuzz_media_input.cpp): the text, a NUL byte, then
# the media file the harness writes as seg.ts beside it; fifo.ts, zero.ts and self.* are the
# harness's pipe, endless device and links to the list itself.
nested() {
  local name=$1 text=$2
  if [ -f "$out/mpeg2-mp2.ts" ]; then
    { printf '%s' "$text"; printf '\0'; cat "$out/mpeg2-mp2.ts"; } >"$out/$name"
    made=$((made + 1))
  fi
}
hls='#EXTM3U
#EXT-X-TARGETDURATION:1
#EXTINF:0.3,
seg.ts
'
nested nested-hls.m3u8 "$hls#EXTINF:0.3,
fifo.ts
#EXTINF:0.3,
zero.ts
#EXTINF:0.3,
self.m3u8
#EXTINF:0.3,
http://127.0.0.1:9/x.ts
#EXT-X-ENDLIST
"
nested nested-concat.ffconcat 'ffconcat version 1.0
file seg.ts
file fifo.ts
'
for source in seg.ts fifo.ts zero.ts self.avs pipe:0 /dev/stdin 'http://127.0.0.1:9/x.ts'; do
  nested "nested-script-${source//[^a-z0-9]/_}.avs" "DirectShowSource(\"$source\", fps=25, convertfps=true)
"
done
nested nested-script-quoted.avs 'DirectShowSource("""seg.ts""", fps=25, convertfps=true)
'

echo "made $made seed files in $out ($failed could not be made)"
