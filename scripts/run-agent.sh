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

source scripts/test-services.sh
trap df_services_stop EXIT
if [ -z "${DISPLAY:-}" ]; then
  df_start_xvfb
  echo "No X display: running on the virtual display $DISPLAY"
fi
# Without a DNS-SD daemon the phone cannot find the agent by itself.
df_start_system_avahi
# Not exec'd, so that what was started here is stopped once the agent has ended. A signal
# to this script is passed on to the agent as SIGTERM (a background command ignores
# SIGINT), and the agent ends cleanly while the display and daemons it uses are still
# there. The explicit redirection keeps the terminal as its input for approvals, which a
# background command would otherwise lose.
"$agent" "$@" <&0 &
agent_pid=$!
trap 'kill -TERM "$agent_pid" 2>/dev/null || true' INT TERM
status=0
while :; do
  wait "$agent_pid" && status=0 || status=$?
  kill -0 "$agent_pid" 2>/dev/null || break
done
exit "$status"
