#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

# Besides the build: GoogleTest, both manual-page checkers, the shells whose completions are
# tested, and the schema validator.
scripts/setup.sh libgtest-dev groff-base mandoc zsh fish python3-jsonschema
cmake --workflow --preset ci
