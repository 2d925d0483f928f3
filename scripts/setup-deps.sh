#!/usr/bin/env bash
# Installs the Debian packages the service, its tests and its demo need.
# Only missing packages are installed; run as root (or with sudo available).
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config gettext ccache
  libwxgtk3.2-dev libtinyxml2-dev libudev-dev libhidapi-dev
  libx11-dev libxtst-dev libxi-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libpng-dev xvfb xauth x11-utils umockdev libumockdev-dev locales
)
PACKAGES+=("$@")

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The settings tests check number formats under a decimal-comma locale.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  if [ -f /etc/locale.gen ]; then
    $SUDO sed -i 's/^# *\(de_DE.UTF-8 UTF-8\)/\1/; s/^# *\(en_US.UTF-8 UTF-8\)/\1/; s/^# *\(zh_CN.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    $SUDO locale-gen >/dev/null
  fi
fi
