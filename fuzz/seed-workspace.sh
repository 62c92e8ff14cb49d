# Sourced by a fuzz seed script after it has set `seeds` to the name of its seed folder:
#   seeds=cert; . "$(dirname "$0")/../seed-workspace.sh"
# Afterwards `here` is the script's folder and `out` its emptied seed folder here/seeds/$seeds; the
# script goes on in a temporary folder removed on exit, without an openssl configuration file.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out="$here/seeds/$seeds"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out"
mkdir -p "$out"
cd "$work"
export OPENSSL_CONF=/dev/null
