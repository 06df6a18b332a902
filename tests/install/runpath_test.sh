#!/usr/bin/env bash
# No program or library of the build tree or of an installed tree searches
# the working directory for libraries: no RPATH or RUNPATH has an empty
# entry (a leading, trailing or doubled ':') or a "." entry.
#   runpath_test.sh BUILD_DIR
set -euo pipefail
build=$1
command -v readelf >/dev/null || { echo "readelf (binutils) is missing"; exit 77; }
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

failures=0
checked=0
check_tree() {
  local file paths
  while IFS= read -r -d '' file; do
    [[ $(head -c 4 "$file" | od -An -c | tr -d ' ') == 177ELF ]] || continue
    checked=$((checked + 1))
    paths=$(readelf -d "$file" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]$/\2/p')
    [[ -z $paths ]] && continue
    if [[ $paths == :* || $paths == *: || $paths == *::* || ":$paths:" == *:.:* ]]; then
      echo "searches the working directory: $file: [$paths]"
      failures=$((failures + 1))
    fi
  done < <(find "$1" -type f -print0)
}
check_tree "$build/bin"
check_tree "$prefix"
server=$prefix/bin/talvex-server
readelf -d "$server" | grep -q 'RUNPATH.*\[\$ORIGIN/../lib/talvex\]' ||
  { echo "the installed server's RUNPATH is not \$ORIGIN/../lib/talvex"; failures=$((failures + 1)); }
echo "checked $checked ELF files"
((failures == 0))
