#!/usr/bin/env bash
# Every #include of the sources under ROOT obeys the layout's table in
# ROOT/docs/layout.md: a folder uses its own headers and those its row lists.
set -u
root=${1:-.}
declare -A allowed
while IFS='|' read -r _ folder _ uses _; do
    folder=$(echo "$folder" | tr -d ' `/')
    [ -n "$folder" ] || continue
    allowed[$folder]="$folder $(echo "$uses" | tr -d ',')"
done < <(grep -E '^\| `[a-z]+/` \|' "$root/docs/layout.md")
[ ${#allowed[@]} -gt 0 ] || { echo "no layout table in $root/docs/layout.md"; exit 1; }
bad=0
for folder in "${!allowed[@]}"; do
    [ -d "$root/$folder" ] || continue
    while IFS=: read -r file line used; do
        used=${used#*\"}
        used=${used%%/*}
        case " ${allowed[$folder]} " in
        *" $used "*) ;;
        *)
            echo "$file:$line: $folder/ may not use $used/ (docs/layout.md)"
            bad=1
            ;;
        esac
    done < <(grep -HnoE '^#include "[a-z_]+/' "$root/$folder"/*.cpp "$root/$folder"/*.hpp "$root/$folder"/*.in 2>/dev/null)
done
exit $bad
