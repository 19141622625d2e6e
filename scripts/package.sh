#!/usr/bin/env bash
# Builds the Debian packages from the working tree as Debian builds them
# (dpkg-buildpackage -us -uc -b in a copy of the tree), then checks them:
#   - the packages debian/control names are all there, each with its -dbgsym where it has
#     programs or libraries, and the version agrees with the project's;
#   - lintian reports no error and no warning (overrides only in debian/*.lintian-overrides,
#     each with its reason);
#   - the autopkgtest suite (debian/tests) passes on them with the null runner. That runner
#     installs the packages on this machine for the run; they are removed again afterwards
#     unless they were installed before.
# Packages, logs and the autopkgtest output end up in build/deb/. The test suites are not
# run inside the package build (DEB_BUILD_OPTIONS=nocheck): scripts/test.sh runs them.
# Options: --no-autopkgtest  build and check the packages only
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=$root/build/deb
run_autopkgtest=1
for arg in "$@"; do
    case "$arg" in
        --no-autopkgtest) run_autopkgtest=0 ;;
        *) echo "usage: scripts/package.sh [--no-autopkgtest]" >&2; exit 64 ;;
    esac
done

fail() {
    echo "package.sh: $*" >&2
    exit 1
}

phase_start=$SECONDS
took() {  # took WHAT: the time since the previous phase ended
    echo "package.sh: $1 took $((SECONDS - phase_start)) s"
    phase_start=$SECONDS
}

rm -rf "$out"
mkdir -p "$out/src"

# ----- the source tree: what git tracks or would track, without build folders -----
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' f; do
            if [[ -e $f || -L $f ]]; then  # not a tracked file deleted since
                printf '%s\0' "$f"
            fi
        done |
        tar --null -T - -cf - | tar -xf - -C "$out/src"
else
    tar --exclude=./build -cf - . | tar -xf - -C "$out/src"
fi

cd "$out/src"
deb_version=$(dpkg-parsechangelog -S Version)
project_version=$(sed -n 's/^project([^)]* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[[ ${deb_version%%-*} == "$project_version" ]] ||
    fail "debian/changelog is at $deb_version but the project at $project_version: add a changelog entry"

# ----- build -----
echo "package.sh: building the packages (log: $out/build.log)"
if ! DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" DEB_BUILD_PROFILES=nocheck \
        dpkg-buildpackage -us -uc -b \
        >"$out/build.log" 2>&1; then
    tail -n 60 "$out/build.log"
    fail "dpkg-buildpackage failed"
fi
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
changes=$out/klov-probe-tools_${deb_version}_${arch}.changes
[[ -f $changes ]] || fail "no $changes"

# ----- the packages debian/control names, with their debug symbols -----
mapfile -t names < <(dh_listpackages)
for p in "${names[@]}"; do
    deb=$(compgen -G "$out/${p}_${deb_version}_*.deb") || fail "no package $p was built"
    contents=$(dpkg-deb -c "$deb")
    if [[ $(dpkg-deb -f "$deb" Architecture) != all ]] &&
       grep -Eq '^-.* \./usr/(bin/[^/]+|lib/.*\.so(\.[0-9.]+)?)$' <<<"$contents"; then
        compgen -G "$out/${p}-dbgsym_${deb_version}_*.deb" >/dev/null ||
            fail "$p has programs or libraries but no ${p}-dbgsym package"
    fi
done
ls -1 "$out"/*.deb | sed "s|^$out/|  |"
took "building"

# Installed programs carry no run path; the library sits in the multiarch folder.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for p in klov mirovane; do
    deb=$(compgen -G "$out/${p}_${deb_version}_*.deb")
    dpkg-deb -x "$deb" "$out/unpacked"
done
for prog in "$out"/unpacked/usr/bin/*; do
    if readelf -d "$prog" | grep -Eq '\((RPATH|RUNPATH)\)'; then
        fail "${prog##*/} carries a run path"
    fi
done
contents=$(dpkg-deb -c "$out/libardellix1_${deb_version}_${arch}.deb")
grep -q " \./usr/lib/$multiarch/libArdellix\.so\.1 " <<<"$contents" ||
    fail "libardellix1 does not hold usr/lib/$multiarch/libArdellix.so.1"

# ----- lintian -----
echo "package.sh: lintian"
if ! lintian --fail-on error,warning --show-overrides "$changes" | tee "$out/lintian.log"; then
    fail "lintian reports errors or warnings (above)"
fi
echo "package.sh: lintian: no error, no warning"
took "lintian"

# ----- autopkgtest -----
if ((run_autopkgtest)); then
    debian/rules clean >"$out/clean.log" 2>&1 || { cat "$out/clean.log"; fail "clean"; }
    before=()
    for p in "${names[@]}"; do
        if dpkg-query -W -f '${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
            before+=("$p")
        fi
    done
    remove_installed() {
        local gone=()
        for p in "${names[@]}"; do
            [[ " ${before[*]-} " == *" $p "* ]] && continue
            dpkg-query -W -f '${Status}' "$p" 2>/dev/null | grep -q "install ok installed" &&
                gone+=("$p")
        done
        if ((${#gone[@]})); then
            dpkg --purge "${gone[@]}" >/dev/null
        fi
    }
    trap remove_installed EXIT
    echo "package.sh: autopkgtest (null runner; log: $out/autopkgtest/log)"
    rc=0
    autopkgtest --output-dir "$out/autopkgtest" "$changes" -- null \
        >"$out/autopkgtest.log" 2>&1 || rc=$?
    if ((rc != 0)); then
        tail -n 80 "$out/autopkgtest.log"
        fail "autopkgtest failed (exit $rc)"
    fi
    cat "$out/autopkgtest/summary"
    took "autopkgtest"
fi
