#!/usr/bin/env bash
# Starts what the tests need for one run and stops it again:
#   a virtual X display (Xvfb, Mesa's llvmpipe), a session D-Bus and a PulseAudio server with a null sink.
# Source it, call kvr_services_start, and kvr_services_stop at the end (the test script traps EXIT).
# Exports DISPLAY, DBUS_SESSION_BUS_ADDRESS, PULSE_SERVER and KVR_PULSE_SINK.

kvr_services_dir=""
kvr_services_pids=()

kvr_services_start() {
  kvr_services_dir=$(mktemp -d "${TMPDIR:-/tmp}/kvr-services-XXXXXX")
  chmod 755 "$kvr_services_dir"

  # X display: Xvfb picks a free display number and reports it. -noreset: by default the server resets when
  # its last client leaves, and a test process connecting during that moment is refused.
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset +extension GLX \
    3>"$kvr_services_dir/display" >"$kvr_services_dir/xvfb.log" 2>&1 &
  kvr_services_pids+=($!)
  for _ in $(seq 600); do [ -s "$kvr_services_dir/display" ] && break; sleep 0.05; done
  if [ -s "$kvr_services_dir/display" ]; then
    export DISPLAY=":$(head -n1 "$kvr_services_dir/display")"
  else
    echo "test-services: Xvfb did not start" >&2
  fi
  export LIBGL_ALWAYS_SOFTWARE=1

  # Session bus.
  local dbus_out
  dbus_out=$(dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1)
  export DBUS_SESSION_BUS_ADDRESS=$(printf '%s\n' "$dbus_out" | sed -n 1p)
  kvr_services_pids+=($(printf '%s\n' "$dbus_out" | sed -n 2p))

  # PulseAudio with a null sink. As root it must run in system mode, with its socket in a directory the
  # pulse user owns.
  local pulse_dir="$kvr_services_dir/pulse"
  mkdir -p "$pulse_dir"
  local args=(--daemonize=no --use-pid-file=no --exit-idle-time=-1 -n --disallow-exit --log-target=stderr
    "--load=module-native-protocol-unix auth-anonymous=1 socket=$pulse_dir/native"
    "--load=module-null-sink sink_name=kvr_null rate=48000 channels=2"
    "--load=module-always-sink")
  if [ "$(id -u)" -eq 0 ]; then
    chown pulse:pulse "$pulse_dir"
    pulseaudio --system --disallow-module-loading=0 "${args[@]}" >"$kvr_services_dir/pulse.log" 2>&1 &
  else
    HOME="$kvr_services_dir" XDG_RUNTIME_DIR="$pulse_dir" \
      pulseaudio "${args[@]}" >"$kvr_services_dir/pulse.log" 2>&1 &
  fi
  kvr_services_pids+=($!)
  export PULSE_SERVER="unix:$pulse_dir/native"
  export KVR_PULSE_SINK=kvr_null
  for _ in $(seq 600); do pactl info >/dev/null 2>&1 && break; sleep 0.05; done
  if ! pactl info >/dev/null 2>&1; then
    echo "test-services: PulseAudio did not start:" >&2
    tail -n 5 "$kvr_services_dir/pulse.log" >&2
  fi
}

kvr_services_stop() {
  local pid
  for pid in "${kvr_services_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${kvr_services_pids[@]}"; do
    for _ in $(seq 40); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    kill -9 "$pid" 2>/dev/null || true
  done
  kvr_services_pids=()
  [ -n "$kvr_services_dir" ] && rm -rf "$kvr_services_dir"
  kvr_services_dir=""
}
