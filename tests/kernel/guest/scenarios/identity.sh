# Opening in both modes and the identity. The host presents two probes: one in its
# application, one in its bootloader, whose flash identity (16 bytes at 0x1020) is
# klov_bootident. OpenSCA on the bootloader must fail only after the read time-out, and its
# bootloader connection must then verify flash.
kprobe scan 2 0x1020 "$klov_bootident" || exit 1
echo "@@ klov-list $(klov list --json | tr -d '\n')"
# Which host controller driver carries each probe, and at what speed.
for dev in /sys/bus/usb/devices/*; do
    [ "$(cat "$dev/idVendor" 2>/dev/null)" = 04d8 ] || continue
    bus=$(cat "$dev/busnum")
    driver=$(readlink -f "/sys/bus/usb/devices/usb${bus}/../driver")
    echo "@@ probe-on bus=${bus} speed=$(cat "$dev/speed") hcd=${driver##*/}"
done
