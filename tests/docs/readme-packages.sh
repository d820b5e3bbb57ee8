#!/usr/bin/env bash
# The real-logger recipe in README.md installs exactly the packages of scripts/setup's run and real
# groups, so that the two lists do not drift apart.
#
# usage: readme-packages.sh [REPOSITORY]
set -euo pipefail
root=${1:-$(dirname "$0")/../..}
# The apt-get install command with its continuation lines, one package per line, options dropped.
readme=$(awk '/apt-get install/ {on = 1} on {print; if ($0 !~ /\\$/) exit}' "$root/README.md" |
  tr -d '\\\n' | sed 's/.*apt-get install//' | tr -s ' ' '\n' | grep -v -e '^-' -e '^$' | sort || true)
setup=$("$root/scripts/setup" --list run real | tr ' ' '\n' | sort)
if [ -z "$readme" ]; then
  echo "readme-packages: README.md has no apt-get install command"
  exit 1
fi
if [ "$readme" != "$setup" ]; then
  echo "readme-packages: README.md's apt-get install and 'scripts/setup --list run real' differ:"
  diff <(echo "$readme") <(echo "$setup") | sed -n 's/^</  only in README.md:/p; s/^>/  only in scripts\/setup:/p'
  exit 1
fi
echo "readme-packages: README.md and scripts/setup agree on $(wc -l <<<"$setup") packages"
