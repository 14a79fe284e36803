#!/usr/bin/env bash
# The frames of the test AAC encoder (test_audio_encoder.h) decode, read here as its header gives
# them: an ADTS stream made of its AudioSpecificConfig and its frames, silent frames around one
# loud one, which ffmpeg must decode without an error into AAC-LC, 48 kHz, stereo, silence in
# every 1024 samples but the two that the loud frame's window covers (its own and the next).
#
#   aac_frames_test.sh HEADER WORK
set -uo pipefail
header=${1:?header}
work=${2:?work folder}
mkdir -p "$work"
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The bytes of the array NAME in the header, as two-digit hex words.
array() {
  awk -v name="$1" '
    index($0, name "[] = {") { on = 1 }
    on { line = $0; sub(/.*= *\{/, "", line); text = text " " line }
    on && /};/ { exit }
    END { print text }' "$header" | grep -oE '0x[0-9a-fA-F]{2}' | sed 's/0x//'
}

asc=($(array kAudioSpecificConfig))
silent=($(array kSilentFrame))
loud=($(array kLoudFrame))
[ "${#asc[@]}" -ge 2 ] && [ "${#silent[@]}" -gt 0 ] && [ "${#loud[@]}" -gt 0 ] || {
  echo "FAIL: the header's arrays were not found"
  exit 1
}

# The ADTS header of a frame of N bytes, its object type, rate and channels from the
# AudioSpecificConfig (5 bits of object type, 4 of rate index, 4 of channels).
b0=$((16#${asc[0]})) b1=$((16#${asc[1]}))
object=$((b0 >> 3)) rate=$(((b0 & 7) << 1 | b1 >> 7)) channels=$(((b1 >> 3) & 15))
adts() {
  local length=$(($1 + 7))
  printf '\\x%02x' 0xff 0xf1 $(((object - 1) << 6 | rate << 2 | channels >> 2)) \
    $(((channels & 3) << 6 | length >> 11)) $(((length >> 3) & 0xff)) $(((length & 7) << 5 | 0x1f)) 0xfc
}
frame() {  # the bytes of one frame, after its ADTS header
  local -n bytes=$1
  printf '%b' "$(adts "${#bytes[@]}")"
  printf '%b' "$(printf '\\x%s' "${bytes[@]}")"
}

stream=$work/frames.aac
: >"$stream"
for n in 0 1 2 3 4 5 6 7 8 9; do
  if [ "$n" = 5 ]; then frame loud >>"$stream"; else frame silent >>"$stream"; fi
done

info=$(ffprobe -v error -show_entries stream=codec_name,profile,sample_rate,channels -of default=nw=1 "$stream")
for expected in codec_name=aac profile=LC sample_rate=48000 channels=2; do
  grep -qx "$expected" <<<"$info" || fail "stream: expected $expected in: $info"
done
errors=$(ffmpeg -v error -err_detect explode -i "$stream" -f s16le -y "$work/frames.pcm" 2>&1)
[ -z "$errors" ] || fail "ffmpeg: $errors"
# One line for each 1024 stereo samples; the numbers of those that are not all zero.
blocks=$(od -An -v -tx1 -w4096 "$work/frames.pcm" | wc -l)
[ "$blocks" = 10 ] || fail "decoded $blocks blocks of 1024 samples, expected 10"
sounding=$(od -An -v -tx1 -w4096 "$work/frames.pcm" | grep -nv '^\( 00\)*$' | cut -d: -f1 | tr '\n' ' ')
[ "$sounding" = "6 7 " ] || fail "blocks that are not silent: '$sounding', expected '6 7 ' (the loud frame's)"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
