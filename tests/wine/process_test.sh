#!/usr/bin/env bash
# vistrel.exe end to end under Wine: started by vistrel-host.exe (the real named block and event,
# CreateProcessW, the Win32 file calls), on Wine's own media framework (mfplat.dll) with the test
# encoders of vistrel-test-encoders.dll registered in the prefix as hardware encoders, and every MP4
# it writes read back here with ffprobe and ffmpeg.
#
#   process_test.sh stream      records the replayed streams: the host's test picture, frames 0 to
#                               STREAM_FRAMES-1, encoded by libx264 into $ENCODERS/vistrel-replay.h264
#                               (1280x720, a keyframe every 30), and one for each other picture size
#                               and keyframe spacing the cases use (vistrel-replay-WxH-gN.h264)
#   process_test.sh register    registers the test encoders in the prefix (regsvr32) and checks the
#                               registry holds them the way hardware encoders are registered
#   process_test.sh unregister  takes the registration out again
#   process_test.sh faults      command line, probe, no encoder, faulty blocks, encoders breaking down
#   process_test.sh runs        clips, recordings, folder rules, the host's end, a game calling
#                               the host library from C
#   process_test.sh matrix      the main job on each encoder personality
#   process_test.sh recovery    a recording cut by ending vistrel.exe, recovered by the next start
#   process_test.sh sizes       version 3 blocks: the game's own picture size, frame rate and NV12
#   process_test.sh sound       the game's sound through the test AAC encoder: clicks in sync in a
#                               clip and a recording; no AAC encoder, and one breaking down mid-run
#
# Environment (set by ctest): BIN (vistrel.exe, vistrel-host.exe, vistrel-test-helper.exe,
# vistrel_host.dll, host_c_run.exe),
# ENCODERS (vistrel-test-encoders.dll and the stream), WORK (a scratch folder), WINEPREFIX and a
# running wineserver.
set -uo pipefail
: "${BIN:?}" "${ENCODERS:?}" "${WORK:?}"
export WINEDEBUG=-all

STREAM_FRAMES=150  # five groups of 30: the replay loops from an IDR to an IDR
stream=$ENCODERS/vistrel-replay.h264
# The streams of the other sizes: size, keyframe spacing, frame rate, frames (whole groups).
other_streams=(
  "1920x1080 60 60 120"
  "640x360 30 30 60"
)
# What check_video expects of a file: the picture size, and the length of the stream replayed
# (frame numbers go round it); set by a case that runs at another size.
video_size=1280x720
loop_frames=$STREAM_FRAMES
encoders_dll=$ENCODERS/vistrel-test-encoders.dll
helper=$BIN/vistrel-test-helper.exe
failures=0

# The test encoders (tests/wine/test_encoders.cpp), in the order of their CLSIDs, which is the order
# in which the framework lists them: name and CLSID.
personalities=(
  "refuses-output-type 1B4E6F20-7C3A-4D52-9A61-3E0F5C2D8101"
  "async-requests 2B4E6F20-7C3A-4D52-9A61-3E0F5C2D8102"
  "async-padded 3B4E6F20-7C3A-4D52-9A61-3E0F5C2D8103"
  "sync 4B4E6F20-7C3A-4D52-9A61-3E0F5C2D8104"
  "codec-api 5B4E6F20-7C3A-4D52-9A61-3E0F5C2D8105"
)
# Beside them, the test AAC encoders (tests/wine/test_audio_encoder.h), the refusing one first.
aac_personalities=(
  "aac-refuses-output-type 7C1D5E40-3A6B-4F27-B194-6E2A0C7D5100"
  "aac 8C1D5E40-3A6B-4F27-B194-6E2A0C7D5101"
)
audio_category=91c64bd0-f91e-4d8c-9276-db248279d975
# The refusing encoder's answer to the output type: MF_E_INVALIDMEDIATYPE.
refused_line="SetOutputType failed 0xC00D36B4"

fail() {
  echo "FAIL [$case_name]: $*"
  failures=$((failures + 1))
}
expect_eq() {  # what actual expected
  [ "$2" = "$3" ] || fail "$1: expected '$3', got '$2'"
}
expect_in() {  # what needle haystack
  case "$3" in *"$2"*) ;; *) fail "$1: '$2' not in output:"$'\n'"$3" ;; esac
}

# The Windows form of a path (Wine's Z: drive is /).
winpath() { local p=$1; echo "Z:${p//\//\\}"; }

# A case: a fresh folder with its own copies of the executables (vistrel.log is written beside
# vistrel.exe), every test encoder present and none of their switches set. A case exports the
# switches it wants after this.
setup() {
  case_name=$1
  case_dir=$WORK/$1
  rm -rf "$case_dir"
  mkdir -p "$case_dir/bin" "$case_dir/out"
  cp "$BIN/vistrel.exe" "$BIN/vistrel-host.exe" "$case_dir/bin/"
  out=$case_dir/out
  log=$case_dir/bin/vistrel.log
  unset VISTREL_TEST_ENCODERS VISTREL_MEDIAFW_REPLAY VISTREL_MEDIAFW_FAIL VISTREL_MEDIAFW_TYPE_CHANGE \
    VISTREL_MEDIAFW_CODECAPI_RECORD VISTREL_MEDIAFW_INPUT_REQUESTS VISTREL_MEDIAFW_REFUSE_EVERY \
    VISTREL_TEST_AAC_FAIL_AFTER
  video_size=1280x720
  loop_frames=$STREAM_FRAMES
  run_phase=
}

vistrel() { (cd "$case_dir" && wine "$case_dir/bin/vistrel.exe" "$@" </dev/null >/dev/null 2>&1); echo $?; }

# Runs vistrel-host.exe; sets host_output and host_code. A host whose vistrel stops taking frames
# would feed the fast clock for ever: 124 after two minutes.
host() {
  host_output=$(cd "$case_dir" && timeout -k 10 120 wine "$case_dir/bin/vistrel-host.exe" \
                --out "$(winpath "${host_out:-$out}")" "$@" </dev/null 2>&1)
  host_code=$?
}

# The log's messages, without their time stamps. Every line must be a time stamp "hh:mm:ss.mmm",
# two spaces and the message, ending in CR LF.
log_messages() {
  if [ ! -f "$log" ]; then
    fail "no vistrel.log"
    return
  fi
  if LC_ALL=C grep -avqE $'^[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3}  [^\r]*\r$' "$log"; then
    fail "a log line that is not 'hh:mm:ss.mmm  message' CR LF: $(LC_ALL=C grep -avE $'^[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3}  [^\r]*\r$' "$log" | head -1 | od -c | head -3)"
  fi
  [ "$(tail -c 2 "$log" | od -An -tx1 | tr -d ' \n')" = 0d0a ] || fail "the log does not end in CR LF"
  LC_ALL=C sed -e 's/\r$//' -e 's/^.\{14\}//' "$log"
}
expect_logged() {  # exact message
  log_messages | grep -qxF -- "$1" || fail "not logged: '$1'"$'\n'"$(log_messages)"
}
expect_logged_like() {  # extended regular expression for a whole message
  log_messages | grep -qxE -- "$1" || fail "nothing logged like '$1'"$'\n'"$(log_messages)"
}
expect_not_logged() {
  if log_messages | grep -qxF -- "$1"; then fail "logged: '$1'"; fi
}

files() {  # the names in the output folder matching a shell pattern, sorted
  (cd "$out" && for f in $1; do [ -e "$f" ] && echo "$f"; done) | sort
}

# Reads a file's frame numbers back: decoded on this side, the top band (a ninth of the height)
# cropped, read by the helper. Prints one number (or "-") per decoded frame.
frame_numbers() {
  local errors=$WORK/$case_name.decode-errors
  local width=${video_size%x*} height=${video_size#*x}
  ffmpeg -nostdin -v error -i "$1" -fps_mode passthrough -vf "crop=$width:$((height / 9)):0:0" -f rawvideo \
    -pix_fmt gray - 2>"$errors" | wine "$helper" numbers "$video_size" | tr -d '\r'
  [ ! -s "$errors" ] || fail "$(basename "$1") does not decode cleanly: $(head -3 "$errors")"
}

# Checks one MP4: H.264 Main of video_size that ffprobe reads without error, every frame numbered,
# each number the one after the last (modulo the stream's length: the replay loops). Sets numbers.
check_video() {
  local f=$1 name
  name=$(basename "$f")
  numbers=
  if [ ! -f "$f" ]; then
    fail "no file to check: $f"
    return 1
  fi
  local probe
  probe=$(ffprobe -v error -count_frames -select_streams v:0 \
          -show_entries stream=codec_name,profile,width,height,nb_read_frames -of default=nw=1 "$f" 2>&1)
  expect_in "$name codec" "codec_name=h264" "$probe"
  expect_in "$name profile" "profile=Main" "$probe"
  expect_in "$name size" "width=${video_size%x*}"$'\n'"height=${video_size#*x}" "$probe"
  if grep -qiE 'error|invalid' <<<"$probe"; then fail "$name: ffprobe reports: $probe"; fi
  numbers=$(frame_numbers "$f")
  local read_frames
  read_frames=$(sed -n 's/^nb_read_frames=//p' <<<"$probe")
  expect_eq "$name frames decoded" "$(grep -c . <<<"$numbers")" "$read_frames"
  if ! awk -v n="$loop_frames" '$1 == "-" { bad = 1 } NR > 1 && $1 != (prev + 1) % n { bad = 1 } { prev = $1 }
                                   END { exit bad ? 1 : 0 }' <<<"$numbers"; then
    fail "$name: frame numbers not consecutive: $(tr '\n' ' ' <<<"$numbers" | head -c 600)"
  fi
}
first_number() { head -1 <<<"$numbers"; }
frame_count() { grep -c . <<<"$numbers"; }

# --- the replayed stream -------------------------------------------------------------------------

# One stream: size, keyframe spacing, frame rate, frames, file.
record_one_stream() {
  local size=$1 gop=$2 rate=$3 frames=$4 file=$5
  wine "$helper" frames "$frames" "$size" </dev/null 2>/dev/null |
    ffmpeg -nostdin -v error -f rawvideo -pix_fmt bgra -s "$size" -r "$rate" -i - -pix_fmt yuv420p \
      -c:v libx264 -preset veryfast -profile:v main -g "$gop" -bf 0 \
      -x264-params "repeat-headers=1:keyint=$gop:min-keyint=$gop:scenecut=0" -f h264 -y "$file.part" ||
    fail "recording $file"
  mv -f "$file.part" "$file"
  # Every picture of the test picture is in it, in order, at its size.
  video_size=$size
  numbers=$(frame_numbers "$file")
  expect_eq "$size stream frames" "$(frame_count)" "$frames"
  expect_eq "$size stream first frame" "$(first_number)" 0
  expect_eq "$size stream last frame" "$(tail -1 <<<"$numbers")" $((frames - 1))
  expect_eq "$size stream size" "$(ffprobe -v error -select_streams v:0 -show_entries stream=width,height \
    -of csv=p=0:s=x "$file")" "$size"
}

record_stream() {
  case_name=stream
  mkdir -p "$ENCODERS" "$WORK"
  record_one_stream 1280x720 30 30 "$STREAM_FRAMES" "$stream"
  local entry size gop rate frames
  for entry in "${other_streams[@]}"; do
    read -r size gop rate frames <<<"$entry"
    record_one_stream "$size" "$gop" "$rate" "$frames" "$ENCODERS/vistrel-replay-$size-g$gop.h264"
  done
}

# --- the registration ----------------------------------------------------------------------------

reg_query() { wine reg query "$1" </dev/null 2>/dev/null | tr -d '\r'; }
reg_exists() { wine reg query "$1" </dev/null >/dev/null 2>&1; }

# regsvr32 runs DllRegisterServer. Each encoder is then a COM in-process server of this library
# (ThreadingModel Both, or COM would not make it for vistrel's multithreaded apartment) and a
# hardware transform (MFTFlags 4) from video NV12 to video H.264 in the video encoder category, its
# keys there named by the CLSID without braces: what the framework's enumeration looks for.
register_encoders() {
  case_name=register
  local dll_win
  dll_win=$(winpath "$encoders_dll")
  wine regsvr32 /s "$dll_win" </dev/null >/dev/null 2>&1 || fail "regsvr32 $dll_win failed"
  local video=7669647300001000800000AA00389B71 nv12=4E56313200001000800000AA00389B71
  local h264=4832363400001000800000AA00389B71
  local entry name clsid lower server transform
  for entry in "${personalities[@]}"; do
    read -r name clsid <<<"$entry"
    lower=${clsid,,}
    server=$(reg_query "HKCR\\CLSID\\{$clsid}\\InprocServer32")
    expect_in "$name: in-process server" "(Default)    REG_SZ    $dll_win" "$server"
    expect_in "$name: threading model" "ThreadingModel    REG_SZ    Both" "$server"
    transform=$(reg_query "HKCR\\MediaFoundation\\Transforms\\$lower")
    expect_in "$name: hardware flag" "MFTFlags    REG_DWORD    0x4" "$transform"
    expect_in "$name: input types" "InputTypes    REG_BINARY    $video$nv12" "$transform"
    expect_in "$name: output types" "OutputTypes    REG_BINARY    $video$h264" "$transform"
  done
  # The category lists them in the order of their CLSIDs, the refusing one first.
  local listed
  listed=$(reg_query "HKCR\\MediaFoundation\\Transforms\\Categories\\f79eac7d-e545-4387-bdee-d647d7bde42a" |
           sed -n 's/.*\\\([0-9a-f-]*\)$/\1/p' | grep -xE "[0-9a-f]{8}-7c3a-4d52-9a61-3e0f5c2d810[0-9]")
  local expected=
  for entry in "${personalities[@]}"; do
    read -r name clsid <<<"$entry"
    expected+="${clsid,,}"$'\n'
  done
  expect_eq "listed in the video encoder category, in order" "$listed" "${expected%$'\n'}"
  # The AAC encoders: software transforms (no MFTFlags: synchronous) from audio PCM to audio AAC
  # in the audio encoder category.
  local audio=6175647300001000800000AA00389B71 pcm=0100000000001000800000AA00389B71
  local aac=1016000000001000800000AA00389B71
  for entry in "${aac_personalities[@]}"; do
    read -r name clsid <<<"$entry"
    lower=${clsid,,}
    server=$(reg_query "HKCR\\CLSID\\{$clsid}\\InprocServer32")
    expect_in "$name: in-process server" "(Default)    REG_SZ    $dll_win" "$server"
    expect_in "$name: threading model" "ThreadingModel    REG_SZ    Both" "$server"
    transform=$(reg_query "HKCR\\MediaFoundation\\Transforms\\$lower")
    expect_in "$name: input types" "InputTypes    REG_BINARY    $audio$pcm" "$transform"
    expect_in "$name: output types" "OutputTypes    REG_BINARY    $audio$aac" "$transform"
    case $transform in *MFTFlags*) fail "$name: flags registered: $transform" ;; esac
    reg_exists "HKCR\\MediaFoundation\\Transforms\\Categories\\$audio_category\\$lower" ||
      fail "$name: not listed in the audio encoder category"
  done
}

unregister_encoders() {
  case_name=unregister
  wine regsvr32 /u /s "$(winpath "$encoders_dll")" </dev/null >/dev/null 2>&1 || fail "regsvr32 /u failed"
  local entry name clsid
  for entry in "${personalities[@]}"; do
    read -r name clsid <<<"$entry"
    ! reg_exists "HKCR\\CLSID\\{$clsid}" || fail "$name: its CLSID key is still there"
    ! reg_exists "HKCR\\MediaFoundation\\Transforms\\${clsid,,}" || fail "$name: its transform key is still there"
    ! reg_exists "HKCR\\MediaFoundation\\Transforms\\Categories\\f79eac7d-e545-4387-bdee-d647d7bde42a\\${clsid,,}" ||
      fail "$name: still listed in the video encoder category"
  done
  for entry in "${aac_personalities[@]}"; do
    read -r name clsid <<<"$entry"
    ! reg_exists "HKCR\\CLSID\\{$clsid}" || fail "$name: its CLSID key is still there"
    ! reg_exists "HKCR\\MediaFoundation\\Transforms\\Categories\\$audio_category\\${clsid,,}" ||
      fail "$name: still listed in the audio encoder category"
  done
}

# --- faults --------------------------------------------------------------------------------------

case_command_line() {
  setup command-line
  expect_eq "no arguments" "$(vistrel)" 4
  expect_eq "--PROBE" "$(vistrel --PROBE)" 4
  expect_eq "unknown argument" "$(vistrel --record)" 4
  expect_eq "--run without a pid" "$(vistrel --run)" 4
  expect_eq "--run with a text" "$(vistrel --run abc)" 4
  expect_eq "--run with a pid too large" "$(vistrel --run 4000000000)" 4
  expect_eq "--run with a pid of no process" "$(vistrel --run 4000000)" 4
  [ ! -e "$log" ] || fail "a log without a block that asks for one"
}

# The probe goes down the framework's list: past the refusing encoder, and past encoders whose
# device is missing (they fail to activate) or that fail when streaming begins.
case_probe() {
  setup probe
  expect_eq "probe, every encoder present" "$(vistrel --probe)" 0
  expect_eq "probe ignores what follows" "$(vistrel --probe --anything)" 0
  expect_eq "probe, the synchronous one last" "$(VISTREL_TEST_ENCODERS=refuses-output-type,sync vistrel --probe)" 0
  expect_eq "probe, only the refusing one" "$(VISTREL_TEST_ENCODERS=refuses-output-type vistrel --probe)" 3
  expect_eq "probe, none present" "$(VISTREL_TEST_ENCODERS=none vistrel --probe)" 3
  expect_eq "probe, encoders that fail to start" \
    "$(VISTREL_MEDIAFW_REPLAY="$(winpath "$WORK/missing.h264")" vistrel --probe)" 3
  [ ! -e "$log" ] || fail "the probe wrote a log"
}

# Wine 8.0 gives the activation objects it makes from the registry no MFT_FRIENDLY_NAME_Attribute,
# so no "encoder %u: %s" line appears here (on Windows one does for each encoder tried).
case_no_encoder() {
  setup no-encoder
  export VISTREL_TEST_ENCODERS=none
  host --log --duration 1
  expect_eq "exit code without an encoder" "$host_code" 3
  expect_in "status without an encoder" "status: 2" "$host_output"
  expect_eq "log without an encoder" "$(log_messages)" "no working hardware encoder"
  [ -z "$(files '*')" ] || fail "files written without an encoder: $(files '*')"

  # Every encoder listed, none working: the refusing one says why; the others are dropped without
  # a word when streaming does not begin.
  setup encoder-fails-to-start
  export VISTREL_MEDIAFW_REPLAY
  VISTREL_MEDIAFW_REPLAY=$(winpath "$WORK/missing.h264")
  host --log --duration 1
  expect_eq "exit code with failing encoders" "$host_code" 3
  expect_in "status with failing encoders" "status: 2" "$host_output"
  expect_eq "log with failing encoders" "$(log_messages)" "$refused_line"$'\n'"no working hardware encoder"
}

# Blocks a host could get wrong, from a host of the helper's own.
case_bad_blocks() {
  setup bad-blocks
  local result kind
  # The last two: version 3 blocks outside the limits (a frame rate above 240, a stride shorter
  # than the row), refused as a version 2 block that does not match.
  for kind in version short no-event rate stride; do
    result=$(cd "$case_dir" && wine "$helper" fault "$kind" "$(winpath "$case_dir/bin/vistrel.exe")" </dev/null 2>&1)
    expect_eq "$kind: helper exit code (vistrel's, block untouched)" "$?" 4
    expect_in "$kind: vistrel's exit code" "vistrel exit code: 4" "$result"
    expect_in "$kind: block" "block unchanged" "$result"
  done
  [ ! -e "$log" ] || fail "a log before the block was accepted"
}

# An encoder that breaks down after 60 frames, as one does when its device is lost: the run ends
# with status 2 and exit code 4, says why, and keeps the recording made until then, whole.
case_breakdown() {  # personality VISTREL_MEDIAFW_FAIL line
  setup "breakdown-$1-${2%%:*}"
  export VISTREL_TEST_ENCODERS=$1 VISTREL_MEDIAFW_FAIL=$2
  host --log --fast --record --duration 6
  expect_eq "exit code" "$host_code" 4
  expect_in "status" "status: 2" "$host_output"
  expect_logged "$3"
  local closed recs
  closed=$(log_messages | tail -1 | sed -n 's/^recording file closed: ok, \([0-9]*\) frames$/\1/p')
  [ -n "$closed" ] || fail "the last line is not the recording's close: $(log_messages | tail -1)"
  recs=$(files 'rec_*.mp4')
  expect_eq "one recording" "$(grep -c . <<<"$recs")" 1
  expect_eq "no temporary file left" "$(files '*.tmp')" ""
  if check_video "$out/$recs"; then
    expect_eq "recording starts at the first frame" "$(first_number)" 0
    expect_eq "recording holds what the log says" "$(frame_count)" "${closed:-?}"
    [ "$(frame_count)" -ge 50 ] && [ "$(frame_count)" -le 60 ] ||
      fail "the recording holds $(frame_count) frames, not those of the 60 taken"
  fi
}

# --- runs ----------------------------------------------------------------------------------------

# Async transform, recording on, a kill clip, and the folder rules at start and after each file:
# leftovers removed, except one that another process holds open; old files over the folder limits
# removed, the oldest clip passed over because another process holds it.
case_clips_and_recording() {
  setup clips-and-recording
  touch "$out/clip_20000101_000000_death.mp4.tmp" "$out/rec_20000101_000000.mp4.tmp" "$out/rec_20000101_000001.mp4.tmp"
  # Old files that fill each folder budget (sparse: they take no disk space).
  truncate -s 1G "$out/clip_19990101_000000_death.mp4"
  truncate -s 1536M "$out/clip_20000101_000000_death.mp4"
  truncate -s 20G "$out/rec_20000101_000000.mp4"
  touch -d 1999-01-01 "$out/clip_19990101_000000_death.mp4"
  touch -d 2000-01-01 "$out/clip_20000101_000000_death.mp4" "$out/rec_20000101_000000.mp4"
  local holder_output=$WORK/holder.out
  rm -f "$holder_output"  # a "held" left by an earlier run would be taken for this one's
  wine "$helper" hold 60 "$(winpath "$out/rec_20000101_000001.mp4.tmp")" "$(winpath "$out/clip_19990101_000000_death.mp4")" \
    </dev/null >"$holder_output" 2>&1 &
  local holder=$!
  for _ in $(seq 100); do grep -q held "$holder_output" 2>/dev/null && break; sleep 0.1; done
  grep -q held "$holder_output" || fail "the helper did not hold its files"

  # The save comes 2 s of real time after the request: the idle time lets it come before the stop.
  host --log --fast --record --duration 10 --request kill@3 --idle 3
  kill "$holder" 2>/dev/null
  wait "$holder" 2>/dev/null
  expect_eq "exit code" "$host_code" 0
  expect_in "status" "status: 1" "$host_output"
  local beats
  beats=$(sed -n 's/^heartbeat: \([0-9]*\) per second.*/\1/p' <<<"$host_output")
  [ "${beats:-0}" -gt 0 ] || fail "the heartbeat did not move: $host_output"

  # The framework lists the refusing encoder first: it is tried, and the next one taken (after the
  # lines about the leftover recordings).
  expect_eq "the encoder's log lines" "$(log_messages | grep -A1 -xF "$refused_line")" \
    "$refused_line"$'\n'"  using it: async, input height 720"
  expect_logged "request 2, saving in 2000 ms"
  expect_logged "stopped by the switch"
  expect_logged_like "recording file closed: ok, [0-9]+ frames"
  expect_logged_like "saved clip_[0-9]{8}_[0-9]{6}_kill\.mp4: ok, [0-9]+ frames, [0-9]+\.[0-9] s"
  local removed
  removed=$(log_messages | grep -cxF "removed an old file to stay under the folder limit")
  expect_eq "old files removed for the folder limits" "$removed" 2

  expect_eq "leftovers after the start" "$(files '*.tmp')" "rec_20000101_000001.mp4.tmp"
  [ ! -e "$out/clip_20000101_000000_death.mp4" ] || fail "the old clip over the limit is still there"
  [ -e "$out/clip_19990101_000000_death.mp4" ] || fail "the held clip is gone"
  [ ! -e "$out/rec_20000101_000000.mp4" ] || fail "the old recording over the limit is still there"

  local recs kills
  recs=$(files 'rec_*.mp4')
  kills=$(files 'clip_*_kill.mp4')
  expect_eq "one recording" "$(grep -c . <<<"$recs")" 1
  expect_eq "one kill clip" "$(grep -c . <<<"$kills")" 1
  grep -qxE 'rec_[0-9]{8}_[0-9]{6}\.mp4' <<<"$recs" || fail "recording name: $recs"
  grep -qxE 'clip_[0-9]{8}_[0-9]{6}_kill\.mp4' <<<"$kills" || fail "kill clip name: $kills"

  # The recording holds every frame from the first; the last few may still be on their way at the
  # stop.
  if check_video "$out/$recs"; then
    expect_eq "recording starts at the first frame" "$(first_number)" 0
    local n
    n=$(frame_count)
    [ "$n" -ge 280 ] && [ "$n" -le 300 ] || fail "recording of 300 frames holds $n"
  fi
  # A clip begins at a keyframe: 2 s after its request, it ends near frame 150.
  if check_video "$out/$kills"; then
    expect_eq "kill clip starts at a keyframe" "$(( $(first_number) % 30 ))" 0
  fi
}

# --- the personality matrix --------------------------------------------------------------------

# The main job on one encoder personality, listed after the refusing one (tried first, and
# refused): recording on, a death clip, the fast clock. Every frame taken comes out, in order, into
# the recording, and the clip holds what its log line says, from a keyframe.
case_personality() {  # personality "using it" line, then switches (NAME=VALUE) for the encoders
  local personality=$1 using=$2
  shift 2
  setup "personality-$personality${1:+-${1%%=*}}"
  export VISTREL_TEST_ENCODERS=refuses-output-type,$personality
  local switch
  for switch in "$@"; do export "${switch?}"; done
  host --log --fast --record --duration 4 --request death@1 --idle 3
  expect_eq "exit code" "$host_code" 0
  expect_in "status" "status: 1" "$host_output"
  expect_eq "the first two log lines" "$(log_messages | head -2)" "$refused_line"$'\n'"$using"
  local taken
  taken=$(sed -n 's/^frames: \([0-9]*\) offered, \([0-9]*\) taken.*/\2/p' <<<"$host_output" | tr -d '\r')
  expect_in "every frame taken" "frames: 120 offered, 120 taken" "$host_output"

  local recs deaths closed saved
  recs=$(files 'rec_*.mp4')
  deaths=$(files 'clip_*_death.mp4')
  expect_eq "one recording" "$(grep -c . <<<"$recs")" 1
  expect_eq "one death clip" "$(grep -c . <<<"$deaths")" 1
  closed=$(log_messages | sed -n 's/^recording file closed: ok, \([0-9]*\) frames$/\1/p')
  saved=$(log_messages | sed -n 's/^saved clip_[0-9]\{8\}_[0-9]\{6\}_death\.mp4: ok, \([0-9]*\) frames, [0-9.]* s$/\1/p')
  if check_video "$out/$recs"; then
    expect_eq "recording starts at the first frame" "$(first_number)" 0
    expect_eq "recording holds every frame taken" "$(frame_count)" "${taken:-?}"
    expect_eq "recording holds what the log says" "$(frame_count)" "${closed:-?}"
  fi
  if check_video "$out/$deaths"; then
    expect_eq "death clip starts at a keyframe" "$(( $(first_number) % 30 ))" 0
    expect_eq "death clip holds what the log says" "$(frame_count)" "${saved:-?}"
  fi
}

case_matrix() {
  # Asynchronous, several input requests outstanding, output samples of its own.
  case_personality async-requests "  using it: async, input height 720"
  expect_not_logged "encoder changed its output type"
  # Asynchronous, padded input, the caller's output samples, a type change before the first output.
  case_personality async-padded "  using it: async, input height 736"
  expect_eq "type changes" "$(log_messages | grep -cxF "encoder changed its output type")" 1
  # Synchronous, without and with a type change.
  case_personality sync "  using it: sync, input height 720"
  expect_not_logged "encoder changed its output type"
  case_personality sync "  using it: sync, input height 720" VISTREL_MEDIAFW_TYPE_CHANGE=1
  expect_eq "type changes" "$(log_messages | grep -cxF "encoder changed its output type")" 1
  # The codec properties reached the encoder: constant bit rate, 8,000,000 bit/s, a group of 30, no
  # B-frames, low latency, in that order and nothing else.
  local record=$WORK/codec-api.txt
  rm -f "$record"
  case_personality codec-api "  using it: async, input height 720" \
    VISTREL_MEDIAFW_CODECAPI_RECORD="$(winpath "$record")"
  expect_eq "codec properties given" "$(tr -d '\r' <"$record" 2>/dev/null)" "AVEncCommonRateControlMode VT_UI4 0
AVEncCommonMeanBitRate VT_UI4 8000000
AVEncMPVGOPSize VT_UI4 30
AVEncMPVDefaultBPictureCount VT_UI4 0
AVLowLatencyMode VT_BOOL true"
}

# The frame step against an encoder that asks for several frames at once (the asynchronous
# personality) or one at a time (the synchronous one) and refuses one now and then, as hardware
# encoders do: every frame offered is taken and recorded once.
case_encoder_protocol() {  # personality, then every how many inputs one is refused
  setup "protocol-$1"
  export VISTREL_TEST_ENCODERS=$1 VISTREL_MEDIAFW_REFUSE_EVERY=$2
  host --log --fast --record --duration 4 --idle 2
  expect_eq "exit code" "$host_code" 0
  expect_in "frames" "frames: 120 offered, 120 taken" "$host_output"
  local recs
  recs=$(files 'rec_*.mp4')
  expect_eq "one recording" "$(grep -c . <<<"$recs")" 1
  if check_video "$out/$recs"; then
    expect_eq "recording starts at the first frame" "$(first_number)" 0
    expect_eq "frames recorded" "$(frame_count)" 120
  fi
}

# The host ends abruptly: the watcher closes the recording into a whole file and ends with 0. A key
# clip on the way is saved at once.
case_host_ends() {
  setup host-ends
  host --log --fast --record --duration 20 --request key@2 --die-at 4
  expect_eq "exit code" "$host_code" 0
  expect_in "host's end" "host ended abruptly" "$host_output"
  expect_not_logged "stopped by the switch"
  expect_logged_like "recording file closed: ok, [0-9]+ frames"
  local recs
  recs=$(files 'rec_*.mp4')
  expect_eq "one recording" "$(grep -c . <<<"$recs")" 1
  expect_eq "no temporary file left" "$(files '*.tmp')" ""
  if check_video "$out/$recs"; then
    expect_eq "recording starts at the first frame" "$(first_number)" 0
    [ "$(frame_count)" -ge 30 ] || fail "the recording holds less than a keyframe group: $(frame_count)"
  fi
  expect_logged "request 3, saving in 0 ms"
  local keys
  keys=$(files 'clip_*_key.mp4')
  expect_eq "one key clip" "$(grep -c . <<<"$keys")" 1
  if check_video "$out/$keys"; then
    expect_eq "key clip starts at a keyframe" "$(( $(first_number) % 30 ))" 0
  fi
}

# A game that links the host library (vistrel_host.dll) and calls it from C: host_c_run.exe beside
# the DLL and vistrel.exe, as a game's folder holds them, starting vistrel without a path. The key
# clip it asks for holds the frames it handed over, from the first.
case_host_library() {
  setup host-library
  cp "$BIN/vistrel_host.dll" "$BIN/host_c_run.exe" "$case_dir/bin/"
  local run_output run_code
  run_output=$(cd "$case_dir" && timeout -k 10 120 wine "$case_dir/bin/host_c_run.exe" --log \
               "$(winpath "$out")" 1280 720 90 </dev/null 2>&1)
  run_code=$?
  expect_eq "host_c_run exit code" "$run_code" 0
  expect_in "host_c_run" "vistrel exit code 0, 90 frames taken" "$run_output"
  expect_logged "stopped by the switch"
  local keys saved
  keys=$(files 'clip_*_key.mp4')
  [ -n "$keys" ] || fail "no key clip"
  saved=$(log_messages | sed -n 's/^saved clip_[0-9]\{8\}_[0-9]\{6\}_key\.mp4: ok, \([0-9]*\) frames, [0-9.]* s$/\1/p' | head -1)
  if check_video "$out/$(head -1 <<<"$keys")"; then
    expect_eq "key clip starts at the first frame" "$(first_number)" 0
    expect_eq "key clip holds what the log says" "$(frame_count)" "${saved:-?}"
  fi
}

# An output folder that cannot be created (a file stands in its path): nothing is written, the run
# goes on and stops as asked.
case_folder_cannot_be_made() {
  setup folder-cannot-be-made
  echo x >"$case_dir/file"
  host_out=$case_dir/file/out host --log --fast --record --duration 3 --request key@1
  expect_eq "exit code" "$host_code" 0
  expect_in "status" "status: 1" "$host_output"
  expect_logged "stopped by the switch"
  expect_logged_like "saved clip_[0-9]{8}_[0-9]{6}_key\.mp4: FAILED, [0-9]+ frames, [0-9]+\.[0-9] s"
}

# --- recovery ------------------------------------------------------------------------------------

# vistrel.exe ended by TerminateProcess in the middle of a recording, as a crash ends it: the file
# and its journal stay behind, and the next start rebuilds the recording from its first frame,
# losing at most its last second.
case_killed_recording() {
  setup killed-recording
  local result
  result=$(cd "$case_dir" && wine "$helper" kill-recording 120 "$(winpath "$case_dir/bin/vistrel.exe")" "$(winpath "$out")" \
           </dev/null 2>&1)
  expect_eq "helper exit code" "$?" 0
  expect_in "frames fed" "fed 120" "$result"
  expect_eq "recording files left" "$(files 'rec_*.mp4.tmp' | grep -vc journal)" 1
  expect_eq "journals left" "$(files 'rec_*.journal.mp4.tmp' | grep -c .)" 1
  expect_eq "no final recording yet" "$(files 'rec_*.mp4')" ""
  local leftover
  leftover=$(files 'rec_*.mp4.tmp' | grep -v journal)

  # The next start (recording off, stopped after a second) recovers it; the stop waits for that.
  host --log --fast --duration 1
  expect_eq "exit code of the next start" "$host_code" 0
  expect_eq "no temporary file left" "$(files '*.tmp')" ""
  local recovered="${leftover%.tmp}"
  expect_eq "the recording under its final name" "$(files 'rec_*.mp4')" "$recovered"
  local line
  line=$(log_messages | grep -E "^recovered ")
  expect_eq "the recovery's line" "$(sed -E 's/: [0-9]+ frames$//' <<<"$line")" "recovered $recovered"
  if check_video "$out/$recovered"; then
    expect_eq "recording starts at the first frame" "$(first_number)" 0
    expect_eq "frames as logged" "recovered $recovered: $(frame_count) frames" "$line"
    [ "$(frame_count)" -ge 90 ] && [ "$(frame_count)" -le 120 ] ||
      fail "recovered $(frame_count) of the 120 frames fed: more than a second lost"
  fi
}

# --- the game's own picture size and rate (version 3 blocks) ----------------------------------

# The main job at another size and rate: recording on, a death clip, the fast clock, the encoder
# given replaying the stream recorded at that size. Every frame taken comes out, in order, at the
# block's size and rate, into the recording; the clip holds what its log line says, from a keyframe.
case_stream() {  # name personality "using it" line [NAME=VALUE switches...] -- the host's stream options
  local name=$1 personality=$2 using=$3
  shift 3
  setup "stream-$name"
  export VISTREL_TEST_ENCODERS=refuses-output-type,$personality
  while [ "$#" -gt 0 ] && [ "$1" != -- ]; do
    export "${1?}"
    shift
  done
  shift
  local size=1280x720 fps=30 gop frames_expected
  local args=("$@") i
  for ((i = 0; i < ${#args[@]}; i++)); do
    case ${args[i]} in
      --size) size=${args[i + 1]} ;;
      --fps) fps=${args[i + 1]} ;;
    esac
  done
  gop=$fps
  video_size=$size
  local entry s g r f
  for entry in "1280x720 30 30 $STREAM_FRAMES" "${other_streams[@]}"; do
    read -r s g r f <<<"$entry"
    if [ "$s" = "$size" ] && [ "$g" = "$gop" ]; then loop_frames=$f; fi
  done
  frames_expected=$((4 * fps))
  host --log --fast --record --duration 4 --request death@1 --idle 3 "$@"
  expect_eq "exit code" "$host_code" 0
  expect_in "status" "status: 1" "$host_output"
  expect_eq "the first two log lines" "$(log_messages | head -2)" "$refused_line"$'\n'"$using"
  expect_in "every frame taken" "frames: $frames_expected offered, $frames_expected taken" "$host_output"

  local recs deaths closed saved rates
  recs=$(files 'rec_*.mp4')
  deaths=$(files 'clip_*_death.mp4')
  expect_eq "one recording" "$(grep -c . <<<"$recs")" 1
  expect_eq "one death clip" "$(grep -c . <<<"$deaths")" 1
  closed=$(log_messages | sed -n 's/^recording file closed: ok, \([0-9]*\) frames$/\1/p')
  saved=$(log_messages | sed -n 's/^saved clip_[0-9]\{8\}_[0-9]\{6\}_death\.mp4: ok, \([0-9]*\) frames, [0-9.]* s$/\1/p')
  if check_video "$out/$recs"; then
    expect_eq "recording starts at the first frame" "$(first_number)" 0
    expect_eq "recording holds every frame" "$(frame_count)" "$frames_expected"
    expect_eq "recording holds what the log says" "$(frame_count)" "${closed:-?}"
  fi
  if check_video "$out/$deaths"; then
    expect_eq "death clip starts at a keyframe" "$(( $(first_number) % gop ))" 0
    expect_eq "death clip holds what the log says" "$(frame_count)" "${saved:-?}"
  fi
  # The rate, in the recording and in the clip: the frames' own, and the mean over the file (the
  # host's time stamps are whole 100 ns ticks, so single frames lie a 90 kHz tick either side).
  local f
  for f in "$out/$recs" "$out/$deaths"; do
    [ -f "$f" ] || continue
    rates=$(ffprobe -v error -select_streams v:0 -show_entries stream=r_frame_rate,avg_frame_rate -of default=nw=1 "$f")
    expect_in "$(basename "$f") rate" "r_frame_rate=$fps/1" "$rates"
    awk -F'[=/]' -v fps="$fps" '$1 == "avg_frame_rate" && $3 > 0 { r = $2 / $3; ok = r > fps * 0.999 && r < fps * 1.001 }
                               END { exit ok ? 0 : 1 }' <<<"$rates" ||
      fail "$(basename "$f"): mean frame rate not $fps: $rates"
  done
}

case_sizes() {
  # 1920x1080 at 60 in BGRA, on the encoder that writes down its codec properties: the bit rate
  # vistrel chooses for that pixel rate (8,000,000 x 4.5^0.75) and a group of one second.
  local record=$WORK/codec-api-1080p60.txt
  rm -f "$record"
  case_stream 1080p60 codec-api "  using it: async, input height 1080" \
    VISTREL_MEDIAFW_CODECAPI_RECORD="$(winpath "$record")" -- --size 1920x1080 --fps 60
  expect_eq "codec properties given" "$(tr -d '\r' <"$record" 2>/dev/null)" "AVEncCommonRateControlMode VT_UI4 0
AVEncCommonMeanBitRate VT_UI4 24717206
AVEncMPVGOPSize VT_UI4 60
AVEncMPVDefaultBPictureCount VT_UI4 0
AVLowLatencyMode VT_BOOL true"
  # 640x360 at 30, NV12 slots copied into the surfaces of the padded encoder (rows rounded up to
  # 32: 384).
  case_stream 360p-nv12 async-padded "  using it: async, input height 384" -- --size 640x360 --fps 30 --nv12
}

# --- the game's sound ---------------------------------------------------------------------------

# The test AAC encoder (test_audio_encoder.h) gives, for every 1024 samples it is handed, a loud
# frame when one of them is above its click level and a silent one otherwise; decoded, a silent
# frame is exact zeros and a loud one sounds over its own 1024 samples and the next 1024 (the
# window's overlap). So the decoded sound, cut at the frames' boundaries, is zero but for two
# blocks (three when the host's 2 ms click runs over a boundary) from the block that holds each
# click. vistrel's own delay for the encoder (its priming) places the frames on the picture's
# clock: counted wrong by a frame, every click's sound starts a frame early or late.
#
# The click's sample is the first at or after its picture's time, so its block starts at most 1023
# samples before the picture's time and not after it: the offset (block start - picture) lies in
# [-1023, 0] samples, to within what the file's rounding adds: the picture's time rounded to the
# movie's 90 kHz (half a sample), the sound's placement in 100 ns and 90 kHz ticks (a sample) and the
# samples the edit list skips (a sample), under 4 samples in all. A sound shifted by a frame puts
# the offset a whole 1024 samples out.
sound_tolerance=4       # samples, either side of [-1024, 0]
worst_offset_ms=0       # over every file checked, for the run's last line

# Checks the sound of one MP4 whose pictures check_video has read (numbers): two streams, H.264
# and AAC-LC 48 kHz stereo; picture and sound decode with ffmpeg without a word; every loud stretch
# of the sound belongs to a picture whose number is a multiple of 30 (within 250 ms) and starts at
# the block that holds that picture's click; every such picture inside the sound's span has one;
# at least min_clicks (default 2) clicks heard.
check_sound() {
  local f=$1 min_clicks=${2:-2} name
  name=$(basename "$f")
  local probe
  probe=$(ffprobe -v error -show_entries stream=codec_type,codec_name,profile,sample_rate,channels -of csv=p=0 "$f" 2>&1)
  expect_eq "$name streams" "$probe" "h264,Main,video"$'\n'"aac,LC,audio,48000,2"
  local errors
  errors=$(ffmpeg -nostdin -v error -i "$f" -map 0 -f null - 2>&1)
  [ -z "$errors" ] || fail "$name does not decode cleanly: $(head -3 <<<"$errors")"

  # The frames' boundaries on the sound's time line (1/48000 s): the packets' times (the first, the
  # decoder's pre-roll, lies before the start). The decoded sound begins at start_pts; padded
  # with zeros back to the boundary before it, it is cut into whole frames' blocks.
  local start first pad
  start=$(ffprobe -v error -select_streams a:0 -show_entries stream=start_pts -of csv=p=0 "$f")
  first=$(ffprobe -v error -select_streams a:0 -show_entries packet=pts -of csv=p=0 -read_intervals %+#1 "$f" | head -1)
  first=${first%,}
  if ! [[ $start =~ ^-?[0-9]+$ && $first =~ ^-?[0-9]+$ ]]; then
    fail "$name: no start ('$start') or first packet time ('$first') of the sound"
    return
  fi
  pad=$(( ((start - first) % 1024 + 1024) % 1024 ))
  # One line per block: its number, and 1 when a sample in it is not zero.
  local blocks
  blocks=$( { head -c $((pad * 4)) /dev/zero
              ffmpeg -nostdin -v error -i "$f" -map 0:a:0 -f s16le -acodec pcm_s16le - 2>/dev/null; } |
            od -An -v -tx1 -w4096 | awk '{ print NR - 1, /[1-9a-f]/ ? 1 : 0 }')
  # The pictures whose number is a multiple of 30: time (s) and number, in order.
  local marked
  marked=$(paste -d' ' <(ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 "$f" | sort -g) \
                     <(echo "$numbers") | awk '$2 != "-" && $2 % 30 == 0')

  local result
  result=$( { sed 's/^/picture /' <<<"$marked"; sed 's/^/block /' <<<"$blocks"; } |
    awk -v base=$((start - pad)) -v start="$start" -v tol="$sound_tolerance" '
    BEGIN { n = 0; blocks = 0 }
    $1 == "picture" && NF == 3 { t[n] = $2 * 48000; frame[n] = $3; n++ }
    $1 == "block" && NF == 3 { loud[$2] = $3; blocks = $2 + 1 }
    END {
      end = base + blocks * 1024
      for (b = 0; b < blocks; b++) {
        if (!loud[b] || (b > 0 && loud[b - 1])) continue
        for (len = 0; b + len < blocks && loud[b + len]; len++) {}
        onset = base + b * 1024
        best = -1
        for (i = 0; i < n; i++) {
          d = onset - t[i]
          if (d < 0) d = -d
          if (d < 12000 && (best < 0 || d < bestd)) { best = i; bestd = d }
        }
        if (best < 0) { printf "FAIL sound from %.6f s belongs to no picture of a multiple of 30\n", onset / 48000; continue }
        off = onset - t[best]
        printf "click of frame %d at %.6f s: sound from %.6f s, %+.3f ms\n", frame[best], t[best] / 48000, onset / 48000, off / 48
        if (off <= -1024 - tol || off > tol)
          printf "FAIL the sound of frame %d starts %+.3f ms from its picture, not in the block of its click\n", frame[best], off / 48
        if (len != 2 && len != 3 && !(b + len == blocks && len == 1))
          printf "FAIL the sound of frame %d lasts %d blocks, not 2 or 3\n", frame[best], len
        if (used[best]++) printf "FAIL frame %d has two clicks\n", frame[best]
        worst = -off > worst ? -off : worst
        worst = off > worst ? off : worst
      }
      for (i = 0; i < n; i++)
        if (!used[i] && t[i] >= start + 1024 && t[i] < end - 2048)
          printf "FAIL frame %d at %.6f s has no click\n", frame[i], t[i] / 48000
      printf "worst %.3f\n", worst / 48
    }')
  echo "$name: $(grep -c '^click' <<<"$result") clicks, the sound from $start/48000 s"
  grep '^click' <<<"$result" | sed 's/^/  /'
  local line
  while IFS= read -r line; do fail "$name: ${line#FAIL }"; done < <(grep '^FAIL' <<<"$result")
  [ "$(grep -c '^click' <<<"$result")" -ge "$min_clicks" ] || fail "$name: fewer than $min_clicks clicks heard"
  # The frames of one run lie on one grid of 1024 samples on the host's clock, whichever file holds
  # them: the frames' boundaries of each file, taken to the host's clock by its first picture
  # (frame first_number of the host's 30 a second: 1600 samples a frame; the files here begin in
  # the replayed stream's first round), must agree with the
  # first file's to within the rounding. A file whose edit list cuts into its first frame by the
  # wrong count plays every click by that much too early or late, though still within its block.
  local v0 phase
  v0=$(ffprobe -v error -select_streams v:0 -show_entries stream=start_pts -of csv=p=0 "$f")
  if [[ $v0 =~ ^[0-9]+$ ]]; then
    # block 0's start in host samples: base (1/48000 s) less the first picture's time (1/90000 s)
    phase=$(( (((start - pad) * 15 - v0 * 8) / 15 + $(first_number) * 1600) % 1024 ))
    phase=$(( (phase + 1024) % 1024 ))
    echo "  frames' boundaries at $phase of 1024 samples on the host's clock"
    if [ -z "$run_phase" ]; then
      run_phase=$phase
    else
      local apart=$(( (phase - run_phase + 1024) % 1024 ))
      [ "$apart" -le "$sound_tolerance" ] || [ "$apart" -ge $((1024 - sound_tolerance)) ] ||
        fail "$name: its sound's frames lie $apart samples (of 1024) off those of the run's first file"
    fi
  else
    fail "$name: no start of the picture ('$v0')"
  fi
  local worst
  worst=$(sed -n 's/^worst //p' <<<"$result")
  worst_offset_ms=$(awk -v a="$worst_offset_ms" -v b="${worst:-0}" 'BEGIN { print (b > a ? b : a) }')
}

# The click track through the registered AAC encoder, the refusing one listed before it: a death
# clip of the whole run and a recording switched on at 2.5 s (from a keyframe after it, where the
# sound's frame began before the picture: the edit list skips into it) carry the sound in sync
# with their pictures, each second's click at another place in its block (a second is 46 7/8
# blocks), on a clock that is no multiple of the sound's rate.
case_sound_sync() {
  setup sound-sync
  export VISTREL_TEST_ENCODERS=refuses-output-type,sync,aac-refuses-output-type,aac
  host --log --fast --record-on 2.5 --duration 6 --request death@4 --idle 3 --audio tone \
    --clock-frequency 3579545 --clock-start 123456
  expect_eq "exit code" "$host_code" 0
  expect_in "status" "status: 1" "$host_output"
  expect_in "every frame taken" "frames: 180 offered, 180 taken" "$host_output"
  # Wine's activation objects carry no friendly name.
  expect_eq "the audio encoder's line" "$(log_messages | grep -E '^(no )?audio encoder')" "audio encoder: unnamed"
  local clips recs closed
  clips=$(files 'clip_*_death.mp4')
  recs=$(files 'rec_*.mp4')
  expect_eq "one death clip" "$(grep -c . <<<"$clips")" 1
  expect_eq "one recording" "$(grep -c . <<<"$recs")" 1
  if check_video "$out/$clips"; then
    expect_eq "death clip starts at the first frame" "$(first_number)" 0
    check_sound "$out/$clips"
  fi
  closed=$(log_messages | sed -n 's/^recording file closed: ok, \([0-9]*\) frames$/\1/p')
  if check_video "$out/$recs"; then
    [ "$(( $(first_number) % 30 ))" = 0 ] && [ "$(first_number)" -ge 90 ] ||
      fail "the recording starts at frame $(first_number), not at a keyframe after the switch"
    expect_eq "recording holds what the log says" "$(frame_count)" "${closed:-?}"
    check_sound "$out/$recs"
  fi
}

# The sound never costs the picture: without a working AAC encoder (the refusing one alone), or
# with one that breaks down mid-run, the run goes on as without sound, says so once, and its clip
# and recording hold every picture in order; a sound cut short by the breakdown is still in sync.
case_sound_faults() {
  local f
  setup sound-no-encoder
  export VISTREL_TEST_ENCODERS=refuses-output-type,sync,aac-refuses-output-type
  host --log --fast --record --duration 3 --request key@2 --idle 2 --audio tone
  expect_eq "exit code" "$host_code" 0
  expect_in "every frame taken" "frames: 90 offered, 90 taken" "$host_output"
  expect_eq "the audio encoder's line" "$(log_messages | grep -E '^(no )?audio encoder')" \
    "no audio encoder: the sound is not recorded"
  expect_eq "files" "$(files '*.mp4' | wc -l)" 2
  for f in $(files '*.mp4'); do
    check_video "$out/$f" && expect_eq "$f starts at the first frame" "$(first_number)" 0
    expect_eq "$f streams" "$(ffprobe -v error -show_entries stream=codec_type -of csv=p=0 "$out/$f")" video
  done
  check_video "$out/$(files 'rec_*.mp4')" && expect_eq "recording holds every frame" "$(frame_count)" 90

  # Failing after 20 inputs: within the run, as no input holds more than 4096 of its 144,000
  # samples; the sound until then may or may not make a file's track.
  setup sound-encoder-fails
  export VISTREL_TEST_ENCODERS=refuses-output-type,sync,aac-refuses-output-type,aac VISTREL_TEST_AAC_FAIL_AFTER=20
  host --log --fast --record --duration 3 --request key@2 --idle 2 --audio tone
  expect_eq "exit code" "$host_code" 0
  expect_in "every frame taken" "frames: 90 offered, 90 taken" "$host_output"
  expect_logged "audio encoder: unnamed"
  expect_eq "the failure's lines" "$(log_messages | grep -c '^audio encoder failed')" 1
  expect_logged "audio encoder failed 0x8000FFFF: the sound stops"
  expect_eq "files" "$(files '*.mp4' | wc -l)" 2
  local saved
  saved=$(log_messages | sed -n 's/^saved clip_[0-9]\{8\}_[0-9]\{6\}_key\.mp4: ok, \([0-9]*\) frames, [0-9.]* s$/\1/p')
  for f in $(files '*.mp4'); do
    check_video "$out/$f" || continue
    expect_eq "$f starts at the first frame" "$(first_number)" 0
    case $f in
      rec_*) expect_eq "recording holds every frame" "$(frame_count)" 90 ;;
      clip_*) expect_eq "key clip holds what the log says" "$(frame_count)" "${saved:-?}" ;;
    esac
    if [ "$(ffprobe -v error -show_entries stream=codec_type -of csv=p=0 "$out/$f")" != video ]; then
      check_sound "$out/$f" 0
    fi
  done
}

case "${1:-}" in
  stream) record_stream ;;
  register) register_encoders ;;
  unregister) unregister_encoders ;;
  faults)
    case_command_line
    case_probe
    case_no_encoder
    case_bad_blocks
    case_breakdown async-requests error:60 "encoder event 1 status 0x887A0005"
    case_breakdown codec-api event:60 "GetEvent failed 0x887A0005"
    case_breakdown async-padded output:60 "ProcessOutput failed 0x887A0005"
    case_breakdown sync input:60 "ProcessInput failed 0x887A0005"
    ;;
  runs)
    case_clips_and_recording
    case_encoder_protocol async-requests 7
    case_encoder_protocol sync 5
    case_host_ends
    case_host_library
    case_folder_cannot_be_made
    ;;
  matrix) case_matrix ;;
  recovery) case_killed_recording ;;
  sizes) case_sizes ;;
  sound)
    case_sound_sync
    case_sound_faults
    echo "worst click offset: $worst_offset_ms ms"
    ;;
  *)
    echo "usage: $0 stream|register|unregister|faults|runs|matrix|recovery|sizes|sound" >&2
    exit 2
    ;;
esac

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed: $1"
