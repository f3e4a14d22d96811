#!/usr/bin/env bash
# Installs playwright-core from the lock file when it is missing, then runs the page test
# with Node's test runner.
set -euo pipefail
cd "$(dirname "$0")"
[ -d node_modules/playwright-core ] || npm ci --no-audit --no-fund
exec node --test page_test.mjs
