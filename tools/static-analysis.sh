#!/bin/sh
# clang-tidy (checks in .clang-tidy) and cppcheck over the product code: the
# drivers, the seam, the simulator and fwimage; any finding fails.
# A file clang-tidy found clean is not analysed again until it, a header it
# includes, its compile command, .clang-tidy, clang-tidy or this script
# changes: its stamp in <build dir>/static-analysis/ holds the hash of them
# all. cppcheck keeps its own per-file results there.
# usage: static-analysis.sh <source dir> <build dir with compile_commands.json>
set -eu
shallow="-extra-arg=-Xclang -extra-arg=-analyzer-config -extra-arg=-Xclang -extra-arg=mode=shallow"
seam_flags="--target=x86_64-unknown-windows -std=c++20 -ffreestanding -I Include"
if [ "$1" = --one ]; then
  # One file's analysis (run from the source dir): its findings go to
  # logs/<stamp name>; clean, its stamp is written.
  # usage: static-analysis.sh --one <build dir> <stamp name> <key> <kind> <file>
  build=$2 name=$3 key=$4 kind=$5 file=$6
  cache=$build/static-analysis
  case $kind in
    firmware) extra="-p $build" ;;
    host) extra="-p $build $shallow" ;;
    seam) extra="-- $seam_flags" ;;
    *) echo "static analysis: unknown kind $kind" >&2; exit 2 ;;
  esac
  # shellcheck disable=SC2086
  if clang-tidy --quiet "$file" $extra >"$cache/logs/$name" 2>&1 &&
     ! grep -qE "(warning|error):" "$cache/logs/$name"; then
    [ "$key" = uncached ] || echo "$key" >"$cache/stamps/$name"
    exit 0
  fi
  rm -f "$cache/stamps/$name"
  exit 1
fi
src=$(cd "$1" && pwd); build=$(cd "$2" && pwd)
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
cd "$src"
for tool in clang-tidy cppcheck; do
  command -v "$tool" >/dev/null 2>&1 || { echo "static analysis: $tool is not installed (tools/install-deps.sh installs it)"; exit 1; }
done
[ -x /usr/bin/python3 ] || { echo "static analysis: /usr/bin/python3 is missing (it picks the files to analyse)"; exit 1; }
# Firmware code gets the analyzer's full depth. The simulator and fwimage (which
# reads images from anywhere) are heavy with standard-library templates: the
# same checks there, with the analyzer's shallow inlining (a third of the
# time). The image seam is analysed for the images' target.
firmware="BoardSetupDxe UsbSupportS5Smm"
host="Simulator tools/fwimage"
seam="Hal/X64"
cache=$build/static-analysis
mkdir -p "$cache/stamps" "$cache/cppcheck" "$cache/logs"

# The files to analyse, one line each: stamp name, key, kind, file; those
# whose stamp holds the key are left out.
pending=$(/usr/bin/python3 - "$src" "$build" "$cache/stamps" "$firmware" "$host" "$seam" "$seam_flags" \
  "$(clang-tidy --version)" "$self" <<'PY'
import glob, hashlib, json, os, shlex, subprocess, sys

src, build, stamps, firmware, host, seam, seam_flags, version, script = sys.argv[1:]
digests = {}

def digest(path):
    if path not in digests:
        try:
            with open(path, "rb") as f:
                digests[path] = hashlib.sha256(f.read()).hexdigest()
        except OSError:
            digests[path] = "missing"
    return digests[path]

def depfile(path):
    # make syntax: "target: dep dep \" over several lines; no dependency list, no caching
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read().replace("\\\n", " ")
    except OSError:
        return None
    return text.split(":", 1)[1].split() if ":" in text else None

common = [digest(os.path.join(src, ".clang-tidy")), digest(script), version]

def pending(kind, file, command, deps):
    name = os.path.relpath(file, src).replace("/", "_")
    if deps is None:
        key = "uncached"
    else:
        parts = common + [kind, command, digest(file)] + sorted(f"{d}={digest(d)}" for d in set(deps))
        key = hashlib.sha256("\n".join(parts).encode()).hexdigest()
    try:
        with open(os.path.join(stamps, name), encoding="utf-8") as f:
            if key != "uncached" and f.read().strip() == key:
                return
    except OSError:
        pass
    print(name, key, kind, file)

def under(file, dirs):
    return any(file.startswith(os.path.join(src, d) + "/") for d in dirs.split())

with open(os.path.join(build, "compile_commands.json"), encoding="utf-8") as f:
    entries = json.load(f)
seen = set()
for e in entries:
    file = os.path.normpath(os.path.join(e["directory"], e["file"]))
    kind = "firmware" if under(file, firmware) else "host" if under(file, host) else None
    if kind is None or file in seen:
        continue
    seen.add(file)
    args = shlex.split(e["command"])
    obj = args[args.index("-o") + 1] if "-o" in args else None
    deps = depfile(os.path.join(e["directory"], obj + ".d")) if obj else None
    pending(kind, file, e["command"], deps)
for file in sorted(glob.glob(os.path.join(src, seam, "*.cpp"))):
    flags = shlex.split(seam_flags)
    made = subprocess.run(["clang++", *flags, "-MM", file], capture_output=True, text=True)
    deps = made.stdout.replace("\\\n", " ").split(":", 1)[1].split() if made.returncode == 0 else None
    pending("seam", file, seam_flags, deps)
PY
)

status=0
count=$(echo "$pending" | grep -c . || true)
echo "clang-tidy: $count file(s) to analyse, the others unchanged since found clean"
if [ "$count" -gt 0 ]; then
  # Two at a time: the machine's two cores.
  echo "$pending" | xargs -P 2 -L 1 "$self" --one "$build" || status=1
  for name in $(echo "$pending" | cut -d' ' -f1); do
    grep -E "(warning|error):" "$cache/logs/$name" || true
  done
fi

echo "cppcheck"
# shellcheck disable=SC2086
cppcheck --quiet --enable=warning,performance,portability --std=c++20 --language=c++ \
  --error-exitcode=1 --inline-suppr --suppress=missingIncludeSystem -I Include -I . -j 2 \
  --cppcheck-build-dir="$cache/cppcheck" $firmware $seam $host || status=1
[ $status -eq 0 ] && echo "static analysis: no findings"
exit $status
