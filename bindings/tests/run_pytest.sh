#!/bin/sh
# Runs pytest in a fresh temporary directory, which is also its base for
# temporary files, and removes it afterwards: the tests leave nothing behind
# (pytest keeps its own temporary folders, and record collections write
# ErrRec.doc into the current directory).
#   run_pytest.sh PYTHON3 PYTEST-ARGUMENTS...
python=$1
shift
dir=$(mktemp -d) || exit 1
cd "$dir" || exit 1
"$python" -m pytest --basetemp="$dir/pytest" "$@"
status=$?
cd / && rm -rf "$dir"
exit $status
