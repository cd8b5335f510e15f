#!/usr/bin/env bash
# One source of truth for release facts: the project version in
# CMakeLists.txt, the newest entry of CHANGELOG.md and the newest entry of
# debian/changelog name the same version, and the same date (or both say
# the version is not released yet: "unreleased" / UNRELEASED).
# Usage: tests/release_facts.sh <source-dir>
set -euo pipefail
src="$1"
fail() { echo "FAIL: $*" >&2; exit 1; }
project="$(sed -n 's/^project(linalg VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")"
heading="$(grep -m1 -E '^## \[[0-9]+\.[0-9]+\.[0-9]+\]' "$src/CHANGELOG.md")"
cl_version="$(sed -E 's/^## \[([0-9.]+)\].*/\1/' <<<"$heading")"
cl_date="$(sed -E 's/^## \[[0-9.]+\] — (.*)$/\1/' <<<"$heading")"
deb_version="$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)"
deb_dist="$(dpkg-parsechangelog -l "$src/debian/changelog" -S Distribution)"
deb_date="$(date -u -d "$(dpkg-parsechangelog -l "$src/debian/changelog" -S Date)" +%F)"
echo "CMakeLists.txt $project; CHANGELOG.md $cl_version ($cl_date); debian/changelog $deb_version $deb_dist ($deb_date)"
[ "$cl_version" = "$project" ] || fail "CHANGELOG.md's newest version $cl_version is not the project version $project"
[ "${deb_version%-*}" = "$project" ] || fail "debian/changelog's newest version $deb_version is not $project-N"
if [ "$cl_date" = unreleased ]; then
  [ "$deb_dist" = UNRELEASED ] || fail "CHANGELOG.md says $project is unreleased, debian/changelog names $deb_dist"
else
  [ "$deb_dist" != UNRELEASED ] || fail "debian/changelog says UNRELEASED, CHANGELOG.md dates $project $cl_date"
  [ "$cl_date" = "$deb_date" ] || fail "CHANGELOG.md dates $project $cl_date, debian/changelog $deb_date"
fi
echo "release facts agree"
