#!/usr/bin/env bash
# The layout check refuses an include its table does not allow, and only that.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/checks.sh"
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/docs" "$root/tune" "$root/instrument" "$root/results"
cp "$here/../docs/layout.md" "$root/docs/"
printf '#include "measure/point.hpp"\n#include "tune/tune.hpp"\n' > "$root/tune/a.cpp"
printf '#include "common/text.hpp"\n' > "$root/instrument/sim.hpp"
check "allowed includes pass" bash "$here/layout_check.sh" "$root"
printf '#include "app/settings.hpp"\n' >> "$root/tune/a.cpp"
out=$(bash "$here/layout_check.sh" "$root")
check "a tool using talvik's own folder is refused" test $? -eq 1
check "the refusal names the file and the rule" is "$out" \
    "$root/tune/a.cpp:3: tune/ may not use app/ (docs/layout.md)"
printf '#include "common/text.hpp"\n' > "$root/tune/a.cpp"
printf '#include "link/port.hpp"\n' > "$root/instrument/sim.hpp"
check "the simulated hardware may not use the link" bash -c "! bash '$here/layout_check.sh' '$root' > /dev/null"
printf '#include "markers/markers.hpp"\n' > "$root/instrument/sim.hpp"
printf '#include "markers/markers.hpp"\n' > "$root/results/r.cpp"
out=$(bash "$here/layout_check.sh" "$root" | wc -l)
check "every stray include is named" is "$out" "2"
report "Layout checks:" layout
