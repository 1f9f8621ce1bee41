#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian changelog made from CHANGELOG.md: the project's own one converts for its VERSION
# within 80 columns, and malformed ones fail the build instead of shipping a wrong changelog.
# check-changelog.sh CONVERTER CHANGELOG.md VERSION
set -euo pipefail
convert="$1" changelog="$2" version="$3"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

sh "$convert" "$changelog" "$version" "A <a@example.org>" >"$work/out" || fail "CHANGELOG.md does not convert for $version"
head -n 1 "$work/out" | grep -qxF "morvek ($version) unstable; urgency=medium" || fail "first entry: $(head -n 1 "$work/out")"
! awk 'length($0) > 80' "$work/out" | grep -q . || fail "lines above 80 columns"
grep -q '^ -- A <a@example.org>  [A-Z][a-z][a-z], [0-9][0-9] [A-Z][a-z][a-z] [0-9]\{4\} 00:00:00 +0000$' "$work/out" ||
    fail "no trailer line in Debian's date format"

# Each row: the version asked for | CHANGELOG.md's text (\n for line ends) | why it must fail.
while IFS='|' read -r asked text why; do
    printf '%b' "$text" >"$work/bad.md"
    ! sh "$convert" "$work/bad.md" "$asked" "A <a@example.org>" >/dev/null 2>&1 || fail "accepted: $why"
done <<'EOF_ROWS'
1.1|# Changelog\n\n## 1.0 — 2026-12-08\n\n- one\n|the newest entry is not the version packaged
1.1|## 1.1 - 2026-12-09\n\n- one\n|a heading without the dash it expects
1.1|## 1.1 — 9 Dec 2026\n\n- one\n|a date not in YYYY-MM-DD
1.1|## 1.1 — 2026-12-09\n\n* one\n|an item it cannot read
1.1|# Changelog\n\nno versions\n|no version entry
EOF_ROWS
echo "the Debian changelog converts for $version and refuses malformed input"
