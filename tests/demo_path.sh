#!/bin/sh
# demo_path.sh TOLV_DEMO TOLV TOLV_MKFRINGE: the demo's path in a temporary folder.
set -eu
demo=$1 tolv=$2 mkfringe=$3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$demo" write "$dir"
cp "$dir/science.fits" "$dir/made.fits"
"$tolv" -q "$dir/science.fits" "$dir/fringe1.fits" "$dir/fringe2.fits" >/dev/null
"$demo" exposures "$dir" 9
"$mkfringe" -q -o "$dir/frame.fits" "$dir"/exp0[1-9].fits >/dev/null
"$tolv" -q "$dir/made.fits" "$dir/frame.fits" >/dev/null
for f in science.fits made.fits; do
  # Every amplitude left, in absolute value, below one count.
  "$demo" measure "$dir" "$dir/$f" | awk -v f="$f" 'NR > 1 { for (i = 2; i <= 3; i++) if ($i > 1 || $i < -1) { print f ": extension " $1 " keeps " $i; bad = 1 } } END { exit bad }'
done
