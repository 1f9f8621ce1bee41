#!/bin/sh
# SPDX-License-Identifier: MIT
# Writes the Debian package's changelog, in Debian's format, from CHANGELOG.md: one entry per
# "## VERSION — YYYY-MM-DD" heading, one "*" item per "- " item, reflowed to fit 80 columns.
# Fails when the newest entry is not the version being packaged, so the two cannot drift.
# Usage: debian-changelog.sh CHANGELOG.md VERSION "NAME <EMAIL>" > changelog
set -eu
[ $# -eq 3 ] || { echo "usage: $0 CHANGELOG.md VERSION MAINTAINER" >&2; exit 2; }
export LC_ALL=C
awk -v version="$2" -v maintainer="$3" '
function fail(text) { print "debian-changelog.sh: " text > "/dev/stderr"; failed = 1; exit 1 }
function flush_item(    n, words, i, line) {
    if (item == "") return
    gsub(/`/, "", item)
    n = split(item, words, " ")
    line = "  *"
    for (i = 1; i <= n; i++) {
        if (length(line) + 1 + length(words[i]) > 78) { print line; line = "   " }
        line = line " " words[i]
    }
    print line
    item = ""
}
function close_entry() {
    flush_item()
    if (date == "") return
    cmd = "date -u -d " date " \"+%a, %d %b %Y %H:%M:%S +0000\""
    if ((cmd | getline stamp) <= 0) fail("cannot read the date " date)
    close(cmd)
    print ""
    print " -- " maintainer "  " stamp
    date = ""
}
/^## / {
    close_entry()
    if ($3 != "—" || $4 !~ /^[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]$/)
        fail("a heading must read \"## VERSION — YYYY-MM-DD\": " $0)
    if (entries == 0 && $2 != version) fail("the newest entry is " $2 ", the version " version)
    if (entries++) print ""
    print "morvek (" $2 ") unstable; urgency=medium"
    print ""
    date = $4
    next
}
date == "" { next }
/^- / { flush_item(); item = substr($0, 3); next }
/^  +[^ ]/ && item != "" { sub(/^ +/, ""); item = item " " $0; next }
/^$/ { flush_item(); next }
{ fail("unexpected line in version " version ": " $0) }
END {
    if (failed) exit 1
    close_entry()
    if (entries == 0) fail("no version entry")
}' "$1"
