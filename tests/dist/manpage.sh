#!/usr/bin/env bash
# manpage.sh PROGRAM PAGE.1.gz: the built man page renders with man -l without a warning, and every option that
# PROGRAM --help lists is named in it.
set -euo pipefail
program=$1
page=$2
fail() { echo "$(basename "$page"): $*" >&2; exit 1; }

[ -s "$page" ] || fail "no such page"
gzip -t "$page" || fail "not a gzip file"
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
# A wide page keeps each option on one line; col -b drops the overstrikes of bold and underline.
rendered=$(MANWIDTH=200 LC_ALL=C.UTF-8 MAN_KEEP_FORMATTING= man --warnings -E UTF-8 -l "$page" 2>"$errors" | col -b) \
  || fail "man -l failed: $(cat "$errors")"
[ ! -s "$errors" ] || fail "man -l warns: $(cat "$errors")"
[ -n "$rendered" ] || fail "man -l rendered nothing"
grep -q '^NAME' <<<"$rendered" || fail "no NAME section"
# roff's \- may come out as a Unicode minus or hyphen: read every dash as '-'.
rendered=$(sed 's/\xe2\x88\x92/-/g; s/\xe2\x80\x90/-/g' <<<"$rendered")

options=$("$program" --help | grep -oE -- '--[a-z][a-z-]*' | sort -u)
[ -n "$options" ] || fail "$program --help lists no option"
missing=()
for option in $options; do
  grep -qE -- "(^|[^a-z-])${option}([^a-z-]|\$)" <<<"$rendered" || missing+=("$option")
done
[ ${#missing[@]} -eq 0 ] || fail "options of $program --help missing from the page: ${missing[*]}"
echo "$(basename "$page"): renders, and names $(wc -w <<<"$options") options of $program --help"
