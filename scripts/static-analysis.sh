#!/usr/bin/env bash
# clang-tidy (checks in .clang-tidy) and cppcheck over the program and the stand-in host, and
# clang-format 14 (.clang-format) over every tracked C and C++ source. Any finding fails. Uses the
# clang build's compile commands (the fuzz preset configures them).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh clang-14 clang-tidy-14 clang-format-14 libclang-rt-14-dev cppcheck git
cmake --preset fuzz >/dev/null
sources=(control-cli/src/*.cpp control-cli/src/*/*.cpp control-cli/stub/*.cpp control-cli/tools/*.cpp)

echo "== clang-tidy"
status=0
for source in "${sources[@]}"; do
    clang-tidy-14 --quiet -p build/fuzz "$source" 2>/dev/null || status=1
done

echo "== cppcheck"
cppcheck --enable=warning,style,performance,portability --std=c++20 --inline-suppr \
    --error-exitcode=1 --quiet -I control-cli/src -I build/fuzz/control-cli/generated \
    control-cli/src control-cli/stub control-cli/tools || status=1

echo "== clang-format"
# The benchmarks' C programs (bench/*.c, *.h) keep their own compact C style.
git ls-files -z -- '*.cpp' '*.hpp' '*.c' '*.h' ':!:bench/*.c' ':!:bench/*.h' |
    xargs -0 clang-format-14 --dry-run --Werror || status=1

[ $status -eq 0 ] && echo "static analysis: clean"
exit $status
