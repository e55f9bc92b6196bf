#!/usr/bin/env bash
# Runs the 32-bit suite (build/linux-i386) in an emulated i386 Debian 12, for machines whose
# kernel refuses 32-bit programs. The first run builds the machine under build/i386-vm, keyed by
# its package list: the packages come from the Debian mirror of the host's apt sources and are
# unpacked on the host without their maintainer scripts (configuring them under emulation takes
# twenty minutes); the few users, links and files the suite needs are written here instead.
# Every run boots the machine with qemu (-snapshot: the image stays as built), mounts this source
# tree over 9p at the same absolute path as on the host (ctest files hold absolute paths), runs
# ctest with the given arguments as scripts/test.sh does, and powers off.
#
#   scripts/test-i386-vm.sh [--transfer-4g | --transfer-4g-only] [CTEST_ARGS...]
#
# --transfer-4g also runs bench/transfer-4g.sh in the machine after the suite; -only runs it alone
# (BENCH_SIZE is passed on).
# Exits non-zero when a test fails, when the machine does not finish within I386_VM_TIME_LIMIT
# seconds (default 2700, 5400 with the benchmark) or when no result comes back. Run as root (CI
# is); needs the i386 build from scripts/setup-i386.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$(pwd -P)
BUILD=$SRC/build/linux-i386
VM=$SRC/build/i386-vm
# Limits inside the tests that the emulated CPU can miss are multiplied by this, not loosened.
SCALE=${UPDATE_TEST_TIME_SCALE:-10}

suite=1 transfer=0
case "${1:-}" in
--transfer-4g) transfer=1; shift ;;
--transfer-4g-only) transfer=1 suite=0; shift ;;
esac
# The 4 GiB benchmark alone may take half an hour under emulation.
LIMIT=${I386_VM_TIME_LIMIT:-$((2700 + 2700 * transfer))}

if [ "$(id -u)" -ne 0 ]; then
    echo "test-i386-vm: run as root (the machine's files must belong to root)" >&2
    exit 2
fi
if [ ! -f "$BUILD/CTestTestfile.cmake" ]; then
    echo "test-i386-vm: no 32-bit build in $BUILD (bash scripts/setup-i386.sh)" >&2
    exit 2
fi
# The path goes to the guest on the kernel command line.
if [[ $SRC =~ [[:space:]] ]]; then
    echo "test-i386-vm: the source path must not contain spaces: $SRC" >&2
    exit 2
fi

HOST_PACKAGES=(qemu-system-x86 debootstrap e2fsprogs cpio)
missing=()
for p in "${HOST_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get -o DPkg::Lock::Timeout=600 update
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y \
        --no-install-recommends "${missing[@]}"
fi

# What runs in the machine: the kernel, busybox for the initrd, the run-time libraries of the
# build, the servers and tools the tests start, cmake for ctest and `cmake --install`, libcurl's
# authorities, and what the 4 GiB benchmark and scripts/check-bundle.sh call.
GUEST_PACKAGES=(linux-image-686 busybox-static bash coreutils python3 cmake patchelf file
                libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libqt6test6 qt6-qpa-plugins
                qt6-translations-l10n libcurl4 zlib1g libssl3 libzstd1 openssl nginx vsftpd
                squid gzip procps time bc binutils ca-certificates libfaketime)
# Changing the way the root is laid out below changes this revision, and so the cache key.
LAYOUT=3
key=$(printf '%s\n' "$LAYOUT" "${GUEST_PACKAGES[@]}" | sha256sum | cut -c1-16)
MACHINE=$VM/machine-$key

now() { date +%s.%N; }
took() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.0f s", b - a }'; }

# The host's Debian mirror: the first source of the release in deb822 or one-line form.
debian_mirror() {
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk 'BEGIN { RS = ""; FS = "\n" }
             { uri = ""; ok = 0
               for (i = 1; i <= NF; i++) {
                   if ($i ~ /^URIs:/) { split($i, w, " "); uri = w[2] }
                   if ($i ~ /^Suites:/ && $i ~ /[ \t]bookworm([ \t]|$)/) ok = 1
               }
               if (ok && uri != "") { print uri; exit } }' "$f"
    done
    { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true; } |
        sed -n -E 's/^deb( \[[^]]*\])? +([^ ]+) +bookworm( .*)?$/\2/p'
}

build_machine() {
    local mirror work root kver moddir m f deps
    mirror=${I386_VM_MIRROR:-$(debian_mirror | head -1 || true)}
    if [ -z "$mirror" ]; then
        echo "test-i386-vm: no bookworm source in /etc/apt/sources.list(.d) (set I386_VM_MIRROR)" >&2
        exit 1
    fi
    rm -rf "$VM"/machine-* "$VM/build"
    work=$VM/build
    root=$work/root
    mkdir -p "$work"
    echo "== building the i386 machine from $mirror"
    # --foreign only downloads what is not essential: everything is unpacked below.
    debootstrap --foreign --arch=i386 --variant=minbase \
        --include="$(IFS=,; echo "${GUEST_PACKAGES[*]}")" bookworm "$root" "$mirror" \
        >"$work/debootstrap.log" 2>&1 || { tail -20 "$work/debootstrap.log" >&2; exit 1; }
    for f in "$root"/var/cache/apt/archives/*.deb; do
        dpkg-deb --fsys-tarfile "$f" | tar -C "$root" --keep-directory-symlink -xf -
    done
    rm -rf "$root/debootstrap" "$root"/var/cache/apt/archives/*.deb "$root/proc"
    mkdir -p "$root/proc" "$root/sys" "$root/dev" "$root/run" "$root/tmp"
    chmod 1777 "$root/tmp"

    # What maintainer scripts would have written: users (vsftpd's ftp, squid's proxy, nobody),
    # the awk alternative, the host name files, the library cache and the authorities' bundle.
    cp "$root/usr/share/base-passwd/passwd.master" "$root/etc/passwd"
    cp "$root/usr/share/base-passwd/group.master" "$root/etc/group"
    echo 'ftp:x:100:65534::/srv/ftp:/usr/sbin/nologin' >>"$root/etc/passwd"
    mkdir -p "$root/srv/ftp"
    sed 's/:.*//; s/$/:*:19000:0:99999:7:::/' "$root/etc/passwd" >"$root/etc/shadow"
    ln -sf mawk "$root/usr/bin/awk"
    printf 'passwd: files\ngroup: files\nshadow: files\nhosts: files\n' >"$root/etc/nsswitch.conf"
    printf '127.0.0.1\tlocalhost\n::1\tlocalhost\n' >"$root/etc/hosts"
    echo i386-test >"$root/etc/hostname"
    ldconfig -r "$root"
    # libcurl's default authorities, which the TLS tests lay their own over.
    mkdir -p "$root/etc/ssl/certs"
    find "$root/usr/share/ca-certificates" -name '*.crt' | sort | xargs cat \
        >"$root/etc/ssl/certs/ca-certificates.crt"

    # The initrd: static busybox and the modules for the virtio disk, ext4 and the 9p share, in
    # the order their dependencies need.
    kver=$(basename "$root"/usr/lib/modules/*)
    moddir=$root/usr/lib/modules/$kver
    mkdir -p "$work/initrd/bin" "$work/initrd/lib"
    cp "$root/usr/bin/busybox" "$work/initrd/bin/busybox"
    : >"$work/initrd/modules"
    add_module() {
        local path deps d
        grep -qx "$1" "$work/initrd/modules" && return
        path=$(find "$moddir/kernel" -name "$1.ko" | head -1)
        if [ -z "$path" ]; then
            grep -q "/$1.ko\$" "$moddir/modules.builtin" && return
            echo "test-i386-vm: module $1 not found in $kver" >&2
            exit 1
        fi
        deps=$(tr '\0' '\n' <"$path" | sed -n 's/^depends=//p' | tr ',' ' ')
        for d in $deps; do add_module "$d"; done
        cp "$path" "$work/initrd/lib/$1.ko"
        echo "$1" >>"$work/initrd/modules"
    }
    for m in virtio_pci virtio_blk crc32c_generic ext4 9pnet_virtio 9p; do add_module "$m"; done
    cat >"$work/initrd/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mkdir -p /proc /dev /newroot
mount -t proc proc /proc
mount -t devtmpfs devtmpfs /dev
for m in $(cat /modules); do insmod "/lib/$m.ko" || echo "initrd: $m not loaded"; done
for i in $(seq 100); do [ -b /dev/vda ] && break; sleep 0.05; done
mount -t ext4 /dev/vda /newroot || { echo "initrd: no root"; poweroff -f; }
umount /dev /proc
exec switch_root /newroot /sbin/vm-init
EOF
    chmod 755 "$work/initrd/init"
    (cd "$work/initrd" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.img"
    cp "$root/boot/vmlinuz-$kver" "$work/vmlinuz"

    # PID 1 of the machine: a system's mounts, loopback for the test servers, the share at the
    # host's path; then the job the host left there, and power off (PID 1 must not exit).
    cat >"$root/sbin/vm-init" <<'EOF'
#!/bin/sh
export PATH=/usr/local/bin:/usr/bin:/usr/sbin HOME=/root LANG=C.UTF-8
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
ln -s /proc/self/fd /dev/fd
ln -s fd/0 /dev/stdin; ln -s fd/1 /dev/stdout; ln -s fd/2 /dev/stderr
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /run
hostname -F /etc/hostname
busybox ip link set lo up
arg() { tr ' ' '\n' </proc/cmdline | sed -n "s/^$1=//p"; }
share=$(arg vmshare)
mkdir -p "$share"
if mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288,cache=loose hostshare "$share"; then
    bash "$(arg vmjob)" </dev/null
else
    echo "vm-init: the share did not mount"
fi
sync
echo o >/proc/sysrq-trigger
sleep 60
EOF
    chmod 755 "$root/sbin/vm-init"

    # The kernel and its modules are outside the root now; the documentation is never read.
    rm -rf "$root/usr/lib/modules" "$root/boot"/* "$root/usr/share/doc" "$root/usr/share/man"
    mkfs.ext4 -q -F -L i386-root -d "$root" "$work/disk.img" 24G >/dev/null
    rm -rf "$root" "$work/initrd"
    mv "$work" "$MACHINE"
}

t0=$(now)
if [ ! -f "$MACHINE/disk.img" ]; then
    build_machine
    echo "== stage: root build $(took "$t0" "$(now)")"
else
    echo "== stage: root build: cached ($MACHINE)"
fi

# The job: written afresh for each run into the share, results beside it.
RUN=$VM/run
rm -rf "$RUN"
mkdir -p "$RUN"
{
    echo '#!/bin/bash'
    echo "RUN=$(printf %q "$RUN") BUILD=$(printf %q "$BUILD") SRC=$(printf %q "$SRC")"
    echo "SUITE=$suite TRANSFER=$transfer"
    echo "export UPDATE_TEST_TIME_SCALE=$SCALE QTEST_FUNCTION_TIMEOUT=$((300000 * SCALE))"
    echo "CTEST_ARGS=($(printf '%q ' "$@"))"
    [ -z "${BENCH_SIZE:-}" ] || echo "export BENCH_SIZE=$(printf %q "$BENCH_SIZE")"
    cat <<'EOF'
touch "$RUN/booted"
echo "== guest: $(uname -srm), $(nproc) CPUs, $(free -m | awk 'NR == 2 {print $2}') MB"
if [ "$SUITE" = 1 ]; then
    (cd "$BUILD" && ctest --output-on-failure --timeout $((300 * UPDATE_TEST_TIME_SCALE)) \
        -j"$(nproc)" "${CTEST_ARGS[@]}") 2>&1 |
        tee "$RUN/ctest.log"
    echo "${PIPESTATUS[0]}" >"$RUN/ctest.rc"
fi
if [ "$TRANSFER" = 1 ]; then
    touch "$RUN/transfer-start"
    bash "$SRC/bench/transfer-4g.sh" "$BUILD" 2>&1 | tee "$RUN/transfer-4g.log"
    echo "${PIPESTATUS[0]}" >"$RUN/transfer-4g.rc"
fi
EOF
} >"$RUN/job.sh"

echo "== booting the i386 machine ($(nproc) CPUs, time limit $LIMIT s)"
t1=$(now)
qemu_rc=0
timeout -k 10 "$LIMIT" qemu-system-i386 -m 3072 -smp "$(nproc)" -cpu max \
    -accel tcg,thread=multi -display none -monitor none -serial stdio -no-reboot \
    -kernel "$MACHINE/vmlinuz" -initrd "$MACHINE/initrd.img" \
    -drive "file=$MACHINE/disk.img,format=raw,if=virtio,snapshot=on" \
    -virtfs "local,path=$SRC,mount_tag=hostshare,security_model=none" \
    -append "root=/dev/vda console=ttyS0 panic=1 quiet loglevel=3 vmshare=$SRC vmjob=$RUN/job.sh" \
    </dev/null || qemu_rc=$?
t2=$(now)
mtime() { stat -c %.Y "$1"; }

status=0
if [ "$qemu_rc" -eq 124 ] || [ "$qemu_rc" -eq 137 ]; then
    echo "test-i386-vm: the machine did not finish within $LIMIT s" >&2
    status=1
elif [ "$qemu_rc" -ne 0 ]; then
    echo "test-i386-vm: qemu failed ($qemu_rc)" >&2
    status=1
fi
if [ -f "$RUN/booted" ]; then
    echo "== stage: boot $(took "$t1" "$(mtime "$RUN/booted")")"
else
    echo "test-i386-vm: the machine never reached the job" >&2
    status=1
fi
if [ "$suite" = 1 ]; then
    if [ -f "$RUN/ctest.rc" ]; then
        echo "== stage: suite $(took "$(mtime "$RUN/booted")" "$(mtime "$RUN/ctest.rc")")"
        echo "== ctest in the i386 machine:"
        if grep -q 'tests passed' "$RUN/ctest.log"; then
            sed -n '/tests passed/,$p' "$RUN/ctest.log"
        else
            tail -20 "$RUN/ctest.log"
        fi
        [ "$(cat "$RUN/ctest.rc")" = 0 ] || status=1
    else
        echo "test-i386-vm: no result from the suite" >&2
        status=1
    fi
fi
if [ "$transfer" = 1 ]; then
    if [ -f "$RUN/transfer-4g.rc" ]; then
        echo "== stage: transfer-4g $(took "$(mtime "$RUN/transfer-start")" "$(mtime "$RUN/transfer-4g.rc")")"
        [ "$(cat "$RUN/transfer-4g.rc")" = 0 ] || status=1
    else
        echo "test-i386-vm: no result from transfer-4g" >&2
        status=1
    fi
fi
echo "== stage: machine in all $(took "$t1" "$t2")"
exit "$status"
