# The cable pulled during the flash phase (the host does it), then put back: the first update
# must fail, the probe must come back in its bootloader, and an update given the serial
# number from the label must bring it back.
klov update --yes >/tmp/first.log 2>&1
first=$?
grep -v '%' /tmp/first.log
echo "@@ first status=${first}"

tries=0
until klov list 2>/dev/null | grep -q bootloader; do
    tries=$((tries + 1))
    [ "$tries" -ge 100 ] && { echo "@@ no probe in its bootloader"; exit 1; }
    sleep 0.2
done

echo "@@ mark recovery-start"
klov update --serial "$klov_serial" --yes >/tmp/recovery.log 2>&1
recovery=$?
echo "@@ mark recovery-end status=${recovery}"
grep -v '%' /tmp/recovery.log
echo "@@ klov-info $(klov info --json | tr -d '\n')"
[ "$first" -ne 0 ] && [ "$recovery" -eq 0 ]
