#!/bin/bash
# Prints the serial number of the disk that holds the root file system, or
# nothing when the root file system is not on a local disk.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
export LC_ALL=C

root_dev=$(findmnt -n -o SOURCE --target / 2>/dev/null) || exit 0
root_dev=${root_dev%%\[*}  # "/dev/sda2[/@]" names a subvolume of /dev/sda2
[ -b "$root_dev" ] || exit 0

# Down through partition, LVM and crypt layers to the disk itself.
disk=$(lsblk -nslp -o NAME,TYPE -- "$root_dev" 2>/dev/null | awk '$2 == "disk" { print $1; exit }')
[ -n "$disk" ] || exit 0

serial=$(lsblk -ndo SERIAL -- "$disk" 2>/dev/null)
if [ -z "$serial" ] && command -v udevadm >/dev/null; then
    serial=$(udevadm info --query=property --name="$disk" 2>/dev/null |
        sed -n 's/^ID_SERIAL_SHORT=//p')
fi
# Without a udev database (early boot, containers) the kernel's own copy.
if [ -z "$serial" ]; then
    name=${disk##*/}
    for file in "/sys/class/block/$name/device/serial" "/sys/class/block/$name/serial"; do
        [ -r "$file" ] && serial=$(head -c 256 -- "$file") && [ -n "$serial" ] && break
    done
fi
printf '%s\n' "$serial"
