#!/usr/bin/env sh
# Prints the Python that builds and tests the project: 3.13 first (pyenv's build, then the
# system's), a newer 3.x only when there is no 3.13. Each must have venv. Prints nothing and
# exits 1 when there is none.
root="$(pyenv root 2>/dev/null)"
for want in 'v[:2] == (3, 13)' 'v[:2] > (3, 13)'; do
  for c in "$root"/versions/3.1[3-9]*/bin/python3 \
           "$HOME"/.pyenv/versions/3.1[3-9]*/bin/python3 \
           python3.13 python3.14 python3.15 python3; do
    if command -v "$c" >/dev/null 2>&1 &&
       "$c" -c "import sys, venv; v = sys.version_info; sys.exit(not ($want))" 2>/dev/null; then
      echo "$c"
      exit 0
    fi
  done
done
exit 1
