#!/usr/bin/env bash
# Installs the Debian packages the cross build and the Wine test run need,
# clang with its sanitizer and fuzzer runtime (and zlib) for the native fuzz
# targets of the parsers, and the archive tools the tests of our archiver
# libraries compare them with.
# Does nothing when everything is already there; when not root, prints the
# exact command to run and fails.
set -euo pipefail

packages=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix cmake make wine wine32:i386 wine64 xvfb xauth
          libz-mingw-w64-dev fonts-ipafont-gothic googletest locales x11-utils imagemagick xdotool
          clang libclang-rt-dev
          zlib1g-dev zip unzip tar gzip ncompress lhasa jlha-utils default-jre-headless libarchive-tools)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
need_i386=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    need_i386=1
fi
need_locale=0
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    need_locale=1
fi

if [ ${#missing[@]} -eq 0 ] && [ $need_i386 -eq 0 ] && [ $need_locale -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]:-none}" >&2
    cmd="sudo dpkg --add-architecture i386 && sudo apt-get update && sudo apt-get install -y ${packages[*]}"
    [ $need_locale -eq 1 ] && cmd="$cmd && sudo sed -i 's/^# *ja_JP.UTF-8/ja_JP.UTF-8/' /etc/locale.gen && sudo locale-gen"
    echo "Run as root:" >&2
    echo "  $cmd" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
if [ $need_i386 -eq 1 ]; then
    dpkg --add-architecture i386
fi
if [ ${#missing[@]} -gt 0 ] || [ $need_i386 -eq 1 ]; then
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${packages[@]}"
fi
if [ $need_locale -eq 1 ]; then
    if [ -f /etc/locale.gen ]; then
        sed -i 's/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/' /etc/locale.gen
        grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' >> /etc/locale.gen
    fi
    locale-gen
fi
