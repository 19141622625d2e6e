# Opening in both modes and the identity. The host presents two probes: one in its
# application, one in its bootloader, whose flash identity (16 bytes at 0x1020) is
# klov_bootident. OpenSCA on the bootloader must fail only after the read time-out, and its
# bootloader connection must then verify flash.
kprobe scan 2 0x1020 "$klov_bootident" || exit 1
echo "@@ klov-list $(klov list --json | tr -d '\n')"
