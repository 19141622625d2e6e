#!/usr/bin/env bash
# Builds the test guest from Debian packages and the host's build:
#   - the kernel: the package linux-image-amd64 depends on, fetched with apt-get download
#     and cached (its vmlinuz and USB modules only) under OUT/kernel/<package>/;
#   - the initramfs OUT/initramfs.cpio.gz: busybox-static, the USB host controller modules,
#     the shipping libArdellix.so.1, Debian's libusb-0.1.so.4, klov, kprobe, the init script,
#     the scenarios and every shared library those programs need, copied from this machine.
# Nothing comes from anywhere but Debian's archive and this machine.
#
# usage: make_guest.sh OUT KLOV LIBARDELLIX KPROBE
set -euo pipefail

if (($# != 4)); then
    echo "usage: $0 OUT KLOV LIBARDELLIX KPROBE" >&2
    exit 64
fi
out=$1
klov=$2
ardellix=$3
kprobe=$4
here=$(cd "$(dirname "$0")" && pwd)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)
# Host controller drivers the guest loads (dependencies are found in the modules themselves).
wanted_modules=(xhci-pci ehci-pci uhci-hcd)

mkdir -p "$out/kernel"
out=$(cd "$out" && pwd)

as_root() {
    if [[ $(id -u) -eq 0 ]]; then
        "$@"
    else
        sudo -n "$@"
    fi
}

kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -n 1
}

# --- the kernel -------------------------------------------------------------------------
# The kernel proper out of its compressed boot image, when it has a PVH entry point: QEMU then
# starts it directly, and the guest does not spend seconds of emulated time decompressing it.
extract_vmlinux() {
    local image=$1 dest=$2 magic tool offset
    for magic in '\xFD7zXZ\x00:xz' '\x28\xB5\x2F\xFD:zstd' '\x1F\x8B\x08:gzip'; do
        tool=${magic##*:}
        command -v "$tool" >/dev/null || continue
        for offset in $(LC_ALL=C grep -aboP "${magic%:*}" "$image" | cut -d: -f1); do
            tail -c "+$((offset + 1))" "$image" | "$tool" -dc >"$dest" 2>/dev/null
            if [[ $(head -c 4 "$dest" | od -An -tx1 | tr -d ' ') == 7f454c46 ]] &&
                readelf -n "$dest" 2>/dev/null | grep -q 'note type: (0x00000012)'; then
                return 0
            fi
        done
    done
    rm -f "$dest"
    return 1
}

package=$(kernel_package)
if [[ -z $package ]]; then
    # A machine whose package lists were never fetched knows no kernel package.
    echo "make_guest: no package lists for linux-image-amd64, running apt-get update"
    as_root apt-get update -qq || true
    package=$(kernel_package)
fi
if [[ -z $package ]]; then
    # Offline: the newest kernel already cached will do.
    package=$(for f in "$out"/kernel/*/vmlinuz; do
        [[ -f $f ]] && basename "$(dirname "$f")"
    done | sort -V | tail -n 1)
    if [[ -z $package ]]; then
        echo "make_guest: cannot tell which kernel linux-image-amd64 depends on" >&2
        exit 1
    fi
    echo "make_guest: package lists unavailable, using the cached $package"
fi
cache=$out/kernel/$package
if [[ ! -f $cache/vmlinuz ]]; then
    echo "make_guest: fetching $package"
    rm -rf "$cache.tmp"
    mkdir -p "$cache.tmp"
    (cd "$cache.tmp" && apt-get download -q "$package" >/dev/null 2>&1 ||
        { cd "$cache.tmp" && apt-get download "$package"; })
    deb=$(ls "$cache.tmp"/*.deb)
    mkdir -p "$cache.tmp/x"
    dpkg-deb --fsys-tarfile "$deb" |
        tar -x -C "$cache.tmp/x" --wildcards './boot/vmlinuz-*' './lib/modules/*/kernel/drivers/usb/*'
    mkdir -p "$cache.tmp/modules"
    cp "$cache.tmp"/x/boot/vmlinuz-* "$cache.tmp/vmlinuz"
    find "$cache.tmp/x/lib/modules" -name '*.ko*' -exec cp {} "$cache.tmp/modules/" \;
    echo "$(dpkg-deb -f "$deb" Version)" >"$cache.tmp/version"
    extract_vmlinux "$cache.tmp/vmlinuz" "$cache.tmp/vmlinux" || true
    rm -rf "$cache.tmp/x" "$deb"
    rm -rf "$cache"
    mv "$cache.tmp" "$cache"
    # Kernels that linux-image-amd64 no longer depends on are of no further use.
    for old in "$out"/kernel/*; do
        [[ $old == "$cache" ]] || rm -rf "$old"
    done
fi
echo "make_guest: kernel $package $(cat "$cache/version")$([[ -f $cache/vmlinux ]] && echo ', started through its PVH entry')"

# A module's file (plain, .xz or .zst) made plain into $2; its name uses - or _ alike.
module_file() {
    local name=$1 f
    for f in "$cache/modules/$name".ko* "$cache/modules/${name//-/_}".ko* \
        "$cache/modules/${name//_/-}".ko*; do
        [[ -f $f ]] && { echo "$f"; return 0; }
    done
    return 1
}
module_depends() {
    strings -a "$1" | sed -n 's/^depends=//p' | tr ',' ' '
}

# --- the root file system ---------------------------------------------------------------
root=$out/root
rm -rf "$root"
mkdir -p "$root"/{usr/bin,usr/lib/"$multiarch",usr/lib64,usr/lib/modules/klov,etc/klov,proc,sys,dev,tmp}
ln -s usr/bin "$root/bin"
ln -s usr/bin "$root/sbin"
ln -s usr/lib "$root/lib"
ln -s usr/lib64 "$root/lib64"

busybox=$(command -v busybox || echo /bin/busybox)
if ! file -L "$busybox" | grep -q 'statically linked'; then
    echo "make_guest: $busybox is not busybox-static" >&2
    exit 1
fi
cp "$busybox" "$root/usr/bin/busybox"
for applet in $("$busybox" --list); do
    [[ -e $root/usr/bin/$applet ]] || ln -s busybox "$root/usr/bin/$applet"
done

# Modules in load order: each after the modules it depends on.
order=()
add_module() {
    local name=$1 f dep seen
    for seen in "${order[@]}"; do [[ $seen == "$name" ]] && return 0; done
    f=$(module_file "$name") || { echo "make_guest: module $name not in $package" >&2; exit 1; }
    case $f in
        *.ko.xz) xz -dc "$f" >"$root/usr/lib/modules/klov/$name.ko" ;;
        *.ko.zst) zstd -qdc "$f" >"$root/usr/lib/modules/klov/$name.ko" ;;
        *) cp "$f" "$root/usr/lib/modules/klov/$name.ko" ;;
    esac
    for dep in $(module_depends "$root/usr/lib/modules/klov/$name.ko"); do
        add_module "$dep"
    done
    order+=("$name")
}
for m in "${wanted_modules[@]}"; do add_module "$m"; done
printf '%s\n' "${order[@]}" >"$root/etc/klov/modules"

cp "$here/init" "$root/init"
chmod 755 "$root/init"
cp -r "$here/scenarios" "$root/scenarios"
cp "$klov" "$root/usr/bin/klov"
cp "$kprobe" "$root/usr/bin/kprobe"
cp -L "$ardellix" "$root/usr/lib/$multiarch/libArdellix.so.1"

# The shared libraries the programs need, as this machine resolves them, into the same
# place under the guest's merged /usr. libusb-0.1.so.4 must be Debian's own.
libusb=$(ldd "$ardellix" | sed -n 's/^\s*libusb-0.1.so.4 => \([^ ]*\).*/\1/p')
real=$(readlink -f "$libusb")
# dpkg knows the file under /lib on a merged-/usr system.
owner=$({ dpkg -S "$real" || dpkg -S "/lib/$multiarch/$(basename "$real")"; } 2>/dev/null |
    head -n 1 | cut -d: -f1 || true)
if [[ $owner != libusb-0.1-4 ]]; then
    echo "make_guest: $ardellix resolves libusb-0.1.so.4 to $libusb, not Debian's" >&2
    exit 1
fi
echo "make_guest: libusb-0.1.so.4 from $owner ($real)"
for program in "$klov" "$kprobe" "$ardellix"; do
    ldd "$program" | sed -n 's/.*=> \(\/[^ ]*\).*/\1/p; s/^\s*\(\/[^ ]*\) (.*/\1/p'
done | sort -u | while read -r lib; do
    [[ $(basename "$lib") == libArdellix.so.1 ]] && continue
    case $lib in
        */lib64/*) dest=$root/usr/lib64/$(basename "$lib") ;;
        *) dest=$root/usr/lib/$multiarch/$(basename "$lib") ;;
    esac
    cp -L "$lib" "$dest"
done

# --- the archive --------------------------------------------------------------------------
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) |
    gzip -1 >"$out/initramfs.cpio.gz.tmp"
mv "$out/initramfs.cpio.gz.tmp" "$out/initramfs.cpio.gz"
boot_image=vmlinuz
[[ -f $cache/vmlinux ]] && boot_image=vmlinux
ln -sfn "kernel/$package/$boot_image" "$out/boot-image"
rm -rf "$root"
echo "make_guest: $out/initramfs.cpio.gz ($(du -k "$out/initramfs.cpio.gz" | cut -f1) KiB)," \
    "modules: ${order[*]}"
