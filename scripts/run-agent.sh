#!/usr/bin/env bash
# Installs what is missing, builds, and runs the agent. Without an X display it runs on a
# private virtual one (Xvfb) and without a desktop session it runs headless, printing the
# pairing code and its status on the terminal and asking approvals there.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build -j"$(nproc)" >/dev/null

agent=build/DuskFerryAgent/duskferry-agent
if [ ! -x "$agent" ]; then
  echo "The agent is not built yet. Built so far:"
  find build -maxdepth 4 -type f -executable \( -name 'duskferry-*' -o -name '*_test' -o -name '*_bench' \) | sort
  exit 0
fi

if [ -z "${DISPLAY:-}" ]; then
  source scripts/test-services.sh
  trap df_services_stop EXIT
  df_start_xvfb
  echo "No X display: running on the virtual display $DISPLAY"
fi
exec "$agent" "$@"
