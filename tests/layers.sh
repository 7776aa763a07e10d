#!/usr/bin/env bash
# Every include of src/ runs downwards: base < protocol < status < capture < server < service, the
# client uses only base and protocol, and a portable header includes no Windows-only one. Prints each include that breaks this and fails if there is any. The build's link checks
# (tolm_<layer>_link_check) catch a call that runs upwards; this catches what linking cannot see:
# an include of a header that defines everything inline, and the portable headers' rule.
set -uo pipefail
cd "$(dirname "$0")/../src"
rank() {
  case $1 in
    base) echo 0 ;; protocol) echo 1 ;; status) echo 2 ;; capture) echo 3 ;; server) echo 4 ;;
    service) echo 5 ;; *) echo 9 ;;
  esac
}
bad=0
for file in */*.h */*.cpp; do
  from=${file%%/*}
  while read -r included; do
    to=${included%%/*}
    if [ "$from" = client ]; then
      case $to in base | protocol | client) continue ;; esac
    elif [ "$(rank "$to")" -le "$(rank "$from")" ]; then
      continue
    fi
    echo "$file includes $included"; bad=1
  done < <(sed -n 's/^#include "\([a-z_]*\/[a-z_]*\.h\)"$/\1/p' "$file")
  if [[ $file == *.h ]] && head -1 "$file" | grep -q '^// Portable'; then
    for included in $(sed -n 's/^#include "\([a-z_/]*\.h\)"$/\1/p' "$file") '<windows.h>'; do
      if [ "$included" = '<windows.h>' ]; then
        grep -q '^#include <windows.h>' "$file" && { echo "$file (portable) includes <windows.h>"; bad=1; }
      elif head -1 "$included" | grep -q '^// Windows only'; then
        echo "$file (portable) includes $included (Windows only)"; bad=1
      fi
    done
  fi
done
exit $bad
