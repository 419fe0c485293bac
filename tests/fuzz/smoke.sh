#!/usr/bin/env bash
# Builds every fuzz target (clang, -DTARVO_FUZZ=ON, into build-fuzz/) and runs
# each for a while over a scratch copy of its committed seed corpus (the
# committed one is never written). Fails on any crash, sanitizer report, leak
# or time-out.
#   tests/fuzz/smoke.sh [seconds per target, default 30]
# With FUZZ_SKIP_BUILD=1 it runs what build-fuzz/ already holds. To run one
# target by hand, for example:
#   build-fuzz/answers_fuzzer -dict=tests/fuzz/answers.dict -close_fd_mask=3 \
#       -timeout=10 -max_total_time=600 my_corpus tests/fuzz/corpus/answers
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-30}
out=${FUZZ_BUILD_DIR:-build-fuzz}

if [ "${FUZZ_SKIP_BUILD:-0}" != 1 ]; then
  CC=clang CXX=clang++ cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARVO_FUZZ=ON -DTARVO_TESTS=OFF >/dev/null
  cmake --build "$out" -j"$(nproc)" --target shell_fuzzer answers_fuzzer upload_fuzzer
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# target  corpus directory  dictionary  maximum input length
targets=(
  "shell_fuzzer shell shell.dict 4096"
  "answers_fuzzer answers answers.dict 4096"
  "upload_fuzzer upload upload.dict 4096"
)

status=0
for entry in "${targets[@]}"; do
  read -r name corpus dict max_len <<<"$entry"
  work="$scratch/$name"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp tests/fuzz/corpus/"$corpus"/* "$work/corpus/"
  echo "== $name: ${seconds}s over tests/fuzz/corpus/$corpus"
  if "$out/$name" -dict="tests/fuzz/$dict" -close_fd_mask=3 -timeout=10 -rss_limit_mb=2048 \
      -max_len="$max_len" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^Done' "$work/log" || true
  else
    status=1
    echo "!! $name failed; the end of its log:"
    tail -n 60 "$work/log"
    for artifact in "$work/artifacts"/*; do
      [ -e "$artifact" ] || continue
      echo "!! input $(basename "$artifact"), in Base64:"
      base64 -w 0 "$artifact"
      echo
    done
  fi
done
exit "$status"
