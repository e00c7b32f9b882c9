#!/usr/bin/env bash
# The web client module (clients/js) outside a browser:
#   client_js.sh import WORK VERSION   both builds import in Node without a DOM; the
#                                      package's version is VERSION; answers through fetch
#   client_js.sh types WORK            its .d.ts checked by tsc --noEmit on usage.ts
# WORK is a folder of the build tree; TypeScript is installed there from npm once.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
client=$(cd "$here/../../clients/js" && pwd)
typescript_version=5.9.3

[ $# -ge 2 ] || { echo "usage: $0 import|types WORK [VERSION]" >&2; exit 2; }
what=$1 work=$2
mkdir -p "$work"
work=$(cd "$work" && pwd)

case "$what" in
  import)
    node "$client/build-global.mjs" "$work/qelt-agent-client.global.js"
    node "$here/import_test.mjs" "$client" "$work/qelt-agent-client.global.js" "${3:?VERSION}"
    ;;
  types)
    tsc_dir="$work/typescript-$typescript_version"
    if [ ! -x "$tsc_dir/node_modules/.bin/tsc" ]; then
      rm -rf "$tsc_dir.part"
      npm install --prefix "$tsc_dir.part" --no-audit --no-fund --no-package-lock --silent \
        "typescript@$typescript_version"
      mv "$tsc_dir.part" "$tsc_dir"
    fi
    cat >"$work/tsconfig.json" <<JSON
{
  "compilerOptions": {
    "strict": true, "noEmit": true, "target": "es2022", "module": "es2022",
    "moduleResolution": "bundler", "lib": ["es2022", "dom"],
    "paths": { "qelt-agent-client": ["$client/qelt-agent-client.d.ts"] }
  },
  "files": ["$here/usage.ts"]
}
JSON
    "$tsc_dir/node_modules/.bin/tsc" -p "$work/tsconfig.json"
    echo "tsc $typescript_version: $(basename "$here")/usage.ts checks against qelt-agent-client.d.ts"
    ;;
  *) echo "client_js.sh: no test $what" >&2; exit 2 ;;
esac
