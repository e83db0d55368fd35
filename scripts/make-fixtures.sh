#!/usr/bin/env bash
# Generates the media fixtures the tests use, into the directory given (the build tree's fixtures/).
# A fixture is made again only when its row changes. Rows: name, then how it is made:
#   ffmpeg <args...>   run ffmpeg with these arguments, writing to the fixture
#   copy-head <src> <n>  the first n bytes of another fixture
#   random <n> <seed>  n bytes that look random, the same for the same seed; refused when FFmpeg opens them
#   mkv-duration <src> <ms|none>  a Matroska fixture whose stated duration is ms, or absent (its content is kept)
#   concat <a> <b>...  the named fixtures joined byte for byte (MPEG-TS files play on as one stream)
#   wav-rate <src> <hz>  a copy of a WAV fixture whose header states another sample rate
#   flac-rate <src> <hz>  a copy of a FLAC fixture whose STREAMINFO states another sample rate (20 bits)
#   wav-nomask <src>   a copy of an extensible-header WAV fixture whose channel mask is 0 (no speaker order)
#   dvb-subtitles <src> <hash>  a copy of a fixture with a DVB bitmap subtitle track added, written by
#                      scripts/fixtures/dvb-subtitles.cpp (hash: its source's, so a change remakes the file)
#   source-file <name> <hash>  a copy of scripts/fixtures/<name> (hash: its content's, so a change remakes it)
# $IN names the folder with the helper inputs written below.
set -euo pipefail
out=${1:?usage: make-fixtures.sh <dir>}
mkdir -p "$out/inputs"
IN="$out/inputs"

# Helper inputs: subtitles and chapter metadata.
cat > "$IN/two-cues.srt" <<'SRT'
1
00:00:00,500 --> 00:00:01,500
First cue

2
00:00:02,000 --> 00:00:02,900
Second cue
SRT
# Burn-in inputs: the two cues as an ASS script, and a white box drawn half transparent over the whole picture
# from 0.5 s to 1.5 s (no border, no shadow: its edges are the blend alone). Both scripts share their head: a
# 320x240 canvas, the style line given, then the events' format.
ass_head() {
  printf '%s\n' '[Script Info]' 'ScriptType: v4.00+' 'PlayResX: 320' 'PlayResY: 240' '' '[V4+ Styles]' \
    'Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding' \
    "$1" '' '[Events]' 'Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text'
}
{
  ass_head 'Style: Default,DejaVu Sans,24,&H00FFFFFF,&H00FFFFFF,&H00000000,&H00000000,0,0,0,0,100,100,0,0,1,2,0,2,10,10,10,1'
  cat <<'ASS'
Dialogue: 0,0:00:00.50,0:00:01.50,Default,,0,0,0,,First cue
Dialogue: 0,0:00:02.00,0:00:02.90,Default,,0,0,0,,Second cue
ASS
} > "$IN/two-cues.ass"
{
  ass_head 'Style: Box,DejaVu Sans,20,&H80FFFFFF,&H80FFFFFF,&H00000000,&H00000000,0,0,0,0,100,100,0,0,1,0,0,7,0,0,0,1'
  cat <<'ASS'
Dialogue: 0,0:00:00.50,0:00:01.50,Box,,0,0,0,,{\pos(0,0)\p1}m 0 0 l 320 0 320 240 0 240{\p0}
ASS
} > "$IN/half-white-box.ass"
cat > "$IN/chapters.txt" <<'META'
;FFMETADATA1
title=Fixture Title
artist=Fixture Artist

[CHAPTER]
TIMEBASE=1/1000
START=0
END=1500
title=Opening

[CHAPTER]
TIMEBASE=1/1000
START=1500
END=3000
title=Closing
META
cat > "$IN/late-chapters.txt" <<'META'
;FFMETADATA1
title=Late Start

[CHAPTER]
TIMEBASE=1/1000
START=0
END=1500
title=Before

[CHAPTER]
TIMEBASE=1/1000
START=1500
END=2500
title=After
META
# Three chapters, the first untitled, and album tags only (no title, no artist).
cat > "$IN/labels-chapters.txt" <<'META'
;FFMETADATA1
album_artist=Fixture Band
album=Fixture Album

[CHAPTER]
TIMEBASE=1/1000
START=0
END=5000

[CHAPTER]
TIMEBASE=1/1000
START=5000
END=10000
title=Middle

[CHAPTER]
TIMEBASE=1/1000
START=10000
END=20000
title=End
META
printf 'not a real font, only its bytes\n' > "$IN/tiny.ttf"
printf 'plain notes\n' > "$IN/notes.txt"

# 36 cues, one every 2 s from 0 to 70 s, for the long subtitled file.
for i in $(seq 0 35); do
  printf '%d\n00:%02d:%02d,000 --> 00:%02d:%02d,500\nLong cue %d\n\n' $((i + 1)) $((i * 2 / 60)) $((i * 2 % 60)) \
    $((i * 2 / 60)) $((i * 2 % 60 + 1)) "$i"
done > "$IN/long-cues.srt"

# 40,000 short cues 50 ms apart: a subtitle stream whose pre-scan takes a while.
awk 'BEGIN { for (i = 0; i < 40000; i++) { s = i * 50; e = s + 40;
  printf "%d\n%02d:%02d:%02d,%03d --> %02d:%02d:%02d,%03d\nMany cue %d\n\n", i + 1, s / 3600000, (s / 60000) % 60,
    (s / 1000) % 60, s % 1000, e / 3600000, (e / 60000) % 60, (e / 1000) % 60, e % 1000, i } }' > "$IN/many-cues.srt"

# Hostile sidecars, each beside a short clip of its own name (rows below): one cue holding a single 2 MiB line,
# and 20,000 cues shown at the same time.
{ printf '1\n00:00:00,300 --> 00:00:01,700\n'; perl -e 'print "Wording " x 262144'; printf '\n\n'; } \
  > "$out/long-line-subs.srt"
awk 'BEGIN { for (i = 0; i < 20000; i++) printf "%d\n00:00:00,300 --> 00:00:01,700\nCrowd cue %d\n\n", i + 1, i }' \
  > "$out/crowd-subs.srt"

V320="-f lavfi -i testsrc2=size=320x240:rate=25:duration=3"
TONE48="-f lavfi -i sine=frequency=440:sample_rate=48000:duration=3"

rows=(
  "clip.mp4|ffmpeg $V320 $TONE48 -map 0:v -map 1:a -ac 2 -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 25 -c:a aac -b:a 96k -shortest"
  "thirty-seconds.mp4|ffmpeg -f lavfi -i testsrc2=size=160x120:rate=25:duration=30 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=30 -map 0:v -map 1:a -ac 2 -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 25 -c:a aac -b:a 64k -shortest"
  "multi.mkv|ffmpeg $V320 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=3 -f lavfi -i sine=frequency=880:sample_rate=48000:duration=3 -i \$IN/two-cues.srt -i \$IN/chapters.txt -map 0:v -map 1:a -map 2:a -map 3:s -map_metadata 4 -map_chapters 4 -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -ac 2 -c:s srt -metadata:s:a:0 language=eng -metadata:s:a:1 language=deu -metadata:s:s:0 language=eng"
  "cover.mp3|ffmpeg $TONE48 -f lavfi -i testsrc2=size=200x200:rate=1:duration=1 -map 0:a -map 1:v -c:a libmp3lame -b:a 128k -c:v mjpeg -frames:v 1 -disposition:v attached_pic -metadata:s:v title=Cover -metadata:s:v comment=\"Cover (front)\" -id3v2_version 3 -metadata title=Tone -metadata artist=Fixture"
  "video-only.mkv|ffmpeg $V320 -c:v libx264 -preset veryfast -pix_fmt yuv420p"
  "subtitle-only.mkv|ffmpeg -i \$IN/two-cues.srt -c:s srt"
  "long-subs.mkv|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=2:duration=75 -i \$IN/long-cues.srt -map 0:v -map 1:s -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 20 -c:s srt -metadata:s:s:0 language=eng"
  "late-start-subs.mkv|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=2:duration=3 -i \$IN/two-cues.srt -map 0:v -map 1:s -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:s srt -output_ts_offset 5"
  "long-line-subs.mp4|ffmpeg -f lavfi -i testsrc2=size=320x240:rate=25:duration=2 -c:v libx264 -preset ultrafast -pix_fmt yuv420p"
  "crowd-subs.mp4|ffmpeg -f lavfi -i testsrc2=size=320x240:rate=25:duration=2 -c:v libx264 -preset ultrafast -pix_fmt yuv420p"
  "tiny.png|ffmpeg -f lavfi -i color=c=red:size=16x16 -frames:v 1"
  "garbage.mp4|random 65536 kvr-garbage-1"
  "truncated.mp4|copy-head clip.mp4 20000"
  "start-offset.ts|ffmpeg -f lavfi -i testsrc2=size=160x120:rate=25:duration=3 $TONE48 -map 0:v -map 1:a -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 25 -bf 0 -c:a mp2 -b:a 64k -f mpegts"
  "late-audio.mkv|ffmpeg -f lavfi -i testsrc2=size=160x120:rate=25:duration=4 -itsoffset 3 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=1 -map 0:v -map 1:a -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -b:a 64k"
  "tags.ogg|ffmpeg -f lavfi -i sine=frequency=440:sample_rate=48000:duration=1 -c:a libvorbis -metadata title=\"Ogg Title\" -metadata artist=\"Ogg Artist\" -metadata REPLAYGAIN_TRACK_GAIN=\"-3.50 dB\""
  "rotated.mp4|ffmpeg -i \$out/clip.mp4 -map 0:v -t 0.5 -c copy -metadata:s:v:0 rotate=270 -f mp4"
  "late-chapters.mkv|ffmpeg -f lavfi -i sine=frequency=440:sample_rate=8000:duration=1 -i \$IN/late-chapters.txt -map 0:a -map_metadata 1 -map_chapters 1 -c:a libvorbis -output_ts_offset 1 -attach \$IN/tiny.ttf -metadata:s:t:0 mimetype=application/x-truetype-font -attach \$IN/notes.txt -metadata:s:t:1 mimetype=text/plain"
  "tone6.mkv|ffmpeg -f lavfi -i sine=frequency=440:sample_rate=48000:duration=6 -c:a libvorbis"
  "short-duration.mkv|mkv-duration tone6.mkv 1000"
  "no-duration.mkv|mkv-duration tone6.mkv none"
  "three-minutes.mkv|ffmpeg -f lavfi -i sine=frequency=440:sample_rate=8000:duration=180 -c:a libvorbis -ac 1"
  "forty-five-seconds.mkv|ffmpeg -f lavfi -i sine=frequency=440:sample_rate=8000:duration=45 -c:a libvorbis -ac 1"
  "ten-minutes.mkv|ffmpeg -f lavfi -i sine=frequency=440:sample_rate=8000:duration=600 -c:a libvorbis -ac 1"
  "tone44k.flac|ffmpeg -f lavfi -i sine=frequency=440:sample_rate=44100:duration=4 -c:a flac"
  "click.flac|ffmpeg -f lavfi -i sine=frequency=1000:sample_rate=44100:duration=0.005 -af adelay=55125S,apad=whole_dur=2 -c:a flac"
  "audio-after-video.mkv|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=10:duration=2 -itsoffset 1 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=1 -map 0:v -map 1:a -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a flac"
  "switch-mono44k.ts|ffmpeg -f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 -ac 1 -c:a mp2 -b:a 64k -f mpegts"
  "switch-stereo48k.ts|ffmpeg -f lavfi -i sine=frequency=660:sample_rate=48000:duration=2 -ac 2 -c:a mp2 -b:a 128k -output_ts_offset 2 -f mpegts"
  "format-switch.ts|concat switch-mono44k.ts switch-stereo48k.ts"
  "silence.flac|ffmpeg -f lavfi -i aevalsrc=0:s=48000:d=2 -c:a flac"
  "quiet.flac|ffmpeg -f lavfi -i sine=frequency=1000:sample_rate=48000:duration=3 -af volume=-19dB -c:a flac"
  "noise.flac|ffmpeg -f lavfi -i anoisesrc=d=2:c=pink:r=44100:a=0.2:seed=7 -ac 2 -c:a flac"
  "tracks.mkv|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=10:duration=1 -f lavfi -i sine=sample_rate=8000:duration=1 -f lavfi -i sine=frequency=880:sample_rate=8000:duration=1 -i \$IN/two-cues.srt -i \$IN/two-cues.srt -i \$IN/two-cues.srt -map 0:v -map 1:a -map 2:a -map 3:s -map 4:s -map 5:s -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a libvorbis -c:s srt -metadata:s:a:0 language=eng -metadata:s:a:1 language=ger -metadata:s:s:0 language=eng -metadata:s:s:1 language=fre -metadata:s:s:2 language=ger -disposition:a:0 0 -disposition:a:1 default -disposition:s:0 default -disposition:s:1 forced -disposition:s:2 0"
  "yuvj420p.mkv|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=10:duration=0.5 -c:v mjpeg -pix_fmt yuvj420p"
  "yuv422p.mkv|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=10:duration=0.5 -c:v libx264 -preset ultrafast -pix_fmt yuv422p"
  "yuvj422p-halfblack.mkv|ffmpeg -f lavfi -i color=c=black:size=64x48:rate=10:duration=0.5 -vf drawbox=x=32:y=0:w=32:h=48:color=white:t=fill -c:v mjpeg -q:v 2 -pix_fmt yuvj422p"
  "rgb24.mkv|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=10:duration=0.5 -c:v png -pix_fmt rgb24"
  "gray.mkv|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=10:duration=0.5 -c:v png -pix_fmt gray"
  "yuv420p10le.mkv|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=10:duration=0.5 -c:v libx264 -preset ultrafast -pix_fmt yuv420p10le"
  "h264-718.mp4|ffmpeg -f lavfi -i testsrc2=size=64x718:rate=10:duration=0.2 -c:v libx264 -preset ultrafast -pix_fmt yuv420p"
  "h264-720.mp4|ffmpeg -f lavfi -i testsrc2=size=64x720:rate=10:duration=0.2 -c:v libx264 -preset ultrafast -pix_fmt yuv420p"
  "letterbox.mp4|ffmpeg -f lavfi -i testsrc2=size=320x160:rate=10:duration=0.3 -vf pad=320:240:0:40:black -c:v libx264 -preset ultrafast -qp 0 -pix_fmt yuv420p"
  "size-a.ts|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=10:duration=0.5 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -bf 0 -f mpegts"
  "size-b.ts|ffmpeg -f lavfi -i testsrc2=size=96x64:rate=10:duration=0.5 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -bf 0 -output_ts_offset 0.5 -f mpegts"
  "size-change.ts|ffmpeg -i \"concat:\$out/size-a.ts|\$out/size-b.ts\" -c copy -f mpegts"
  "session-fps1000.mkv|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=1000:duration=0.5 -c:v libx264 -preset ultrafast -pix_fmt yuv420p"
  "session-raw.h264|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=25:duration=3 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -f h264"
  "many-subs.mkv|ffmpeg -f lavfi -i sine=sample_rate=8000:duration=1 -i \$IN/many-cues.srt -map 0:a -map 1:s -c:a flac -c:s srt -metadata:s:s:0 language=eng"
  "cover-wide.mp3|ffmpeg $TONE48 -f lavfi -i color=c=blue:size=6000x1500:duration=1 -map 0:a -map 1:v -c:a libmp3lame -b:a 128k -c:v mjpeg -frames:v 1 -disposition:v attached_pic -id3v2_version 3"
  "sink-red-blue.mkv|ffmpeg -f lavfi -i \"color=c=0xC82828:s=64x32:r=10:d=2[a];color=c=0x2848C8:s=64x32:r=10:d=2[b];[a][b]concat=n=2[out0]\" -c:v libx264 -preset ultrafast -qp 0 -pix_fmt yuv420p"
  "tone1k-half.flac|ffmpeg -f lavfi -i \"aevalsrc=0.5*sin(2*PI*1000*t)|0.5*sin(2*PI*1000*t):s=48000:d=4\" -c:a flac"
  "snapshot-sar.mkv|ffmpeg -f lavfi -i testsrc2=size=720x576:rate=10:duration=2 -vf setsar=16/15 -c:v libx264 -preset ultrafast -pix_fmt yuv420p"
  "snapshot-halves.mp4|ffmpeg -f lavfi -i color=c=red:size=64x32:rate=10:duration=2 -vf drawbox=x=0:y=0:w=32:h=32:color=blue:t=fill -c:v libx264 -preset ultrafast -qp 0 -pix_fmt yuv420p"
  "snapshot-sar-1000.mp4|ffmpeg -f lavfi -i testsrc2=size=16x1000:rate=10:duration=2 -vf setsar=sar=1000/1:max=1000 -c:v libx264 -preset ultrafast -pix_fmt yuv420p"
  "snapshot-rotated.mp4|ffmpeg -i \$out/snapshot-halves.mp4 -c copy -metadata:s:v:0 rotate=270 -f mp4"
  "labels.mkv|ffmpeg -f lavfi -i sine=frequency=440:sample_rate=8000:duration=20 -i \$IN/two-cues.srt -i \$IN/labels-chapters.txt -map 0:a -map 0:a -map 0:a -map 1:s -map 1:s -map_metadata 2 -map_chapters 2 -c:a:0 aac -ac:a:0 2 -c:a:1 flac -ac:a:1 3 -c:a:2 flac -ac:a:2 6 -c:s srt -metadata:s:a:0 language=eng -metadata:s:a:0 title=\"English commentary\" -metadata:s:a:2 language=zzz -metadata:s:s:0 language=fre -metadata:s:s:0 title=Signs -disposition:a:0 default -disposition:a:1 0 -disposition:a:2 0 -disposition:s:0 forced -disposition:s:1 0"
  "session-long-gop.mp4|ffmpeg -f lavfi -i testsrc2=size=1280x720:rate=25:duration=20 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=20 -map 0:v -map 1:a -ac 2 -c:v libx264 -preset veryfast -g 250 -keyint_min 250 -sc_threshold 0 -pix_fmt yuv420p -c:a aac -b:a 64k"
  "session-noisy-audio.mkv|ffmpeg -f lavfi -i testsrc2=size=160x120:rate=25:duration=3 $TONE48 -map 0:v -map 1:a -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -b:a 64k -bsf:a noise=amount=1"
  "tone3.wav|ffmpeg $TONE48 -ac 2 -c:a pcm_s16le"
  "tone3-1hz.wav|wav-rate tone3.wav 1"
  "tone-0hz.flac|flac-rate tone44k.flac 0"
  "tone-1hz.flac|flac-rate tone44k.flac 1"
  "tone-1048575hz.flac|flac-rate tone44k.flac 1048575"
  "tone100-at-1khz.wav|ffmpeg -f lavfi -i sine=frequency=100:sample_rate=1000:duration=3 -ac 2 -c:a pcm_s16le"
  "clip-1hz-audio.mkv|ffmpeg -i \$out/clip.mp4 -i \$out/tone3-1hz.wav -map 0:v -map 1:a -c copy -shortest"
  "seek-gop2.ts|ffmpeg -f lavfi -i testsrc2=size=160x120:rate=25:duration=8 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=8 -map 0:v -map 1:a -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 50 -keyint_min 50 -sc_threshold 0 -c:a aac -b:a 64k -f mpegts"
  "seek-wrap.ts|ffmpeg -f lavfi -i testsrc2=size=160x120:rate=25:duration=12 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=12 -map 0:v -map 1:a -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 50 -keyint_min 50 -sc_threshold 0 -c:a aac -b:a 64k -output_ts_offset 95438 -f mpegts"
  "seek-wrap-late.ts|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=10:duration=72 -f lavfi -i sine=frequency=440:sample_rate=8000:duration=72 -map 0:v -map 1:a -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 20 -keyint_min 20 -sc_threshold 0 -c:a mp2 -b:a 32k -output_ts_offset 95378.7 -f mpegts"
  "stream-30s.mkv|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=10:duration=30 -f lavfi -i sine=frequency=440:sample_rate=8000:duration=30 -map 0:v -map 1:a -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 10 -c:a libvorbis -ac 1"
)

# The conversion queue's track labels: an English AAC track titled "Commentary" (stream 1) and an untitled
# subtitle track without a language (stream 2).
rows+=(
  "commentary.mkv|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=10:duration=1 -f lavfi -i sine=sample_rate=8000:duration=1 -i \$IN/two-cues.srt -map 0:v -map 1:a -map 2:s -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -ac 1 -c:s srt -metadata:s:a:0 language=eng -metadata:s:a:0 title=Commentary"
)

# Tag writer: one file per container it rewrites, each with a comment for the writer to remove; the MP4 one has
# chapters (an audiobook's) and a key of its own on the audio stream.
TONE1="-f lavfi -i sine=frequency=440:sample_rate=44100:duration=1"
rows+=(
  "tagged.flac|ffmpeg $TONE1 -c:a flac -metadata title=\"Old Title\" -metadata comment=\"Old comment\""
  "tagged.m4a|ffmpeg -f lavfi -i sine=frequency=440:sample_rate=44100:duration=3 -i \$IN/chapters.txt -map 0:a -map_metadata 1 -map_chapters 1 -c:a aac -b:a 64k -metadata comment=\"Old comment\" -metadata:s:a:0 handler_name=\"Old handler\""
  "tagged.opus|ffmpeg $TONE1 -c:a libopus -b:a 32k -metadata title=\"Old Title\" -metadata comment=\"Old comment\""
  "tagged.aac|ffmpeg $TONE1 -c:a aac -b:a 64k -f adts"
)

# Audio track switches: two tones long enough that a loaded machine never reaches the end while a test switches.
# Real-world conversion inputs: a broadcast clock far from 0, a DVD-style programme stream (its AC-3 repeats one
# time stamp), a phone's portrait video (display matrix -90 degrees), a video stream whose every packet the noise
# filter took (the conversion fails only after its output is made) and styled subtitles with their font.
rows+=(
  "late.ts|ffmpeg -f lavfi -i testsrc2=size=160x120:rate=25:duration=5 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=5 -map 0:v -map 1:a -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 25 -c:a mp2 -b:a 64k -output_ts_offset 3600 -f mpegts"
  "dvd.mpg|ffmpeg -f lavfi -i testsrc2=size=64x48:duration=10 -f lavfi -i sine=duration=10 -ac 6 -c:v mpeg2video -c:a ac3 -b:a 96k -f dvd"
  "landscape.mov|ffmpeg -f lavfi -i testsrc2=size=640x360:rate=25:duration=1 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -f mov"
  "portrait.mov|ffmpeg -i \$out/landscape.mov -c copy -metadata:s:v:0 rotate=270 -f mov"
  "no-pictures.mkv|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=10:duration=1 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -bsf:v noise=amount=1"
  "styled-subs.mkv|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=10:duration=1 -i \$IN/two-cues.ass -map 0:v -map 1:s -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:s ass -attach \$IN/tiny.ttf -metadata:s:t:0 mimetype=application/x-truetype-font"
)

rows+=(
  "two-tones-20s.mkv|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=10:duration=20 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=20 -f lavfi -i sine=frequency=880:sample_rate=48000:duration=20 -map 0:v -map 1:a -map 2:a -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -ac 2 -metadata:s:a:0 language=eng -metadata:s:a:1 language=deu"
)

# Every build tree gets the same bytes: without bitexact the Matroska and Ogg muxers write random identifiers, and
# x264 picks its thread count, and with it its output, from the processors the process may use.
bitexact="-fflags +bitexact -threads 1"

make_row() {
  local name=$1 recipe=$2 tmp="$out/.tmp-$1"
  set -- $recipe
  case $1 in
    ffmpeg)
      shift
      eval "ffmpeg -nostdin -hide_banner -loglevel error -y $* $bitexact \"\$tmp\"" ;;
    random)
      # SHA-256 of the seed and a counter, block after block: every build tree gets the same bytes. About one
      # random file in a hundred opens as some format, so the bytes are checked to be refused.
      perl -MDigest::SHA=sha256 -e 'my ($n, $seed) = @ARGV; my $d = ""; my $i = 0;
        $d .= sha256($seed . ":" . $i++) while length($d) < $n; print substr($d, 0, $n);' "$2" "$3" > "$tmp"
      if ffprobe -v quiet "$tmp"; then
        echo "make-fixtures: $name opens as media; choose another seed" >&2
        return 1
      fi ;;
    copy-head)
      head -c "$3" "$out/$2" > "$tmp" ;;
    mkv-duration)
      # The Segment's Duration is an 8-byte float (ID 44 89, size 88); "none" turns it into a Void element of
      # the same length.
      perl -e '
        local $/; open(my $in, "<:raw", $ARGV[0]) or die "$!\n"; my $d = <$in>; close $in;
        my $at = index($d, "\x44\x89\x88"); die "no duration element\n" if $at < 0;
        if ($ARGV[1] eq "none") { substr($d, $at, 2) = "\xEC\x89"; }
        else { substr($d, $at + 3, 8) = pack("d>", $ARGV[1]); }
        open(my $out, ">:raw", $ARGV[2]) or die "$!\n"; print $out $d; close $out;' "$out/$2" "$3" "$tmp" ;;
    concat)
      shift
      (cd "$out" && cat "$@") > "$tmp" ;;
    wav-rate)
      # A WAV whose header claims another sample rate (and the byte rate that goes with it); the samples are kept.
      perl -e '
        local $/; open(my $in, "<:raw", $ARGV[0]) or die "$!\n"; my $d = <$in>; close $in;
        my $at = index($d, "fmt "); die "no fmt chunk\n" if $at < 0;
        my $align = unpack("v", substr($d, $at + 20, 2));
        substr($d, $at + 12, 8) = pack("VV", $ARGV[1], $ARGV[1] * $align);
        open(my $out, ">:raw", $ARGV[2]) or die "$!\n"; print $out $d; close $out;' "$out/$2" "$3" "$tmp" ;;
    flac-rate)
      # STREAMINFO is the first metadata block: after "fLaC" and its 4-byte header come the block sizes (4
      # bytes) and frame sizes (6 bytes), then the rate in the next 20 bits. The frames keep their own rate codes.
      perl -e '
        local $/; open(my $in, "<:raw", $ARGV[0]) or die "$!\n"; my $d = <$in>; close $in;
        die "not FLAC\n" unless substr($d, 0, 4) eq "fLaC" && (ord(substr($d, 4, 1)) & 0x7F) == 0;
        my $rate = $ARGV[1]; my $at = 18;
        substr($d, $at, 1) = chr(($rate >> 12) & 0xFF);
        substr($d, $at + 1, 1) = chr(($rate >> 4) & 0xFF);
        substr($d, $at + 2, 1) = chr((($rate & 0xF) << 4) | (ord(substr($d, $at + 2, 1)) & 0x0F));
        open(my $out, ">:raw", $ARGV[2]) or die "$!\n"; print $out $d; close $out;' "$out/$2" "$3" "$tmp" ;;
    wav-nomask)
      # A six-channel WAV whose extensible header names no speakers (channel mask 0): channels of no known order.
      perl -e '
        local $/; open(my $in, "<:raw", $ARGV[0]) or die "$!\n"; my $d = <$in>; close $in;
        my $at = index($d, "fmt "); die "no fmt chunk\n" if $at < 0;
        die "not an extensible header\n" unless unpack("v", substr($d, $at + 8, 2)) == 0xFFFE;
        substr($d, $at + 28, 4) = pack("V", 0);
        open(my $out, ">:raw", $ARGV[1]) or die "$!\n"; print $out $d; close $out;' "$out/$2" "$tmp" ;;
    dvb-subtitles)
      mkdir -p "$out/.tools"
      # shellcheck disable=SC2046
      g++ -std=c++20 -O1 -Wall -Wextra -o "$dvb_tool" "$fixture_src/dvb-subtitles.cpp" \
        $(pkg-config --cflags --libs libavformat libavcodec libavutil)
      "$dvb_tool" "$out/$2" "$tmp" ;;
    source-file)
      cp "$fixture_src/$2" "$tmp" ;;
    *)
      echo "make-fixtures: unknown recipe for $name: $1" >&2; return 1 ;;
  esac
  mv -f "$tmp" "$out/$name"
}


# Cover art, thumbnails and WebVTT export. The DVB bitmap subtitle track comes from a small program built here
# (scripts/fixtures/dvb-subtitles.cpp); its source's hash is part of the row, so a change to it remakes the file.
fixture_src=$(cd "$(dirname "$0")" && pwd)/fixtures
dvb_tool="$out/.tools/dvb-subtitles"
dvb_hash=$(sha1sum "$fixture_src/dvb-subtitles.cpp" | cut -c1-12)
rows+=(
  "cover-huge.mp3|ffmpeg -f lavfi -i sine=frequency=440:sample_rate=48000:duration=1 -f lavfi -i color=c=green:size=9000x9000:duration=1 -map 0:a -map 1:v -c:a libmp3lame -b:a 64k -c:v png -frames:v 1 -disposition:v attached_pic -id3v2_version 3"
  "frame-1080.mp4|ffmpeg -f lavfi -i testsrc2=size=1920x1080:rate=10:duration=1 -c:v libx264 -preset ultrafast -pix_fmt yuv420p"
  "sar-extreme.mp4|ffmpeg -f lavfi -i testsrc2=size=16x4096:rate=10:duration=0.3 -vf setsar=sar=4000/1:max=4000 -c:v libx264 -preset ultrafast -pix_fmt yuv420p"
  "video-no-duration.mkv|mkv-duration video-only.mkv none"
  "fullrange-greys.mkv|ffmpeg -f lavfi -i color=c=0x202020:size=64x48:rate=10:duration=0.5 -vf drawbox=x=32:y=0:w=32:h=48:color=0xE0E0E0:t=fill,scale=out_range=full -c:v ffv1 -pix_fmt yuv420p -color_range pc"
  "subs-no-packets.mkv|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=10:duration=1 -itsoffset 10 -i \$IN/two-cues.srt -map 0:v -map 1:s -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:s srt -t 1"
  "dvb-subs.mkv|dvb-subtitles clip.mp4 $dvb_hash"
)

# The Cast v2 test receiver's key and self-signed certificate (key first), kept in the repository so that every
# fixture tree is the same. A test key only: its clients never check certificates.
receiver_hash=$(sha1sum "$fixture_src/kvr-test-receiver.pem" | cut -c1-12)
rows+=(
  "kvr-test-receiver.pem|source-file kvr-test-receiver.pem $receiver_hash"
)

# Library covers: a folder image larger than the cover cache keeps (4096 on its longer side).
rows+=(
  "folder-6000x4000.png|ffmpeg -f lavfi -i color=c=0x3060C0:size=6000x4000 -vf drawbox=x=0:y=0:w=3000:h=4000:color=0xC06030:t=fill -frames:v 1"
)

# Audio re-encoding and subtitle conversion: a 5.1 WAV, a 36 kHz mono tone (equally far from two Opus rates),
# and a Matroska file with an ASS track.
rows+=(
  "surround51.wav|ffmpeg -f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 -ac 6 -c:a pcm_s16le"
  "tone36k.wav|ffmpeg -f lavfi -i sine=frequency=440:sample_rate=36000:duration=2 -c:a pcm_s16le"
  "ass-subs.mkv|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=10:duration=3 -i \$IN/two-cues.srt -map 0:v -map 1:s -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:s ass"
  "six-nomask.wav|wav-nomask surround51.wav"
)

# Video re-encoding: a single video frame with 2 s of sound, and a variable-frame-rate clip whose frames come in
# pairs 10 ms apart (two frames to one tick of a 1/frame-rate time base).
rows+=(
  "one-frame-sound.mkv|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=10:duration=0.1 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 -map 0:v -map 1:a -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac"
  "vfr-pairs.mkv|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=20:duration=2 -vf 'settb=1/1000,setpts=(floor(N/2)*0.1+mod(N\\,2)*0.01)/TB' -fps_mode passthrough -enc_time_base:v 1:1000 -c:v libx264 -preset ultrafast -pix_fmt yuv420p"
)

# Burn-in: a flat mid-grey picture, so a half-transparent box shows how the overlay is blended.
rows+=(
  "grey.mkv|ffmpeg -f lavfi -i color=c=0x808080:size=320x240:rate=25:duration=2 -c:v libx264 -preset ultrafast -qp 0 -pix_fmt yuv420p"
)

# Casting to a real DLNA renderer: a few seconds each, so an item plays to its end within a test.
rows+=(
  "six-seconds.mp3|ffmpeg -f lavfi -i sine=frequency=440:sample_rate=44100:duration=6 -c:a libmp3lame -b:a 64k"
  "four-seconds.ts|ffmpeg -f lavfi -i testsrc2=size=160x120:rate=25:duration=4 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=4 -map 0:v -map 1:a -ac 2 -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 25 -bf 0 -c:a aac -b:a 64k -shortest -f mpegts"
  # A cast that starts in the middle: long enough that a start at 30 s is far from both ends.
  "sixty-seconds.mp4|ffmpeg -f lavfi -i testsrc2=size=160x120:rate=10:duration=60 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=60 -map 0:v -map 1:a -ac 2 -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 10 -c:a aac -b:a 64k -shortest -movflags +faststart"
)

# Cast plans: codec and container pairs that receivers take or refuse, an MP4 whose second audio track is not
# the default one, a file of about 10 Mbit/s (filler data holds x264 to the rate), two subtitle tracks of
# different languages, and a clip with a subtitle file of its own name beside it.
cp "$IN/two-cues.srt" "$out/cast-sidecar.srt"
rows+=(
  "cast-h264-ac3.mp4|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=10:duration=1 -f lavfi -i sine=sample_rate=48000:duration=1 -map 0:v -map 1:a -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a ac3 -b:a 96k"
  "cast-vp9-opus.webm|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=10:duration=1 -f lavfi -i sine=sample_rate=48000:duration=1 -map 0:v -map 1:a -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -b:v 100k -c:a libopus -b:a 32k"
  "cast-vp9.mkv|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=10:duration=1 -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -b:v 100k"
  "cast-hevc.mkv|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=10:duration=1 -c:v libx265 -preset ultrafast -x265-params log-level=error -pix_fmt yuv420p"
  "cast-two-audio.mp4|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=10:duration=1 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=1 -f lavfi -i sine=frequency=880:sample_rate=48000:duration=1 -map 0:v -map 1:a -map 2:a -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -b:a 64k -disposition:a:0 default -disposition:a:1 0"
  "cast-h264-aac.mkv|ffmpeg -i \$out/clip.mp4 -c copy"
  "cast-10mbit.mp4|ffmpeg -f lavfi -i testsrc2=size=320x240:rate=25:duration=2 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -b:v 10M -minrate 10M -maxrate 10M -bufsize 2M -x264-params nal-hrd=cbr"
  "cast-sidecar.mp4|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=10:duration=1 -c:v libx264 -preset ultrafast -pix_fmt yuv420p"
  "cast-subtitle-languages.mkv|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=10:duration=3 -i \$IN/two-cues.srt -i \$IN/two-cues.srt -map 0:v -map 1:s -map 2:s -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:s srt -metadata:s:s:0 language=eng -metadata:s:s:1 language=deu -disposition:s:0 default -disposition:s:1 0"
)

# Remote playback: a 100 s H.264/AAC MP4 that AirPlay takes as it is (seeks near its end), and an audio file of
# 605 s whose conversion starts near its end (the receiver's clock moved onto the file's time line).
rows+=(
  "hundred-seconds.mp4|ffmpeg -f lavfi -i testsrc2=size=64x48:rate=5:duration=100 -f lavfi -i sine=frequency=440:sample_rate=8000:duration=100 -map 0:v -map 1:a -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 10 -c:a aac -b:a 16k -ac 1"
  "ten-minutes-five-seconds.mkv|ffmpeg -f lavfi -i sine=frequency=440:sample_rate=8000:duration=605 -c:a libvorbis -ac 1"
)

made=0
for row in "${rows[@]}"; do
  name=${row%%|*}
  recipe=${row#*|}
  stamp="$out/.$name.recipe"
  if [ -f "$out/$name" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$bitexact $recipe" ]; then
    continue
  fi
  make_row "$name" "$recipe"
  printf '%s' "$bitexact $recipe" > "$stamp"
  made=$((made + 1))
done
echo "make-fixtures: $made made, ${#rows[@]} in the table, in $out"
