#!/bin/bash
# Installs, from Debian's archive, whatever the build and the tests need and
# this machine lacks. Needs root (or sudo).
set -eu
# DejaVu Sans: the font under Wine with a glyph for each of the button symbols
# (only one of fontconfig's alternatives, so not sure to come with Wine).
# GStreamer's libav and good plugins: Wine's source reader decodes H.264 MP4s
# through them (mp4_check and the tests that read recordings back).
packages="cmake make g++-mingw-w64-x86-64-posix wine wine64 xvfb xauth x11-utils googletest fonts-dejavu-core
gstreamer1.0-libav gstreamer1.0-plugins-good"
missing=""
for p in $packages; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
# Node.js and npm run the workflow linter; a machine may have its own Node.js.
command -v npm >/dev/null 2>&1 || missing="$missing nodejs npm"
[ -z "$missing" ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "installing:$missing"
$sudo apt-get update -qq
# Wine needs its recommended libraries (OpenGL among them) for Direct3D.
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing
