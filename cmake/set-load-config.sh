#!/bin/sh
# set-load-config.sh IMAGE RVA SIZE: points the PE image's load configuration
# (data directory 10) at RVA, SIZE bytes long. For linkers that do not fill it
# in from a `_load_config_used` symbol themselves (GNU ld before 2.41).
set -e
image=$1; rva=$2; size=$3
pe=$(od -An -tu4 -j60 -N4 "$image" | tr -d ' ')
magic=$(od -An -tu2 -j$((pe + 24)) -N2 "$image" | tr -d ' ')
case $magic in
  523) directories=$((pe + 24 + 112)) ;;  # PE32+
  267) directories=$((pe + 24 + 96)) ;;   # PE32
  *) echo "$image: not a PE image" >&2; exit 1 ;;
esac
le32() {
  printf "$(printf '\\%03o\\%03o\\%03o\\%03o' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)))"
}
{ le32 "$rva"; le32 "$size"; } | dd of="$image" bs=1 seek=$((directories + 10 * 8)) conv=notrunc 2>/dev/null
