#!/usr/bin/env bash
# vistrel.exe end to end under Wine: started by vistrel-host.exe (the real named block and event,
# CreateProcessW, the Win32 file calls), with the replaying test framework mfplat.dll beside it, and
# every MP4 it writes read back here with ffprobe and ffmpeg.
#
#   process_test.sh stream    records the replayed stream: the host's test picture, frames 0 to
#                             STREAM_FRAMES-1, encoded by libx264 into $REPLAY/vistrel-replay.h264
#   process_test.sh faults    command line, probe, no encoder, faulty blocks
#   process_test.sh runs      clips, recordings, folder rules, the host's end, both transform modes,
#                             requests and refusals of the encoder
#   process_test.sh recovery  a recording cut by ending vistrel.exe, recovered by the next start
#
# Environment (set by ctest): BIN (vistrel.exe, vistrel-host.exe, vistrel-test-helper.exe),
# REPLAY (mfplat.dll and the stream), WORK (a scratch folder), WINEPREFIX and a running wineserver.
set -uo pipefail
: "${BIN:?}" "${REPLAY:?}" "${WORK:?}"
export WINEDEBUG=-all

STREAM_FRAMES=150  # five groups of 30: the replay loops from an IDR to an IDR
stream=$REPLAY/vistrel-replay.h264
helper=$BIN/vistrel-test-helper.exe
failures=0

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
# vistrel.exe), and the test framework unless "bare".
setup() {
  case_name=$1
  case_dir=$WORK/$1
  rm -rf "$case_dir"
  mkdir -p "$case_dir/bin" "$case_dir/out"
  cp "$BIN/vistrel.exe" "$BIN/vistrel-host.exe" "$case_dir/bin/"
  if [ "${2:-}" != bare ]; then cp "$REPLAY/mfplat.dll" "$stream" "$case_dir/bin/"; fi
  out=$case_dir/out
  log=$case_dir/bin/vistrel.log
}

vistrel() { (cd "$case_dir" && wine "$case_dir/bin/vistrel.exe" "$@" </dev/null >/dev/null 2>&1); echo $?; }

# Runs vistrel-host.exe; sets host_output and host_code.
host() {
  host_output=$(cd "$case_dir" && wine "$case_dir/bin/vistrel-host.exe" --out "$(winpath "${host_out:-$out}")" "$@" \
                </dev/null 2>&1)
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

# Reads a file's frame numbers back: decoded on this side, the top band cropped, read by the helper.
# Prints one number (or "-") per decoded frame.
frame_numbers() {
  local errors=$WORK/$case_name.decode-errors
  ffmpeg -nostdin -v error -i "$1" -fps_mode passthrough -vf crop=1280:80:0:0 -f rawvideo -pix_fmt gray - \
    2>"$errors" | wine "$helper" numbers | tr -d '\r'
  [ ! -s "$errors" ] || fail "$(basename "$1") does not decode cleanly: $(head -3 "$errors")"
}

# Checks one MP4: H.264 Main 1280x720 that ffprobe reads without error, every frame numbered, each
# number the one after the last (modulo the stream's length: the replay loops). Sets numbers.
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
  expect_in "$name size" $'width=1280\nheight=720' "$probe"
  if grep -qiE 'error|invalid' <<<"$probe"; then fail "$name: ffprobe reports: $probe"; fi
  numbers=$(frame_numbers "$f")
  local read_frames
  read_frames=$(sed -n 's/^nb_read_frames=//p' <<<"$probe")
  expect_eq "$name frames decoded" "$(grep -c . <<<"$numbers")" "$read_frames"
  if ! awk -v n="$STREAM_FRAMES" '$1 == "-" { bad = 1 } NR > 1 && $1 != (prev + 1) % n { bad = 1 } { prev = $1 }
                                   END { exit bad ? 1 : 0 }' <<<"$numbers"; then
    fail "$name: frame numbers not consecutive: $(tr '\n' ' ' <<<"$numbers" | head -c 600)"
  fi
}
first_number() { head -1 <<<"$numbers"; }
frame_count() { grep -c . <<<"$numbers"; }

# --- the replayed stream -------------------------------------------------------------------------

record_stream() {
  case_name=stream
  mkdir -p "$REPLAY" "$WORK"
  wine "$helper" frames "$STREAM_FRAMES" </dev/null 2>/dev/null |
    ffmpeg -nostdin -v error -f rawvideo -pix_fmt bgra -s 1280x720 -r 30 -i - -pix_fmt yuv420p \
      -c:v libx264 -preset veryfast -profile:v main -g 30 -bf 0 \
      -x264-params repeat-headers=1:keyint=30:min-keyint=30:scenecut=0 -f h264 -y "$stream.part" ||
    fail "recording the stream"
  mv -f "$stream.part" "$stream"
  # Every picture of the test picture is in it, in order.
  numbers=$(frame_numbers "$stream")
  expect_eq "stream frames" "$(frame_count)" "$STREAM_FRAMES"
  expect_eq "stream first frame" "$(first_number)" 0
  expect_eq "stream last frame" "$(tail -1 <<<"$numbers")" $((STREAM_FRAMES - 1))
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

case_probe() {
  setup probe
  expect_eq "probe with the test framework" "$(vistrel --probe)" 0
  expect_eq "probe ignores what follows" "$(vistrel --probe --anything)" 0
  expect_eq "probe, synchronous transform" "$(VISTREL_MEDIAFW_SYNC=1 vistrel --probe)" 0
  [ ! -e "$log" ] || fail "the probe wrote a log"
  # Listed but failing when streaming begins, as a hardware encoder without its device.
  rm "$case_dir/bin/vistrel-replay.h264"
  expect_eq "probe, encoder that fails to start" "$(vistrel --probe)" 3
  rm "$case_dir/bin/mfplat.dll"
  expect_eq "probe with Wine's framework" "$(vistrel --probe)" 3
}

case_no_encoder() {
  setup no-encoder bare
  host --log --duration 1
  expect_eq "exit code without an encoder" "$host_code" 3
  expect_in "status without an encoder" "status: 2" "$host_output"
  expect_eq "last log line" "$(log_messages | tail -1)" "no working hardware encoder"
  [ -z "$(files '*')" ] || fail "files written without an encoder: $(files '*')"

  # The test framework's encoder, listed but failing when streaming begins: tried, then dropped.
  setup encoder-fails-to-start
  rm "$case_dir/bin/vistrel-replay.h264"
  host --log --duration 1
  expect_eq "exit code with a failing encoder" "$host_code" 3
  expect_in "status with a failing encoder" "status: 2" "$host_output"
  expect_eq "first log line" "$(log_messages | head -1)" "encoder 0: Replaying H.264 test encoder (vistrel-replay.h264)"
  expect_eq "last log line" "$(log_messages | tail -1)" "no working hardware encoder"
}

# Blocks a host could get wrong, from a host of the helper's own.
case_bad_blocks() {
  setup bad-blocks
  local result kind
  for kind in version short no-event; do
    result=$(cd "$case_dir" && wine "$helper" fault "$kind" "$(winpath "$case_dir/bin/vistrel.exe")" </dev/null 2>&1)
    expect_eq "$kind: helper exit code (vistrel's, block untouched)" "$?" 4
    expect_in "$kind: vistrel's exit code" "vistrel exit code: 4" "$result"
    expect_in "$kind: block" "block unchanged" "$result"
  done
  [ ! -e "$log" ] || fail "a log before the block was accepted"
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

  expect_logged "  using it: async, input height 720"
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

# Each transform mode (async, sync) with an announced output type change, recording and a death
# clip.
case_type_change() {
  local mode=$1
  shift
  setup "$mode-type-change"
  host --log --fast --record --duration 4 --request death@1 --idle 3 --type-change "$@"
  expect_eq "exit code" "$host_code" 0
  expect_logged "  using it: $mode, input height 720"
  expect_logged "encoder changed its output type"
  local recs deaths
  recs=$(files 'rec_*.mp4')
  deaths=$(files 'clip_*_death.mp4')
  expect_eq "one recording" "$(grep -c . <<<"$recs")" 1
  expect_eq "one death clip" "$(grep -c . <<<"$deaths")" 1
  if check_video "$out/$recs"; then
    expect_eq "recording starts at the first frame" "$(first_number)" 0
  fi
  if check_video "$out/$deaths"; then
    expect_eq "death clip starts at a keyframe" "$(( $(first_number) % 30 ))" 0
  fi
}

# The frame step against an encoder that asks for several frames at once and refuses one now and
# then, as hardware encoders do: every frame offered is taken and recorded once.
case_encoder_protocol() {
  local name=$1 requests=$2 refuse=$3
  shift 3
  setup "protocol-$name"
  VISTREL_MEDIAFW_INPUT_REQUESTS=$requests VISTREL_MEDIAFW_REFUSE_EVERY=$refuse \
    host --log --fast --record --duration 4 --idle 2 "$@"
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

case "${1:-}" in
  stream) record_stream ;;
  faults)
    case_command_line
    case_probe
    case_no_encoder
    case_bad_blocks
    ;;
  runs)
    case_clips_and_recording
    case_type_change async
    case_type_change sync --sync-encoder
    case_encoder_protocol async 3 7
    case_encoder_protocol sync 1 5 --sync-encoder
    case_host_ends
    case_folder_cannot_be_made
    ;;
  recovery)
    case_killed_recording
    ;;
  *)
    echo "usage: $0 stream|faults|runs|recovery" >&2
    exit 2
    ;;
esac

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed: $1"
