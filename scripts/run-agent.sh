#!/usr/bin/env bash
# Installs what is missing, builds the agent, and runs it with the given arguments. Without
# an X display it runs on a private display server (Xorg with the dummy driver, which can
# add the phone's virtual display; else Xvfb) with the terminal shell (--headless): the
# pairing code and its status are printed on the terminal and approvals are asked there. On a
# desktop it shows its tray icon and panel (pass --headless for the terminal shell there too).
# Exits non-zero when the build fails.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/install-deps.sh

# Only the agent and what it links are built. Ninja shows how far it is (one line per step
# when the output is not a terminal) and prints compiler errors on standard output.
if [ ! -f build/build.ninja ]; then
  echo "Configuring the build in build/ ..."
fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
echo "Building duskferry-agent (a first build takes several minutes) ..."
if ! ninja -C build -j"$(nproc)" duskferry-agent; then
  echo "The agent did not build: the compiler's messages are above." >&2
  exit 1
fi
agent=build/DuskFerryAgent/duskferry-agent

source scripts/test-services.sh
trap df_services_stop EXIT
shell_args=()
if [ -z "${DISPLAY:-}" ]; then
  # Nobody sees a private display: the terminal asks for approvals. A private display server
  # that can add the phone's virtual display (Xorg with the dummy driver); where that is not
  # allowed, Xvfb, on which the virtual display is refused.
  shell_args=(--headless)
  if df_start_xorg_dummy; then
    echo "No X display: running on a private display server (Xorg, dummy driver) $DISPLAY"
  elif df_start_xvfb; then
    echo "No X display: running on the virtual display $DISPLAY (Xvfb: no virtual display for the phone)"
  else
    echo "No X display, and no private display server could be started (Xorg, Xvfb): see the messages above." >&2
    exit 1
  fi
fi
# Without a DNS-SD daemon the phone cannot find the agent by itself.
df_start_system_avahi
# The phone hears this computer through the user's sound server; where none runs (a private
# display), a private one with a silent output stands in.
df_start_pulseaudio || echo "No sound server: the phone gets video only."
# Not exec'd, so that what was started here is stopped once the agent has ended. A signal
# to this script is passed on to the agent as SIGTERM (a background command ignores
# SIGINT), and the agent ends cleanly while the display and daemons it uses are still
# there. The explicit redirection keeps the terminal as its input for approvals, which a
# background command would otherwise lose.
"$agent" "${shell_args[@]}" "$@" <&0 &
agent_pid=$!
trap 'kill -TERM "$agent_pid" 2>/dev/null || true' INT TERM
status=0
while :; do
  wait "$agent_pid" && status=0 || status=$?
  kill -0 "$agent_pid" 2>/dev/null || break
done
exit "$status"
