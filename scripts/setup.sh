#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12. Idempotent: when every package is present it
# installs nothing and returns at once.
set -euo pipefail

packages=(
  # toolchain
  g++ cmake ninja-build ccache pkg-config
  # Qt 6
  qt6-base-dev qt6-base-private-dev qt6-declarative-dev qt6-declarative-private-dev qt6-shadertools-dev
  libqt6svg6 qt6-image-formats-plugins libqt6opengl6-dev
  qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-layouts qml6-module-qtquick-dialogs
  qml6-module-qtquick-templates qml6-module-qtquick-window qml6-module-qtqml-models
  qml6-module-qtqml-workerscript qml6-module-qt-labs-settings qml6-module-qtcore qml6-module-qttest
  qml6-module-qt-labs-folderlistmodel qml6-module-qtquick-shapes
  # media and the rest of the engine
  libavformat-dev libavcodec-dev libavfilter-dev libswresample-dev libswscale-dev libavutil-dev libass-dev
  libspdlog-dev libfmt-dev libsqlite3-dev zlib1g-dev libpulse-dev ffmpeg
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # the media server benchmark's load generator and its reference server (started by the benchmark alone)
  wrk nginx-light
  fonts-dejavu-core fonts-jetbrains-mono locales-all
  # glyphs for every language name the preferences list: Devanagari (core), Korean, Japanese and Chinese (cjk)
  fonts-noto-core fonts-noto-cjk
  # the install test validates the desktop file and the AppStream metainfo
  desktop-file-utils appstream
  xvfb xauth libgl1-mesa-dri dbus pulseaudio pulseaudio-utils iproute2 procps
  # an independent reader of the Cast v2 message bodies the tests encode
  protobuf-compiler
  # the mDNS peer of the discovery tests, run inside a private network namespace
  python3-zeroconf
  # the DLNA renderer of the discovery tests (and the codecs it needs to play what is cast), run only inside
  # a private network namespace
  gmediarender gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-libav
)

missing=()
for p in "${packages[@]}"; do
  if [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" != "install ok installed" ]; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
# Packages such as the renderer ship a service: Debian's policy hook answering 101 keeps every service from
# starting during the install. A hook already in place is left as it is; one made here goes afterwards.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  trap '"${sudo_cmd[@]}" rm -f "$policy"' EXIT
  printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee "$policy" >/dev/null
  "${sudo_cmd[@]}" chmod 755 "$policy"
fi
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
# nginx's package enables its service at boot, with a default site on port 80 of every interface: the
# benchmark starts its own nginx, so the service stays off.
if [[ " ${missing[*]} " == *" nginx-light "* ]]; then
  if [ -d /run/systemd/system ]; then
    "${sudo_cmd[@]}" systemctl disable --now nginx >/dev/null 2>&1 || true
  else
    "${sudo_cmd[@]}" update-rc.d nginx disable >/dev/null 2>&1 || true
  fi
fi
