#!/usr/bin/env bash
# Checks that the folders of src/ layer from the bottom up: a file may include headers
# of its own folder and of folders on a lower level, never of its level or above, so
# that no two folders include each other.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A level=([base]=0 [config]=1 [net]=1 [stats]=2 [rist]=3 [core]=4 [talkback]=4 [srt]=5 [web]=5 [app]=6)

echo "=== folder layering check"
status=0
while IFS=: read -r file _ included; do
  from=$(cut -d/ -f2 <<<"$file")
  to=$(sed -E 's/.*"([a-z]+)\/.*/\1/' <<<"$included")
  [[ $from == "$to" ]] && continue
  if [[ -z ${level[$from]:-} || -z ${level[$to]:-} ]]; then
    echo "$file: folder $from or $to has no level in $0"
    status=1
  elif ((level[$to] >= level[$from])); then
    echo "$file includes $to/, which is not below $from/"
    status=1
  fi
done < <(grep -rn '^#include "[a-z]*/' src)
exit $status
