#!/bin/sh
# Runs a test program under Wine. ctest also requires gtest's own success
# line, since a crash under Wine may exit 0; a non-zero exit after that line
# (a crash while the program shuts down) fails the test here.
wine "$@"
rc=$?
if [ "$rc" -ne 0 ]; then
    echo "[  FAILED  ] the test program exited with code $rc"
fi
exit "$rc"
