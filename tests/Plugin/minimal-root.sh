#!/usr/bin/env bash
# Runs the bundle on a bare Debian 12 root holding nothing but the bundle and a loader that needs only
# the C library: load, describe, create an instance, render frames. Lists what every binary in the
# bundle needs and where it is found, and fails when anything beyond the C library comes from the root.
# With DEVSERVICE it also streams from inside the root to the development service outside it.
# Usage: minimal-root.sh BUILD_DIR BUNDLE_DIR LOADER [DEVSERVICE]
# The root is kept in BUILD_DIR/minimal-root and reused; nothing outside BUILD_DIR is written.
set -euo pipefail

build=$(realpath "$1")
bundle=$(realpath "$2")
loader=$(realpath "$3")
devservice=${4:+$(realpath "$4")}
here=$(dirname "$(realpath "$0")")
mirror=${VELTRANE_DEBIAN_MIRROR:-http://deb.debian.org/debian}
root=$build/minimal-root
# What any Linux system carries; everything else must be inside the bundle.
allowed=" libc.so.6 libm.so.6 libpthread.so.0 libdl.so.2 librt.so.1 libresolv.so.2 libanl.so.1 libutil.so.1 ld-linux-x86-64.so.2 "
args=(--size 320x180 --frames 10 --depth byte --set enabled=1)

if [ "$(id -u)" -ne 0 ]; then
  echo "minimal-root: needs root for debootstrap and chroot; skipped." >&2
  exit 77
fi
[ -d "$bundle" ] || { echo "minimal-root: no bundle folder at $bundle." >&2; exit 1; }
# The loader must bring nothing the bundle could lean on.
for lib in $(readelf -d "$loader" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
  [[ $allowed == *" $lib "* ]] || { echo "minimal-root: the loader itself needs $lib." >&2; exit 1; }
done

# Removes a folder of ours, first letting go of anything debootstrap left mounted in it when killed.
discard() {
  local dir=$1
  [ -e "$dir" ] || return 0
  awk -v d="$dir/" 'index($5 "/", d) == 1 {print $5}' /proc/self/mountinfo | sort -r | xargs -r -n1 umount -l
  rm -rf --one-file-system "$dir"
}

# A root counts as built only once debootstrap finished; a half-built one is thrown away.
if [ ! -f "$root/.complete" ]; then
  discard "$root"
  for old in "$build"/minimal-root.tmp.*; do discard "$old"; done
  tmp=$build/minimal-root.tmp.$$
  log=$build/minimal-root.log
  trap 'discard "$tmp"' EXIT
  echo "Building a minimal Debian 12 root from $mirror ..."
  start=$SECONDS
  if ! debootstrap --variant=minbase bookworm "$tmp" "$mirror" >"$log" 2>&1; then
    tail -n 15 "$log" >&2
    echo "minimal-root: debootstrap could not build the root from $mirror (see above; full log in $log)." \
         "Set VELTRANE_DEBIAN_MIRROR to a reachable Debian mirror." >&2
    exit 1
  fi
  touch "$tmp/.complete"
  mv "$tmp" "$root"
  trap - EXIT
  rm -f "$log"
  echo "Root built in $((SECONDS - start)) s, $(du -sh "$root" | cut -f1)."
fi

# Only the bundle and the loader go in, fresh each run, and leave again after it.
stage=$root/veltrane
expected=$(mktemp "$build/minimal-root-expected.XXXXXX")
got=$(mktemp "$build/minimal-root-got.XXXXXX")
log=$(mktemp "$build/minimal-root-log.XXXXXX")
work=$(mktemp -d "$build/minimal-root-stream.XXXXXX")
trap 'rm -rf "$expected" "$got" "$log" "$work" "$stage"' EXIT
rm -rf "$stage"
mkdir "$stage"
cp -a "$bundle" "$stage/"
cp "$loader" "$stage/loader"
name=$(basename "$bundle")

echo "Bundle $name: $(du -sh "$bundle" | cut -f1)"

isElf() { [ "$(head -c 4 "$1" | od -An -c | tr -d ' ')" = "177ELF" ]; }

# Where a needed library is found: in the bundle through the file's search path, in the root, or nowhere.
whereFound() {
  local lib=$1 d
  for d in "${dirs[@]}"; do
    if [ -n "$d" ] && [ -e "$d/$lib" ]; then
      case "$(realpath -m "$d/$lib")" in "$stage"/*) echo bundle; return ;; esac
    fi
  done
  for d in lib/x86_64-linux-gnu usr/lib/x86_64-linux-gnu lib64 lib usr/lib; do
    [ -e "$root/$d/$lib" ] && { echo root; return; }
  done
  # Off its own search path, found only when another binary of the bundle loaded it first.
  [ -n "$(find "$stage/$name" -name "$lib" -print -quit)" ] && { echo "bundle, not on its search path"; return; }
  echo MISSING
}

echo "Needed libraries, per binary in the bundle:"
fromRoot=() missing=()
while IFS= read -r -d '' f; do
  isElf "$f" || continue
  dynamic=$(readelf -d "$f")
  path=$(sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p' <<<"$dynamic")
  IFS=: read -ra dirs <<<"${path//\$ORIGIN/$(dirname "$f")}"
  line=""
  for lib in $(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$dynamic"); do
    where=$(whereFound "$lib")
    line+=" $lib ($where)"
    case $where in
      root) [[ $allowed == *" $lib "* ]] || fromRoot+=("$lib") ;;
      MISSING) missing+=("$lib") ;;
    esac
  done
  echo "  ${f#"$stage/$name"/}:${line:- (none)}"
done < <(find "$stage/$name" -type f -print0 | sort -z)

# The reference picture: the same loader and bundle on this machine.
"$loader" --bundle "$bundle" "${args[@]}" --output - >"$expected" 2>/dev/null || true

# No network inside: the run must not need it.
status=0
unshare --net chroot "$root" /veltrane/loader --bundle "/veltrane/$name" "${args[@]}" --output - \
  >"$got" 2>"$log" || status=$?

failed=0
if [ "$status" -ne 0 ]; then
  echo "FAIL: the loader exited with status $status inside the root. Its messages:" >&2
  cat "$log" >&2
  failed=1
elif ! cmp -s "$expected" "$got" || [ ! -s "$got" ]; then
  echo "FAIL: the frames rendered inside the root ($(stat -c %s "$got") bytes) differ from those rendered here" \
       "($(stat -c %s "$expected") bytes)." >&2
  failed=1
else
  cat "$log"
fi
if [ "$failed" -eq 0 ] && [ -n "$devservice" ]; then
  if unshare --net --mount -- "$here/../Linux/with-keyring" "$here/stream-in-root.sh" "$root" "$name" \
      "$devservice" "$work" >"$log" 2>&1; then
    file=$(sed -n 's/.*"file":"\([^"]*\)".*/\1/p' "$work/ingest.json")
    counted=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
      -of csv=p=0 "$file" 2>/dev/null || true)
    pictures=${counted%%[!0-9]*}
    echo "Streamed from inside the root: ${pictures:-0} pictures arrived."
    # Two seconds at 25 fps, less the last latency window.
    if [ "${pictures:-0}" -lt 25 ]; then
      echo "FAIL: too few pictures arrived from inside the root. What ran there said:" >&2
      cat "$log" >&2
      failed=1
    fi
  else
    echo "FAIL: streaming from inside the root failed:" >&2
    cat "$log" >&2
    failed=1
  fi
fi
if [ ${#missing[@]} -gt 0 ]; then
  names=$(printf '%s\n' "${missing[@]}" | sort -u)
  echo "FAIL: $(wc -l <<<"$names") needed libraries are neither in the bundle nor in the root:" \
       "$(tr '\n' ' ' <<<"$names")" >&2
  failed=1
fi
if [ ${#fromRoot[@]} -gt 0 ]; then
  echo "FAIL: the bundle takes these from the root rather than carrying them:" \
       "$(printf '%s\n' "${fromRoot[@]}" | sort -u | tr '\n' ' ')" >&2
  failed=1
fi
# What the product uses fits in well under this; a distribution's whole codec collection does not.
sizeMb=$(du -sm "$bundle" | cut -f1)
if [ "$sizeMb" -gt 80 ]; then
  echo "FAIL: the bundle takes $sizeMb MB; something pulls in far more than the plug-in uses." >&2
  failed=1
fi
[ "$failed" -eq 0 ] && echo "The bundle loaded, described, created an instance and rendered 10 frames on a bare root${devservice:+, and streamed from it}."
exit "$failed"
