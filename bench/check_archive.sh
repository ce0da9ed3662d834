#!/usr/bin/env bash
# bench/check_archive.sh ARCHIVE FOLDER [PYTHON]
# Whether unzip -t, 7z t, bsdtar -tf and Python's zipfile accept the archive
# and find in it exactly the files of FOLDER with their content. Exit 0 when
# all of them do. Used by the zip and backup benchmarks.
set -u
ARCHIVE=$1
FOLDER=$2
PY=${3:-python3}
fail=0
unzip -tq "$ARCHIVE" > /dev/null || { echo "unzip -t refused the archive"; fail=1; }
7z t "$ARCHIVE" > /dev/null || { echo "7z t refused the archive"; fail=1; }
bsdtar -tf "$ARCHIVE" > /dev/null || { echo "bsdtar -tf refused the archive"; fail=1; }
"$PY" - "$ARCHIVE" "$FOLDER" <<'PY' || fail=1
import os, sys, zipfile
archive, root = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(archive) as z:
    names = set()
    for info in z.infolist():
        names.add(info.filename)
        with z.open(info) as a, open(os.path.join(root, info.filename), "rb") as b:
            while True:
                x, y = a.read(1 << 20), b.read(1 << 20)
                if x != y:
                    sys.exit("python zipfile: content differs: " + info.filename)
                if not x:
                    break
files = {os.path.relpath(os.path.join(d, f), root) for d, _, fs in os.walk(root) for f in fs}
if files != names:
    sys.exit("python zipfile: entries differ from the folder")
PY
[ $fail = 0 ] && echo "readers: unzip -t, 7z t, bsdtar -tf, python zipfile all accept the archive"
exit $fail
