#!/usr/bin/env bash
# Every relative link in the project's Markdown files resolves: the file or folder is there, and a
# "#heading" names a heading of that file (as GitHub makes anchors: lower case, punctuation other
# than '-' dropped, spaces as '-'). Prints each broken link and fails if there is one.
set -uo pipefail
cd "$(dirname "$0")/.."
anchors() {
  sed -n 's/^#\{1,6\} \(.*\)$/\1/p' "$1" | tr '[:upper:]' '[:lower:]' |
    sed -e 's/[^a-z0-9 _-]//g' -e 's/ /-/g'
}
bad=0
while read -r doc; do
  dir=$(dirname "$doc")
  while read -r link; do
    case $link in http://* | https://* | mailto:*) continue ;; esac
    path=${link%%#*}
    anchor=
    [[ $link == *'#'* ]] && anchor=${link#*#}
    target=$doc
    [ -n "$path" ] && target="$dir/$path"
    if [ ! -e "$target" ]; then
      echo "$doc: $link: no such file"; bad=1
    elif [ -n "$anchor" ] && ! anchors "$target" | grep -qx -- "$anchor"; then
      echo "$doc: $link: no such heading"; bad=1
    fi
  done < <(grep -o '](\([^)]*\))' "$doc" | sed 's/^](\(.*\))$/\1/')
done < <(git ls-files --cached --others --exclude-standard '*.md')
exit $bad
