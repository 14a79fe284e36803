#!/usr/bin/env bash
# Builds vistrel on Linux and shows its main job: a host (vistrel-host) feeds it 25 s of the
# numbered test picture at 30 frames per second, with the software encoder standing in for a
# hardware one and recording on, asks for a "death" clip at 17 s and stops it at the end. Then it
# says where the clip and the recording are and what they hold.
#
#   bash scripts/demo.sh [OUTPUT-FOLDER]      (default: ./demo-out)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
echo "building..."
cmake --preset linux -DVISTREL_TESTS=OFF >/dev/null
cmake --build --preset linux -j "$(nproc)" --target vistrel vistrel-host vistrel_mediafw >/dev/null
out=$(realpath -m "${1:-demo-out}")
rm -rf "$out"
mkdir -p "$out"

echo "running: 25 s of frames, recording on, a death clip requested at 17 s"
set +e
build/linux/bin/vistrel-host --software-encoder --log --record --request death@17 --duration 25 --out "$out"
code=$?
set -e
echo
echo "vistrel ended with code $code (0: stopped by the host's switch)"
echo "its log: build/linux/bin/vistrel.log"
echo
for f in "$out"/clip_*.mp4 "$out"/rec_*.mp4; do
  [ -e "$f" ] || continue
  frames=$(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$f")
  seconds=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$f")
  profile=$(ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,profile,width,height -of csv=p=0 "$f")
  kind=recording
  case "$(basename "$f")" in clip_*) kind=clip ;; esac
  printf '%-9s %s\n          %s frames, %.1f s, %s\n' "$kind" "$f" "$frames" "$seconds" "$profile"
done
exit "$code"
