#!/usr/bin/env bash
# Installs every Debian 12 package that building, testing, packaging and benchmarking the
# project needs.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# Build and test: compilers (and clang-format, which checks the sources' layout), CMake, the FFmpeg and opencore-amr libraries, Qt 6 for the desktop
# program, GoogleTest, and the ffmpeg tool that makes and checks test media; Xvfb, openbox (the
# window manager that gives the keyboard focus back as a desktop does; x11-utils' xmessage is
# another program's window), D-Bus, AT-SPI and python3-pyatspi drive the real window in the
# accessibility test.
# Packaging and its checks: dpkg-dev and file (dependencies of the Debian package), librsvg2-bin
# (icon rendering), desktop-file-utils, groff-base and man-db (desktop entry and man pages).
# pulseaudio gives the preview benchmark a null sound sink. GStreamer's gst-discoverer-1.0
# (plugins-base-apps, with the demuxers and parsers of plugins-base/-good/-bad/-ugly (ASF) and the
# decoders of gstreamer1.0-libav) is the second reader of the output tests and device-check.
$SUDO apt-get install -y -qq --no-install-recommends \
  g++ clang clang-format libclang-rt-14-dev cmake ninja-build pkg-config make \
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev libavfilter-dev libavdevice-dev \
  libopencore-amrnb-dev libgtest-dev ffmpeg time \
  qt6-base-dev qt6-multimedia-dev xvfb xauth openbox x11-utils dbus-x11 at-spi2-core python3-pyatspi imagemagick \
  dpkg-dev file librsvg2-bin desktop-file-utils groff-base man-db pulseaudio \
  gstreamer1.0-plugins-base-apps gstreamer1.0-plugins-base gstreamer1.0-plugins-good \
  gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-libav >/dev/null
