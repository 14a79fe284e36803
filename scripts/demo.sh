#!/usr/bin/env bash
# Builds vistrel on Linux and shows its main job: a host feeds it 25 s of the numbered test
# picture at 30 frames per second with the software encoder, recording on, asks for a "death"
# clip at 17 s and stops it at the end. Then it says where the clip and the recording are and
# what they hold.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset linux -DVISTREL_TESTS=OFF >/dev/null
cmake --build --preset linux -j "$(nproc)" --target vistrel vistrel-host
out=${1:-$PWD/demo-out}
mkdir -p "$out"
set +e
build/linux/bin/vistrel-host --software-encoder --record --request death@17 --duration 25 --out "$out" --log
code=$?
set -e
echo "vistrel-host exit code: $code"
exit "$code"
