#!/usr/bin/env bash
# One full interactive session of the real binary under valgrind's memcheck,
# against the fake service: no invalid access and no definite leak allowed.
#   session.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'kill "$FAKE_PID" 2>/dev/null || true; rm -rf "$work"' EXIT

coproc FAKE { exec "$build/fake_service" --lifetime 300 --until-stdin-closes; }
read -r _ port <&"${FAKE[0]}"
export TARVO_TEST_API_URL="http://127.0.0.1:$port/api"
export TARVO_TEST_ACCOUNT_URL="http://127.0.0.1:$port"
export TARVO_API_KEY=test-key
export SHARD_SIZE=64

printf 'id,a,b\n1,0.5,1.5\n2,2.5,3.5\n3,4.5,5.5\n' > "$work/data.csv"

valgrind --quiet --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=9 \
  "$build/tarvo-test" > "$work/out" 2> "$work/err" <<SESSION
UPLOAD p $work/data.csv --dataset_name d --file_format csv --vector_type dense --has_field_names true
CREATE_PROJECT p search
FETCH_PROJECTS
INIT_DATASET p d dense 2
FETCH_DATASETS p
INSERT_VECTOR p d v [1, 2]
INSERT_VECTOR p d s [1:0.5]
INSERT_VECTOR_BATCH p d [a, b] [[1, 2], [3, 4]]
INSERT_VECTOR_BATCH p d [a, b] [[1:2], [3:4]]
SEARCH p d i vector --query_vector [1, 2] --top_k 3
DELETE_VECTOR p d [a]
ATTACH_INDEX p d i l2
LIST_INDEX p d
DELETE_PROJECT p
y
BOGUS [ unbalanced
HELP
exit
SESSION
status=$?
if [ $status -ne 0 ] || grep -q '==[0-9]*==' "$work/err"; then
  cat "$work/err"
  exit 1
fi
grep -q '^Bye!$' "$work/out"
grep -q 'Successfully uploaded file to dataset' "$work/out"
echo "memcheck: clean session"
