# Sourced by the test and run scripts: starts the services the integration tests use
# (a private X display with a window manager, D-Bus and an Avahi daemon on loopback only)
# and exports where to find them. df_services_stop ends what was started here.
#
# Exports: DISPLAY, DF_TEST_SERVICES_DIR, PULSE_SERVER (when a sound server was started
# here).  With CI=true a service that cannot be started
# is a failure of the run; otherwise the tests that need it skip.

DF_TEST_SERVICES_DIR="$(mktemp -d /tmp/duskferry-services.XXXXXX)"
export DF_TEST_SERVICES_DIR
_df_pids=()

_df_fail() {
  echo "test services: $*" >&2
  if [ "${CI:-}" = "true" ]; then exit 1; fi
}

df_start_xvfb() {
  # Xvfb chooses a free display number itself (skipping numbers whose lock is held, and
  # taking over a lock whose process is gone) and writes it to descriptor 3 once it
  # accepts clients. In a session of its own, so that a Ctrl-C meant for the agent or the
  # tests does not take the display away from under them.
  local numberFile="$DF_TEST_SERVICES_DIR/xvfb.display"
  : >"$numberFile"
  setsid Xvfb -displayfd 3 -screen 0 1920x1080x24 +extension RANDR +extension XTEST -noreset -nolisten tcp \
    3>"$numberFile" >"$DF_TEST_SERVICES_DIR/xvfb.log" 2>&1 &
  _df_pids+=($!)
  local i n=""
  for i in $(seq 100); do
    n="$(tr -dc '0-9' <"$numberFile")"
    [ -n "$n" ] && break
    sleep 0.1
  done
  if [ -z "$n" ]; then
    cat "$DF_TEST_SERVICES_DIR/xvfb.log" >&2
    _df_fail "could not start Xvfb"
    return 1
  fi
  export DISPLAY=":$n"
  if command -v openbox >/dev/null; then
    setsid openbox >"$DF_TEST_SERVICES_DIR/openbox.log" 2>&1 &
    _df_pids+=($!)
    sleep 0.5
  fi
}

# A private display server that can grow a virtual display: Xorg with the dummy video driver
# and the project's configuration (scripts/xorg/xorg-dummy.conf: a 1920x1080 main display on
# DUMMY0, spare outputs DUMMY1 to DUMMY15), with a window manager as on Xvfb. For the
# virtual-display tests and the agent on a machine without a display; the other tests use
# df_start_xvfb. Xorg reads a configuration named by path, and writes its log where it is
# told, only for root: anyone else needs the wrapper's permission (allowed_users=anybody in
# /etc/X11/Xwrapper.config) and the configuration copied to
# /etc/X11/duskferry-xorg-dummy.conf, which is then found by name.
df_start_xorg_dummy() {
  local config
  config="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/xorg/xorg-dummy.conf"
  local numberFile="$DF_TEST_SERVICES_DIR/xorg.display"
  local args=(-noreset -nolisten tcp +extension RANDR -configdir "$DF_TEST_SERVICES_DIR/xorg.conf.d")
  if [ "$(id -u)" -eq 0 ]; then
    args+=(-config "$config" -logfile "$DF_TEST_SERVICES_DIR/xorg.log")
  elif [ -f /etc/X11/duskferry-xorg-dummy.conf ]; then
    args+=(-config duskferry-xorg-dummy.conf)
  else
    _df_fail "Xorg with the dummy driver needs root, or /etc/X11/duskferry-xorg-dummy.conf and the wrapper's permission (see README)"
    return 1
  fi
  if ! command -v Xorg >/dev/null || [ ! -f /usr/lib/xorg/modules/drivers/dummy_drv.so ]; then
    _df_fail "Xorg or its dummy driver is not installed (xserver-xorg-core, xserver-xorg-video-dummy)"
    return 1
  fi
  : >"$numberFile"
  setsid Xorg -displayfd 3 "${args[@]}" 3>"$numberFile" >"$DF_TEST_SERVICES_DIR/xorg.out" 2>&1 </dev/null &
  _df_pids+=($!)
  local i n=""
  for i in $(seq 150); do
    n="$(tr -dc '0-9' <"$numberFile")"
    [ -n "$n" ] && break
    sleep 0.1
  done
  if [ -z "$n" ]; then
    cat "$DF_TEST_SERVICES_DIR/xorg.out" >&2
    _df_fail "could not start Xorg with the dummy driver"
    return 1
  fi
  export DISPLAY=":$n"
  if command -v openbox >/dev/null; then
    setsid openbox >"$DF_TEST_SERVICES_DIR/openbox.log" 2>&1 &
    _df_pids+=($!)
    sleep 0.5
  fi
}

_df_system_bus_answers() {
  dbus-send --system --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetId \
    >/dev/null 2>&1
}

# Avahi needs the system bus. A socket file alone proves nothing: a bus killed with an
# earlier session leaves its socket and pid file behind, and dbus-daemon refuses to start
# over a pid file. Clears such leftovers and starts a bus when none answers.
_df_ensure_system_bus() {
  _df_system_bus_answers && return 0
  mkdir -p /run/dbus
  rm -f /run/dbus/pid /run/dbus/system_bus_socket
  if ! dbus-daemon --system --fork >"$DF_TEST_SERVICES_DIR/dbus.log" 2>&1; then
    cat "$DF_TEST_SERVICES_DIR/dbus.log" >&2
    _df_fail "could not start dbus"
    return 1
  fi
  local i
  for i in $(seq 50); do
    _df_system_bus_answers && return 0
    sleep 0.1
  done
}

# Starts avahi-daemon in the background with the given options; on failure shows its log.
# Only called when no daemon runs, so a pid file left by one that died is cleared first
# (the daemon refuses to start over it).
_df_launch_avahi() {
  rm -f /run/avahi-daemon/pid
  avahi-daemon -D "$@" >"$DF_TEST_SERVICES_DIR/avahi.log" 2>&1 && return 0
  cat "$DF_TEST_SERVICES_DIR/avahi.log" >&2
  return 1
}

# For running the agent for real: the host's own Avahi daemon with its own settings, when
# none runs (a machine without an init system). Needs root; otherwise says why the phone
# will have to connect by address.
df_start_system_avahi() {
  avahi-daemon --check 2>/dev/null && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "No Avahi daemon runs and starting one needs root: the phone must connect by address." >&2
    return 0
  fi
  _df_ensure_system_bus || return 0
  _df_launch_avahi && _df_started_avahi=1
  return 0
}

df_start_avahi() {
  _df_ensure_system_bus || return 0
  if ! avahi-daemon --check 2>/dev/null; then
    # Loopback only: test traffic never leaves the machine. lo has no MULTICAST flag
    # by default, without which Avahi ignores it.
    ip link set lo multicast on 2>/dev/null || true
    cat >"$DF_TEST_SERVICES_DIR/avahi-daemon.conf" <<CONF
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
ratelimit-interval-usec=0
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
[reflector]
[rlimits]
CONF
    _df_launch_avahi -f "$DF_TEST_SERVICES_DIR/avahi-daemon.conf" --no-drop-root --no-chroot ||
      _df_fail "could not start avahi-daemon"
    _df_started_avahi=1
  fi
}

# A sound server for the system-audio tests: when none answers, a PulseAudio daemon of our
# own in user mode (as root too, with a warning), a null sink at 48 kHz as its default sink,
# its socket in the services directory, no authentication, never exiting while idle.
df_start_pulseaudio() {
  if pactl info >/dev/null 2>&1; then return 0; fi
  if ! command -v pulseaudio >/dev/null; then
    _df_fail "pulseaudio is not installed"
    return 1
  fi
  local dir="$DF_TEST_SERVICES_DIR/pulse"
  mkdir -p "$dir/runtime"
  chmod 700 "$dir/runtime"
  cat >"$dir/default.pa" <<PA
load-module module-native-protocol-unix socket=$dir/native auth-anonymous=1
load-module module-null-sink sink_name=duskferry_null rate=48000 channels=2
set-default-sink duskferry_null
PA
  # Its own runtime directory and home, so that nothing of a user's session is touched.
  XDG_RUNTIME_DIR="$dir/runtime" HOME="$dir" setsid pulseaudio -n -F "$dir/default.pa" --daemonize=no \
    --exit-idle-time=-1 --use-pid-file=no --log-target=stderr >"$DF_TEST_SERVICES_DIR/pulseaudio.log" 2>&1 &
  _df_pids+=($!)
  export PULSE_SERVER="unix:$dir/native"
  local i
  for i in $(seq 50); do
    pactl info >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  cat "$DF_TEST_SERVICES_DIR/pulseaudio.log" >&2
  unset PULSE_SERVER
  _df_fail "could not start pulseaudio"
  return 1
}

df_services_stop() {
  local p
  for p in "${_df_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  if [ -n "${_df_started_avahi:-}" ]; then avahi-daemon -k 2>/dev/null || true; fi
  rm -rf "$DF_TEST_SERVICES_DIR"
}
