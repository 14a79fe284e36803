#!/usr/bin/env bash
# A long session of vistrel: by default 60 minutes of sample time with the fast clock, recording on
# and a clip request every 13 s of sample time. Every file is decoded; rotations, folder limits,
# resident memory, open descriptors and the heartbeat are checked, and the figures printed.
#
#   scripts/long_session.sh [MINUTES]
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-60}
cmake --preset linux -DVISTREL_TESTS=ON >/dev/null
cmake --build --preset linux -j "${VISTREL_JOBS:-2}" --target long_session_test vistrel vistrel-host vistrel_mediafw
VISTREL_LONG_SESSION_MINUTES="$minutes" VISTREL_LONG_SESSION_STRICT="${VISTREL_LONG_SESSION_STRICT:-1}" \
  build/linux/bin/long_session_test --gtest_also_run_disabled_tests --gtest_filter='LongSession.*'
