#!/bin/busybox sh
# /init of the VM tests' guest. Loads the SCSI and target modules, puts a tcm_loop disk
# in front of a drivelore-tcmu backstore for each line of /vm/tcmu (NAME HOST SIZE BLOCK
# ARGS: disks of one HOST share a SCSI host), runs /vm/checks and writes what each check
# printed to the second serial port, then turns the machine off.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs run /run
exec 3>/dev/ttyS1
stty -F /dev/ttyS1 raw -echo 2>/dev/null
say() { echo "$@" >&3; }
finish() { say "@@DONE $1"; sync; reboot -f; }

for m in configfs scsi_common scsi_mod sd_mod sg virtio_ring virtio virtio_pci_modern_dev \
    virtio_pci_legacy_dev virtio_pci virtio_scsi uio target_core_mod target_core_user tcm_loop; do
    insmod /lib/modules/$m.ko || finish "insmod $m failed"
done
mount -t configfs configfs /sys/kernel/config
target=/sys/kernel/config/target

lun=0
while read -r name host size block args; do
    [ -n "$name" ] || continue
    # The kernel's error handling stops a whole SCSI host: a disk meant to hang has its own.
    tpg=$target/loopback/naa.50014050000000a$host/tpgt_1
    if [ ! -d $tpg ]; then
        mkdir -p $tpg && echo naa.50014050000000b$host >$tpg/nexus || finish "no nexus $host"
    fi
    dev=$target/core/user_1/$name
    mkdir -p $dev
    echo -n "dev_config=drl/$name,dev_size=$size,hw_block_size=$block,nl_reply_supported=-1" \
        >$dev/control
    echo 1 >$dev/enable || finish "backstore $name not enabled"
    drivelore-tcmu --config drl/$name --block-size $block --stats /run/$name.stats $args \
        >/run/$name.log 2>&1 &
    echo $! >/run/$name.pid
    n=0
    while [ ! -e /run/$name.stats ]; do
        n=$((n + 1))
        [ $n -lt 100 ] || { cat /run/$name.log >&3; finish "handler $name did not start"; }
        sleep 0.1
    done
    mkdir -p $tpg/lun/lun_$lun && ln -s $dev $tpg/lun/lun_$lun/$name
    lun=$((lun + 1))
done </vm/tcmu

# The disk whose SCSI model is NAME (QEMU's product= or the backstore's name).
disk() {
    for m in /sys/block/sd*/device/model; do
        [ -e $m ] || continue
        if [ "$(tr -d ' ' <$m)" = "$1" ]; then
            b=${m#/sys/block/}
            echo /dev/${b%%/*}
            return 0
        fi
    done
    return 1
}
wanted=$( (cut -d' ' -f1 /vm/tcmu; cat /vm/virtio) | sort -u)
n=0
for w in $wanted; do
    until d=$(disk $w) && [ -b "$d" ]; do
        n=$((n + 1))
        [ $n -lt 300 ] || { cat /run/*.log >&3; finish "disk $w never appeared"; }
        sleep 0.1
    done
done
for b in /sys/block/sd*; do
    # Each LUN added gave the others a unit attention (REPORTED LUNS DATA HAS CHANGED):
    # one read through sd, which retries it, takes it before the checks start.
    dd if=/dev/${b#/sys/block/} of=/dev/null bs=4096 count=1 2>/dev/null
    say "@@DISK $(tr -d ' ' <$b/device/model) /dev/${b#/sys/block/} $(ls $b/device/scsi_generic)"
done

while read -r kind label name rest; do
    case $kind in
        run | all)
            d=
            [ $kind = all ] || d="--disk $(disk $name)"
            say "@@BEGIN $label"
            drivelore-cli --debug $d $rest >/run/out 2>/run/err
            rc=$?
            cat /run/out >&3
            say "@@STDERR"
            cat /run/err >&3
            say "@@END $label $rc"
            ;;
        hotplug)
            # The monitor (NAME is the hot device's serial) and watch, each forwarding its
            # lines as they come, while the host plugs a disk in, out and in again: watch
            # says the first list, the first scan, in, out, in; the monitor its first round,
            # then the disk found, gone and back. While it is in the first time, exchanges
            # with it run one after another until it is pulled out. The monitor's first round
            # is over before watch starts, so that the disk comes in while both follow.
            mkfifo /run/events /run/said
            drivelore-cli monitor --interval 300 --state-dir /run/monitor 2>/run/said >&2 &
            m=$!
            while read -r l; do
                echo "$l" >>/run/monitor.log
                say "@@MONITOR $l"
            done </run/said &
            q=$!
            : >>/run/monitor.log
            n=0
            p=-1
            until [ "$(grep -c "" /run/monitor.log)" -eq $p ] && [ $p -gt 0 ] || [ $n -ge 60 ]; do
                p=$(grep -c "" /run/monitor.log)
                n=$((n + 1))
                sleep 1
            done
            drivelore-cli --json watch --interval 600000 >/run/events 2>/dev/null &
            w=$!
            while read -r l; do
                echo "$l" >>/run/watch
                say "@@WATCH $l"
            done </run/events &
            r=$!
            : >>/run/watch
            n=0
            x=
            while { [ "$(grep -c DeviceListChanged /run/watch)" -lt 5 ] ||
                [ "$(grep -c "$name" /run/monitor.log)" -lt 3 ]; } && [ $n -lt 1200 ] &&
                kill -0 $m 2>/dev/null; do
                if [ -z "$x" ] && [ "$(grep -c DeviceListChanged /run/watch)" -ge 3 ] &&
                    x=$(disk hot); then
                    while drivelore-cli --disk $x info >/dev/null 2>&1; do :; done &
                    e=$!
                fi
                n=$((n + 1))
                sleep 0.1
            done
            [ -z "$x" ] || kill $e 2>/dev/null
            say "@@DISK hot $(disk hot) -"
            # Quiet afterwards too: a few more of the monitor's rounds.
            sleep 1
            kill $w $m
            wait $r $q
            say "@@WATCHED $n"
            ;;
        reset) kill -USR1 "$(cat /run/$name.pid)" && sleep 0.2 ;;
        stats) say "@@STATS $name $(cat /run/$name.stats)" ;;
        core)
            # The core over every disk while NAME's handler answers nothing: stopped once
            # the first scan has listed it, started again when the probe is done.
            drivelore-vmcore --go /run/go --first $name --limit 40 >/run/core 2>&1 &
            n=0
            until [ -s /run/core ] || [ $n -ge 600 ]; do
                n=$((n + 1))
                sleep 0.1
            done
            kill -STOP "$(cat /run/$name.pid)"
            : >/run/go
            n=0
            until grep -q '^end' /run/core || [ $n -ge 600 ]; do
                n=$((n + 1))
                sleep 0.1
            done
            while read -r l; do say "@@CORE $l"; done </run/core
            kill -CONT "$(cat /run/$name.pid)"
            ;;
    esac
done </vm/checks
finish ok
