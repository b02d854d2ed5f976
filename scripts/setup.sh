#!/usr/bin/env bash
# Installs every Debian package Korvane needs to build, run and test. Safe to run again.
set -euo pipefail

packages=(
    # toolchain
    build-essential clang libclang-rt-14-dev cmake ninja-build clang-format pkg-config
    # libraries of the core
    libyaml-dev nlohmann-json3-dev libcurl4-openssl-dev libssl-dev libplist-dev uuid-dev
    # the GNOME desktop's proxy settings: GIO, their schema, the dconf store, and the gsettings
    # tool that tests and the demo read them with
    libglib2.0-dev gsettings-desktop-schemas dconf-service dconf-gsettings-backend libglib2.0-bin
    # tests and benchmarks
    libgtest-dev libgmock-dev googletest libbenchmark-dev python3-yaml python3-ruamel.yaml
    # tools the stand-ins and scripts call, and the floor the update download is measured against
    zsh unzip zip openssl curl procps
    # the install scripts' tests: private mount namespaces with read-only or busy folders
    util-linux mount
    # real proxies serving as nodes behind the stand-in core in tests
    microsocks tinyproxy
    # the proxy tool stand-ins are Python scripts
    python3
    # desktop shell, its GUI tests and the demo
    libgtk-3-dev libwebkit2gtk-4.1-dev libayatana-appindicator3-dev xvfb xauth webkit2gtk-driver
    fonts-noto-cjk dbus python3-gi gir1.2-glib-2.0
)

if [ "$(id -u)" -eq 0 ]; then
    sudo=()
else
    sudo=(sudo)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ "${#missing[@]}" -eq 0 ]; then
    echo "setup: all packages present"
    exit 0
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
