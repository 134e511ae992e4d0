#!/bin/sh
# with_fake_root.sh FAKE SCRATCH HOME -- COMMAND [ARGUMENT...] runs a command with the files of
# FAKE laid over the real root, without touching the host: in a private mount namespace (the
# caller runs this under `unshare -m`), an overlay whose lower layer is "/" gets the fake files,
# /proc, /dev, /tmp and HOME are bound into it, and the command runs chrooted there. SCRATCH holds the
# overlay's folders; the caller removes it afterwards.
set -eu
fake=$1 scratch=$2 home=$3
shift 4
mkdir -p "$scratch/upper" "$scratch/work" "$scratch/merged"
mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" "$scratch/merged"
cp -a "$fake/." "$scratch/merged/"
mount --bind /proc "$scratch/merged/proc"
mount --rbind /dev "$scratch/merged/dev"
# The temporary folder stays the real one too, shared with runs outside the fake root.
mount --bind /tmp "$scratch/merged/tmp"
# The home folder stays the real one, so that the caller can read what the tool wrote there.
mkdir -p "$scratch/merged$home"
mount --bind "$home" "$scratch/merged$home"
exec chroot "$scratch/merged" "$@"
