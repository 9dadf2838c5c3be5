#!/usr/bin/env bash
# The packages as a user gets them: the Debian package's files, its programs'
# versions and manual pages, lintian; the Windows zip's programs under Wine
# and the DLLs they import.
#
#   tests/packaging/package_checks.sh build build-win
set -uo pipefail
source "$(dirname "$(realpath "$0")")/../checks.sh"
build=$(realpath "$1")
win=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$work/wineprefix}


# The one version: the project's, as the program built says it.
version=$("$build/talvik" --version | cut -d' ' -f2)
arch=$(dpkg --print-architecture)

deb=$build/talvik_${version}_${arch}.deb
rm -f "$deb"
(cd "$build" && cpack -G DEB > "$work/cpack-deb.log" 2>&1)
check "cpack builds the Debian package" test $? -eq 0 -a -f "$deb"
dpkg-deb -x "$deb" "$work/root"
echo "talvik_${version}_${arch}.deb holds:"
(cd "$work/root" && find . -type f | sort | sed 's/^/  /')
echo "  depends: $(dpkg-deb -f "$deb" Depends)"
echo "  recommends: $(dpkg-deb -f "$deb" Recommends)"
for program in talvik talvik-plot talvik-tune talvik-probe talvik-cal; do
    check "$program in the package" is "$("$work/root/usr/bin/$program" --version)" "$program $version"
    page=$work/root/usr/share/man/man1/$program.1.gz
    check "$program's manual page" test -f "$page"
    man --warnings -l "$page" > /dev/null 2> "$work/man-warnings"
    check "$program's manual page renders without warnings" is "$(cat "$work/man-warnings")" ""
    check "$program's manual page shows the version" zgrep -q "talvik $version" "$page"
done
for file in usr/lib/udev/rules.d/60-talvik-ftdi.rules usr/share/doc/talvik/examples/60-talvik-gpio.rules \
    usr/share/doc/talvik/copyright usr/share/doc/talvik/README.md usr/share/doc/talvik/docs/gpio.md \
    usr/share/doc/talvik/changelog.Debian.gz usr/share/doc/talvik/default-sweep.png; do
    check "$file in the package" test -f "$work/root/$file"
done
check "no udev rule for GPIO lines installed" test ! -e "$work/root/usr/lib/udev/rules.d/60-talvik-gpio.rules"
# One package for Debian 12 and 13: only libraries both ship under one name.
# These differ between the two (libgpiod2 became libgpiod3; ncurses 5 is gone).
depends=$(dpkg-deb -f "$deb" Depends)
for name in libgpiod2 libgpiod3 libncurses5 libtinfo5; do
    check "depends on no $name (named otherwise in Debian 12 or 13)" \
        test -z "$(tr ',' '\n' <<< "$depends" | sed 's/^ *//; s/[ (].*//' | grep -x "$name")"
done
check "depends on only libraries Debian 12 and 13 both name so" \
    is "$(tr ',' '\n' <<< "$depends" | sed 's/^ *//; s/[ (].*//' | grep -vxE 'libc6|libstdc\+\+6|libgcc-s1|libftdi1-2|libncurses6|libtinfo6')" ""
check "gnuplot recommended" is "$(dpkg-deb -f "$deb" Recommends)" "gnuplot-nox"
check "section electronics" is "$(dpkg-deb -f "$deb" Section)" "electronics"
lintian "$deb" > "$work/lintian" 2>&1
check "lintian runs" test $? -ne 127
echo "lintian:"
grep -v 'running with root privileges' "$work/lintian" | sed 's/^/  /'
check "lintian reports no errors" test -z "$(grep '^E:' "$work/lintian")"

zip=$win/talvik-$version-win32.zip
rm -f "$zip"
(cd "$win" && cpack -G ZIP > "$work/cpack-zip.log" 2>&1)
check "cpack builds the Windows zip" test $? -eq 0 -a -f "$zip"
(cd "$work" && unzip -q "$zip")
dir=$work/talvik-$version-win32
wineboot -i > /dev/null 2>&1 || true
for program in talvik talvik-plot talvik-tune talvik-probe talvik-cal; do
    out=$(wine "$dir/$program.exe" --version 2> /dev/null | tr -d '\r')
    check "$program.exe from the zip" is "$out" "$program $version"
    imports=$(i686-w64-mingw32-objdump -p "$dir/$program.exe" | awk '/DLL Name/ {print $3}' | sort -u | tr '\n' ' ')
    check "$program.exe imports only what every Windows has" is "$imports" "KERNEL32.dll msvcrt.dll "
done
(cd "$dir" && TALVIK_CAL= TALVIK_PORT=sim wine ./talvik.exe r.txt > /dev/null 2>&1)
check "a sweep from the unzipped talvik.exe" test -s "$dir/r.txt"
check "README.txt has CR LF line ends" grep -q $'\r$' "$dir/README.txt"
check "the guide's Windows page in the zip" grep -q $'\r$' "$dir/docs/windows.txt"
check "LICENSE.txt in the zip" grep -q "MIT License" "$dir/LICENSE.txt"

report "Package checks:" packages
