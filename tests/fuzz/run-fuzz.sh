#!/usr/bin/env bash
# Runs one fuzz target for a while on a copy of its seed corpus, so that the
# repository is never written.
#   run-fuzz.sh <fuzz binary> <seed corpus dir> <seconds> [artifact dir] [dictionary]
set -euo pipefail
bin="$1"
seeds="$2"
seconds="${3:-20}"
artifacts="${4:-$(pwd)}"
dict="${5:-}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$artifacts"
if [ -d "$seeds" ]; then cp -R "$seeds/." "$work/corpus/"; fi
args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2560 -print_final_stats=1
      -artifact_prefix="$artifacts/$(basename "$bin")-")
[ -n "$dict" ] && [ -f "$dict" ] && args+=(-dict="$dict")
exec "$bin" "${args[@]}" "$work/corpus"
