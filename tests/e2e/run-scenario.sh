#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Plays one scenario of scenarios.txt under umockdev: its device set from
# tests/data/SET.umockdev, its scripts on the ttys, through run-case.sh.
# Usage: run-scenario.sh --binary PATH NAME     (exit 77: the scenario is not for umockdev)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
data="$here/../data"
table="$here/scenarios.txt"
suite=umockdev
[ "$1" = --binary ] || { echo "usage: run-scenario.sh --binary PATH NAME" >&2; exit 2; }
binary="$2" name="$3"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# Values keep the table's escapes until they are written out with printf %b.
unescape() { printf '%b' "${1//@VERSION@/$(tr -d ' \n' <"$here/../../VERSION")}"; }

found=0 set="" status="" min_ms=0 max_ms=5000 output_file=""
declare -A line
args=()
while read -r key rest; do
    if [ "$key" = scenario ]; then
        [ $found -eq 1 ] && break
        [ "$rest" = "$name" ] && found=1
        continue
    fi
    [ $found -eq 1 ] || continue
    case "$key" in '' | '#'*) continue ;; esac
    # KEY@SUITE takes the place of KEY for that suite and is dropped for the others.
    if [[ "$key" == *@* ]]; then
        [ "${key#*@}" = "$suite" ] || continue
        key="${key%@*}"
        line[$key]="$rest"
    elif [ -n "${line[$key]+set}" ] && [[ "$key" =~ ^(output|output-file|time|status|on)$ ]]; then
        continue # an override for this suite came first
    fi
    case "$key" in
    on) set="$rest" ;;
    play) read -r tty script <<<"$rest"; args+=(--script "$tty=$data/$script.script") ;;
    arg) args+=(--arg "$(unescape "$rest")") ;;
    output) unescape "$rest" >"$work/expected"; output_file="$work/expected" ;;
    output-file) output_file="$data/$rest" ;;
    status) status="$rest" ;;
    time) read -r min_ms max_ms <<<"$rest" ;;
    stderr-has) args+=(--stderr-has "$(unescape "$rest")") ;;
    stdout-has) args+=(--stdout-has "$(unescape "$rest")") ;;
    setup) args+=(--setup "$rest") ;;
    skip)
        read -r who reason <<<"$rest"
        if [ "$who" = "$suite" ]; then
            echo "skipped: $reason"
            exit 77
        fi ;;
    *) echo "run-scenario.sh: $name: unknown line '$key'" >&2; exit 2 ;;
    esac
    line[$key]="$rest"
done <"$table"
[ $found -eq 1 ] || { echo "run-scenario.sh: no scenario $name in $table" >&2; exit 2; }
[ -n "$status" ] || { echo "run-scenario.sh: $name has no status" >&2; exit 2; }
[ -n "$output_file" ] || { : >"$work/expected"; output_file="$work/expected"; }
[ "$set" = none ] || [ -z "$set" ] || args+=(--devices "$data/$set.umockdev")

bash "$here/run-case.sh" --binary "$binary" --output-file "$output_file" --status "$status" \
    --min-ms "$min_ms" --max-ms "$max_ms" "${args[@]}"
