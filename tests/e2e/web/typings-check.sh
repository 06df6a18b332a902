#!/usr/bin/env bash
# Packs clients/web with npm pack, installs the tarball into a scratch
# project, loads its ES module in Node and compiles a TypeScript consumer
# against its declarations with tsc --strict --noEmit. Exit 77 (skipped)
# without node.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
client=$(cd "$here/../../../clients/web" && pwd)
if ! command -v node > /dev/null || ! command -v npm > /dev/null; then
  echo "SKIPPED: node and npm are not installed"
  exit 77
fi
"$here/node-modules.sh"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
tarball=$(cd "$client" && npm pack --silent --pack-destination "$scratch")
mkdir -p "$scratch/project/node_modules/talvex-card"
tar -xzf "$scratch/$tarball" -C "$scratch/project/node_modules/talvex-card" --strip-components=1
echo "packed $tarball:"; (cd "$scratch/project/node_modules/talvex-card" && find . -type f | sort)
cp "$client/test/consumer.ts" "$scratch/project/"
cat > "$scratch/project/package.json" <<'JSON'
{ "name": "consumer", "private": true, "type": "module" }
JSON
cat > "$scratch/project/tsconfig.json" <<'JSON'
{
  "compilerOptions": {
    "strict": true, "noEmit": true, "target": "es2022", "module": "nodenext",
    "moduleResolution": "nodenext", "lib": ["es2022", "dom"], "types": []
  },
  "files": ["consumer.ts"]
}
JSON
cd "$scratch/project"
node --input-type=module -e "
  const m = await import('talvex-card');
  for (const name of ['readCard', 'watchCards', 'parseCardBody', 'TalvexUnreachableError'])
    if (typeof m[name] !== 'function') throw new Error(name + ' is not exported');
  console.log('ES module loads: ' + Object.keys(m).length + ' exports');"
"$here/node_modules/.bin/tsc" --strict --noEmit -p tsconfig.json
echo "tsc --strict --noEmit: the consumer compiles"
