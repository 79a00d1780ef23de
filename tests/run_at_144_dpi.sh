#!/bin/sh
# Runs the tests whose figures depend on the display's DPI under a Wine prefix
# set to 144 DPI. The prefix is made afresh each time (10-20 s), so that a clean
# machine gets the same one, and removed afterwards.
# Usage: run_at_144_dpi.sh <folder with ui_tests.exe and app_tests.exe>
set -eu
tests="$1"
scratch=$(mktemp -d)
export WINEPREFIX="$scratch/prefix"
finish() {
    # Only this prefix's own server and the processes under it.
    wineserver -k 2>/dev/null || true
    rm -rf "$scratch"
}
trap finish EXIT

WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1

# The tests check that they really run at this DPI.
export QUORVEL_TEST_DPI=144
status=0
wine "$tests/ui_tests.exe" \
    --gtest_filter='FrameLifetime.CreationTakesWindowDpiAndMakesSystemFontForButtons:CaptureSizePreset.KeepsTheFrameAndItsButtonsOnTheWorkArea' \
    || status=1
wine "$tests/app_tests.exe" --gtest_filter='ProgramStart.*' || status=1
exit $status
