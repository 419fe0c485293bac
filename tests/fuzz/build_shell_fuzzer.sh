#!/usr/bin/env bash
# Builds the libFuzzer target over the shell's scanner and grammar with
# clang, AddressSanitizer and UndefinedBehaviorSanitizer, by hand (the CMake
# build does not know it). Then run it, for example:
#   build-fuzz/shell_fuzzer -dict=tests/fuzz/shell.dict -close_fd_mask=3 \
#       -max_total_time=300 -max_len=4096 -timeout=10 build-fuzz/corpus
set -euo pipefail
cd "$(dirname "$0")/../.."
out=${FUZZ_BUILD_DIR:-build-fuzz}
mkdir -p "$out/gen" "$out/corpus"

bison -o "$out/gen/parser.tab.cpp" --defines="$out/gen/parser.tab.hpp" src/shell/parser.y
flex -o "$out/gen/lexer.yy.cpp" src/shell/lexer.l

flags=(-std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
       -Isrc -Isrc/shell -I"$out/gen")
sources=(tests/fuzz/shell_fuzzer.cpp "$out/gen/parser.tab.cpp" "$out/gen/lexer.yy.cpp"
         src/net/http.cpp src/editor/line_editor.cpp)
for f in src/shell/*.cpp src/client/*.cpp; do
  case "$f" in
    src/shell/main.cpp|src/client/addresses_release.cpp) ;;
    *) sources+=("$f") ;;
  esac
done
clang++ "${flags[@]}" -w "${sources[@]}" -o "$out/shell_fuzzer" \
  $(pkg-config --libs libedit) -lcurl -lz -lcrypto -lpthread

# A few seed lines.
i=0
while IFS= read -r line; do
  printf '%s' "$line" > "$out/corpus/seed$((i++))"
done <<'SEEDS'
HELP
FETCH_PROJECTS
CREATE_PROJECT p search
ATTACH_INDEX p d i L2 yes
INIT_DATASET p d sparse 64
DELETE_INDEX p d i
INSERT_VECTOR p d id [1, 2.5] --vector_attributes [a:b]
INSERT_VECTOR p d id [3:0.5, 1:2,]
INSERT_VECTOR_BATCH p d [a, b] [[1:0.5],[2:0.7]] --vector_attributes [[k:x],[k:y]]
INSERT_VECTOR_BATCH p d [a] [,[1,2]]
DELETE_VECTOR p d [a,b]
SEARCH p d i vector --query_vector [0.1, 0.2] --top_k=3 --target_values [x,]
UPLOAD p f --file_format csv --has_field_names YES --attributes [a] --binary_dim 12abc
SEEDS
echo "built $out/shell_fuzzer"
