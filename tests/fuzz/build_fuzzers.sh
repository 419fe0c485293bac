#!/usr/bin/env bash
# Builds every libFuzzer target into build-fuzz/ (or $FUZZ_BUILD_DIR) with
# clang, AddressSanitizer and UndefinedBehaviorSanitizer:
#   shell_fuzzer    the command line (built by build_shell_fuzzer.sh)
#   answers_fuzzer  the service's answers to every handler
#   upload_fuzzer   the upload readers, checked against what the service decodes
# Run one by hand, for example:
#   build-fuzz/answers_fuzzer -dict=tests/fuzz/answers.dict -close_fd_mask=3 \
#       -timeout=10 -max_total_time=600 my_corpus tests/fuzz/corpus/answers
set -euo pipefail
cd "$(dirname "$0")/../.."
out=${FUZZ_BUILD_DIR:-build-fuzz}
export FUZZ_BUILD_DIR=$out

tests/fuzz/build_shell_fuzzer.sh

# The client is instrumented for coverage; the fake service and its script
# run on the server's thread and are built with the sanitizers only.
objects="$out/answers_obj"
rm -rf "$objects"
mkdir -p "$objects"
common=(-std=c++17 -g -O1 -fno-omit-frame-pointer -fno-sanitize-recover=undefined
        -Isrc -Itests -Itests/fuzz $(pkg-config --cflags cpp-httplib))
covered=(-fsanitize=fuzzer-no-link,address,undefined)
plain=(-fsanitize=address,undefined)

jobs=()
for f in src/client/*.cpp src/net/http.cpp src/editor/line_editor.cpp \
         tests/fuzz/answers_fuzzer.cpp tests/fuzz/upload_fuzzer.cpp; do
  case "$f" in src/client/addresses_release.cpp) continue ;; esac
  jobs+=("covered $f")
done
for f in tests/fake/fake_service.cpp tests/fuzz/scripted_service.cpp; do
  jobs+=("plain $f")
done

compile() {
  local kind=$1 src=$2 obj
  obj="$objects/$(echo "$src" | tr / _).o"
  if [ "$kind" = covered ]; then
    clang++ "${common[@]}" "${covered[@]}" -c "$src" -o "$obj"
  else
    clang++ "${common[@]}" "${plain[@]}" -c "$src" -o "$obj"
  fi
}

pids=()
for job in "${jobs[@]}"; do
  # shellcheck disable=SC2086
  compile $job &
  pids+=($!)
  if [ "${#pids[@]}" -ge "$(nproc)" ]; then
    wait "${pids[0]}"
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do wait "$pid"; done

# Each target links the shared objects with its own harness.
shared=()
for obj in "$objects"/*.o; do
  case "$obj" in
    *_fuzzer.cpp.o|*scripted_service.cpp.o) ;;
    *) shared+=("$obj") ;;
  esac
done
link() {
  local name=$1
  shift
  clang++ -fsanitize=fuzzer,address,undefined "${shared[@]}" "$@" -o "$out/$name" \
    $(pkg-config --libs cpp-httplib libedit) -lcurl -lssl -lcrypto -lz -lpthread
  echo "built $out/$name"
}
link answers_fuzzer "$objects/tests_fuzz_answers_fuzzer.cpp.o" "$objects/tests_fuzz_scripted_service.cpp.o"
link upload_fuzzer "$objects/tests_fuzz_upload_fuzzer.cpp.o"
