#!/bin/sh
# Formats one manual page as man would (UTF-8 input through preconv, -k) with
# every warning enabled; any line on standard error fails the test.
groff="$1"
page="$2"
warnings=$(LC_ALL=C.UTF-8 "$groff" -k -man -Tutf8 -ww -z "$page" 2>&1 >/dev/null) || exit 1
[ -z "$warnings" ] || { printf '%s\n' "$warnings"; exit 1; }
