#!/usr/bin/env bash
# The Windows program under Wine, checked against the Linux build: statuses and
# texts of the command line, results files byte for byte, and the port
# accesses of a sweep through the stand-in inpout32.dll.
#
#   tests/windows/wine_checks.sh build/talvik build-win
set -uo pipefail
source "$(dirname "$(realpath "$0")")/../checks.sh"
linux=$(realpath "$1")
win_dir=$(realpath "$2")
exe=$win_dir/talvik.exe
work=$(mktemp -d)
trap '[ "$WINEPREFIX" = "$work/wineprefix" ] && wineserver -k 2> /dev/null; sleep 1; rm -rf "$work"' EXIT
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$work/wineprefix}
unset TALVIK_PORT TALVIK_TRACE
export TALVIK_CAL=
cd "$work"


# Runs the Windows program; standard output and error land in out and err with
# the console's CR LF turned into LF, the status in status.
win() {
    wine "$exe" "$@" > out.raw 2> err.raw
    status=$?
    tr -d '\r' < out.raw > out
    tr -d '\r' < err.raw > err
}
empty_file() { [ -f "$1" ] && [ ! -s "$1" ]; }

wineboot -i > /dev/null 2>&1 || true

win --version
check "--version" is "$status $(cat out)" "0 $("$linux" --version)"

win --help
check "--help status" is "$status" 0
check "--help text" grep -q "TALVIK_PORT" out

win
check "usage status" is "$status" 1
check "usage on standard error" grep -q "^Usage: .*talvik.exe filename.txt \[start\] \[end\] \[step-fraction-denominator\]$" err
check "usage begins with a blank line" is "$(head -c 1 err | od -An -c | tr -d ' ')" '\n'
check "defaults text" is "$(cat out)" "$(printf 'defaults are 1MHz, 10MHz, and 20, so each step is 5%% higher in frequency.\n\nHit Control and C to cancel.')"
check "no file created" is "$(ls | grep -c '\.txt$')" 0

win no/such/dir/r.txt
check "unopenable file" is "$status $(cat err)" "1 Can't open no/such/dir/r.txt"

win r.txt 2000000 1000000
check "end below start" is "$status $(cat out)" "2 Enter end frequency higher than start frequency!"
check "end below start leaves an empty file" empty_file r.txt

win r.txt 1 30000001
check "end above 30 MHz" is "$status [$(cat out)][$(cat err)]" "1 [][end frequency 30000001 Hz is above 30 MHz]"
check "end above 30 MHz leaves an empty file" empty_file r.txt

win r.txt 0
check "step too small" is "$status $(cat out)" "3 step too small - decrease step-fraction-denominator"

win r.txt 1000000 1000000 0
check "divisor below 1" is "$status $(cat out)" "3 step-fraction-denominator must be 1 or more"

echo "earlier" > r.txt
TALVIK_PORT=/dev/parport0 win r.txt
check "ppdev refused on Windows" is "$status $(cat err)" "4 Can't open port /dev/parport0: ppdev is a Linux device; on Windows use io:0x378 (inpout32.dll)"
check "refused port leaves the file" is "$(cat r.txt)" "earlier"

# USB adapters through ftd2xx.dll, taken from the system folder only: a DLL
# beside the program is never loaded.
TALVIK_PORT=ftdi win r.txt
check "no ftd2xx.dll" is "$status" 4
check "no ftd2xx.dll says the driver is missing" grep -q "^Can't open port ftdi: ftd2xx.dll is not in the system folder: FTDI's driver is missing" err
mkdir -p planted && cp "$exe" "$win_dir/ftd2xx.dll" planted/
TALVIK_PORT=ftdi wine planted/talvik.exe r.txt > out.raw 2> err.raw
check "a DLL beside the program is not taken" grep -q "ftd2xx.dll is not in the system folder" err.raw
check "refused adapter leaves the file" is "$(cat r.txt)" "earlier"
for system in "$WINEPREFIX/drive_c/windows/system32" "$WINEPREFIX/drive_c/windows/syswow64"; do
    [ -d "$system" ] && cp "$win_dir/ftd2xx.dll" "$system/"
done
"$linux" linux-default.txt > /dev/null
for chip in H R 2232H; do
    FTD2XX_STANDIN=type=$chip TALVIK_PORT=ftdi win ftdi.txt
    check "sweep through ftd2xx.dll, FT$chip" is "$status [$(cat err)]" "0 []"
    check "results through ftd2xx.dll identical, FT$chip" cmp -s ftdi.txt linux-default.txt
done
# The USB traffic of a default sweep (48 points, start-up included).
FTD2XX_LOG=usb.log TALVIK_PORT=ftdi win ftdi.txt
read -r writes bytes reads < usb.log
echo "ftd2xx.dll, default sweep: $writes writes, $bytes bytes, $reads reads (48 points)"
# The first device by its ids (index 0), its conversions sometimes slow: a
# file of this run's own, and its status.
rm -f ftdi.txt
FTD2XX_STANDIN=slow_every=7 TALVIK_PORT=ftdi:i:0x0403:0x6014 win ftdi.txt
check "i:VID:PID finds the first device" is "$status [$(cat err)]" "0 []"
check "slow conversions through ftd2xx.dll measured again" cmp -s ftdi.txt linux-default.txt
FTD2XX_STANDIN=absent TALVIK_PORT=ftdi win r.txt
check "no adapter" is "$status $(cat err)" "4 Can't open port ftdi: no FTDI device found; is an FT232R, FT232H or FT2232H plugged in? (Device Manager lists it under USB Serial Converter)"
FTD2XX_STANDIN=in_use TALVIK_PORT=ftdi win r.txt
check "adapter in use" is "$status $(cat err)" "4 Can't open port ftdi: the FTDI device is in use; another program holds the adapter (a terminal on its COM port?): close it"
TALVIK_PORT=ftdi:d:001/004 win r.txt
check "libusb's form refused on Windows" is "$status $(cat err)" "4 Can't open port ftdi:d:001/004: d:BUS/DEV names a USB device on Linux; on Windows use i:VID:PID, i:VID:PID:INDEX or s:VID:PID:SERIAL"
FTD2XX_STANDIN=fail_read_after=5000 TALVIK_PORT=ftdi win unplugged.txt
check "adapter unplugged mid-sweep" is "$status $(cat err)" "4 Lost port ftdi: FT_Read failed (FT_IO_ERROR)"
check "unplugged: a clean prefix of the sweep" cmp -s unplugged.txt <(head -c "$(stat -c %s unplugged.txt)" linux-default.txt)

mkdir -p alone
cp "$exe" alone/
TALVIK_PORT=0x378 wine alone/talvik.exe r.txt > out.raw 2> err.raw
status=$?
check "missing inpout32.dll" is "$status" 4
check "missing inpout32.dll message" grep -q "^Can't open port 0x378: inpout32.dll not found (error 126); install InpOut32" err.raw

TALVIK_PORT=sim:busy=forever win r.txt
check "converter never ready" is "$status $(cat err)" "4 Converter not ready - check the instrument"

# Results files: the same bytes as the Linux build's.
for port in "" "sim:reply=0x4000"; do
    TALVIK_PORT=$port win win.txt
    check "sweep on sim [$port] status" is "$status" 0
    TALVIK_PORT=$port "$linux" linux.txt > /dev/null
    check "results identical to Linux [$port]" cmp -s win.txt linux.txt
done

# Through the stand-in inpout32.dll: the same accesses as the Linux trace.
INPOUT32_LOG=io.log TALVIK_PORT=0x378 win win.txt
check "sweep through inpout32.dll" is "$status" 0
TALVIK_PORT=sim:busyreads=2 TALVIK_TRACE=trace.txt "$linux" linux.txt > /dev/null
cut -d' ' -f2- trace.txt > accesses.txt
check "port accesses identical to the Linux trace" cmp -s io.log accesses.txt
check "results through inpout32.dll identical" cmp -s win.txt linux.txt

# talvik-plot: the same markers as the Linux build's.
TALVIK_PORT=sim:dut=bandpass "$linux" bp.txt 3000000 5500000 400 > /dev/null
TALVIK_PORT=sim:dut=notch "$linux" n.txt 5000000 7000000 2000 > /dev/null
"$(dirname "$linux")/talvik-plot" bp.txt n.txt > linux-markers.txt
wine "$win_dir/talvik-plot.exe" bp.txt n.txt > plot.raw 2> plot-err.raw
status=$?
tr -d '\r' < plot.raw > win-markers.txt
check "talvik-plot.exe status" is "$status" 0
check "talvik-plot.exe markers identical to Linux" cmp -s win-markers.txt linux-markers.txt
# A limit mask's verdict and status as on Linux.
printf 'unit dBm\n3.7M 4.3M lower -1.5\n3M 3.3M upper -10\n' > bp.mask
"$(dirname "$linux")/talvik-plot" --mask bp.mask bp.txt > linux-mask.txt
linux_status=$?
wine "$win_dir/talvik-plot.exe" --mask bp.mask bp.txt > mask.raw 2> mask-err.raw
status=$?
tr -d '\r' < mask.raw > win-mask.txt
check "talvik-plot.exe --mask: the verdict and status as on Linux" is "$status $(tail -2 win-mask.txt)" "$linux_status $(tail -2 linux-mask.txt)"
TALVIK_GNUPLOT='C:\\nonexistent\\gnuplot.exe' wine "$win_dir/talvik-plot.exe" -o bp.png bp.txt > plot.raw 2> plot-err.raw
status=$?
check "talvik-plot.exe without gnuplot.exe" is "$status" 1
check "talvik-plot.exe names what is missing" grep -q "gnuplot.exe not found" plot-err.raw

# talvik-probe.exe: the same findings as the Linux build's, healthy and with a fault.
for port in sim sim:fault=data-low; do
    TALVIK_PORT=$port wine "$win_dir/talvik-probe.exe" > probe.raw 2> probe-err.raw
    status=$?
    TALVIK_PORT=$port "$(dirname "$linux")/talvik-probe" > linux-probe.txt
    linux_status=$?
    tr -d '\r' < probe.raw | cut -c1-28 > win-probe.txt
    cut -c1-28 linux-probe.txt > linux-probe-cut.txt
    check "talvik-probe.exe on $port: status" is "$status" "$linux_status"
    check "talvik-probe.exe on $port: the checks' verdicts as on Linux" cmp -s win-probe.txt linux-probe-cut.txt
done

# talvik-tune.exe without a console: a line of markers a sweep and the last
# sweep saved, as on Linux; a second run never overwrites the first's save.
TALVIK_PORT=sim:dut=bandpass "$(dirname "$linux")/talvik-tune" --sweeps 2 --save linux-tuned.txt > linux-tune.txt
for k in 1 2; do
    TALVIK_PORT=sim:dut=bandpass wine "$win_dir/talvik-tune.exe" --sweeps 2 --save tuned.txt > tune.raw 2> tune-err.raw
    tune_status[$k]=$?
    tr -d '\r' < tune-err.raw > tune-err.txt
done
tr -d '\r' < tune.raw > win-tune.txt
check "talvik-tune.exe status" is "${tune_status[1]} ${tune_status[2]}" "0 0"
check "talvik-tune.exe marker lines identical to Linux" cmp -s win-tune.txt linux-tune.txt
check "talvik-tune.exe save identical to Linux" cmp -s tuned.txt linux-tuned.txt
check "talvik-tune.exe second save numbered" cmp -s tuned-2.txt linux-tuned.txt
check "talvik-tune.exe says which name it took" is "$(cat tune-err.txt)" "talvik-tune: tuned.txt is taken: saved tuned-2.txt"

# The live view in Wine's console, in a terminal tmux keeps: the console's
# modes set and given back, keys (p puts the cursor on the peak), Control-C.
panes=0
in_pane() { # COMMAND...: runs in a fresh 80x24 pane; its status lands in pane-status
    rm -f pane-status
    [ "$panes" -gt 0 ] && tmux -L "$tmux_socket" kill-server 2> /dev/null
    panes=$((panes + 1))
    tmux_socket=talvik-wine-$$-$panes # a server of its own: one exiting refuses new sessions
    tmux -L "$tmux_socket" new-session -d -s w -x 80 -y 24 -c "$work" \
        "env WINEPREFIX=$WINEPREFIX WINEDEBUG=-all TALVIK_CAL= $* ; echo \$? > pane-status.tmp; mv pane-status.tmp pane-status; sleep 60"
}
pane() { tmux -L "$tmux_socket" capture-pane -p -t w; }
wait_pane() { # TEXT: true once the pane shows it, within 30 s
    for _ in $(seq 150); do pane | grep -qF -- "$1" && return 0; sleep 0.2; done
    pane; false
}
wait_status() { for _ in $(seq 100); do [ -f pane-status ] && return 0; sleep 0.2; done; false; }
if tmux -V > /dev/null 2>&1; then
    in_pane wine "$win_dir/screen_check.exe" screen-check.txt
    wait_status
    check "Windows screen: raw keys while up, console given back" is "$(cat pane-status 2>/dev/null) $(tr -d '\r' < screen-check.txt 2>/dev/null)" "0 size 80x24, keys raw, console restored"
    in_pane TALVIK_PORT=sim:dut=bandpass wine "$win_dir/talvik-tune.exe"
    check "talvik-tune.exe draws its screen in the console" wait_pane "|-3 dB X cursor M delta"
    tmux -L "$tmux_socket" send-keys -t w p
    check "talvik-tune.exe: p puts the cursor on the peak" wait_pane "cursor 3.9355 MHz -0.02 dBm"
    tmux -L "$tmux_socket" send-keys -t w C-c
    wait_status
    check "talvik-tune.exe: Control-C quits, status 0" is "$(cat pane-status 2>/dev/null)" 0
    tmux -L "$tmux_socket" kill-server 2> /dev/null
fi

# talvik-cal.exe: a clock measured from a counter reading is kept in the file.
TALVIK_CAL=cal.txt TALVIK_PORT=sim wine "$win_dir/talvik-cal.exe" clock --counter 10000400 > cal.raw 2> cal-err.raw
status=$?
check "talvik-cal.exe clock status" is "$status" 0
check "talvik-cal.exe keeps the clock" grep -q "^clock_hz = 100004000" cal.txt

report "Windows checks under Wine:" wine
