# Device order on the real kernel: two probes in their application; which index each has
# before and after the restart of the one at index 1, in one process and in fresh ones.
bus_order() {
    echo "@@ dir $1 $(find /dev/bus/usb/001 -type c | sed 's|.*/||' | tr '\n' ' ')"
}
kprobe list fresh-before || exit 1
bus_order before
kprobe restart 1 || exit 1
kprobe list fresh-after || exit 1
bus_order after
