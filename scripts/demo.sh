#!/usr/bin/env bash
# Sets up and builds, starts the local fake service on a free loopback port,
# and runs the client against it: a few commands one-shot, then a short
# interactive session fed from a here-document (the "y" line answers the
# delete confirmation).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >/dev/null

coproc FAKE { exec build/fake_service --lifetime 600 --until-stdin-closes; }
read -r _ port <&"${FAKE[0]}"
trap 'kill "$FAKE_PID" 2>/dev/null || true' EXIT

export TARVO_TEST_API_URL="http://127.0.0.1:$port/api"
export TARVO_TEST_ACCOUNT_URL="http://127.0.0.1:$port"
export TARVO_API_KEY=test-key

echo "== one-shot: CREATE_PROJECT demo search"
build/tarvo-test CREATE_PROJECT demo search
echo "== one-shot: CREATE_PROJECT -h"
build/tarvo-test CREATE_PROJECT -h
echo "== interactive session"
build/tarvo-test <<'SESSION'
CREATE_PROJECT demo search
FETCH_PROJECTS
INIT_DATASET demo vectors dense 4
FETCH_DATASETS demo
INSERT_VECTOR demo vectors v1 [0.1, 0.2, 0.3, 0.4] --vector_attributes [color:red]
SEARCH demo vectors idx vector --query_vector [0.1, 0.2, 0.3, 0.4] --top_k 3
LIST_INDEX demo vectors
DELETE_PROJECT demo
y
exit
SESSION
