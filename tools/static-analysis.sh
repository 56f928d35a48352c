#!/bin/sh
# clang-tidy (checks in .clang-tidy) and cppcheck over the product code: the
# drivers, the seam, the simulator and fwimage; any finding fails.
# The sources come from the build tree's compile commands (a unity batch
# stands for the files it includes); a product source none reads fails the
# run. The simulator and fwimage are each analysed as one translation unit,
# their sources joined in one file (static-analysis/joined/): the checks walk
# the standard library's headers once per library instead of once per file, a
# fifth of the time, and the analyzer still follows every function of the
# library as main-file code. Firmware files are copied there one by one.
# Findings name the original file and line.
# Whatever clang-tidy found clean is not analysed again until it, a header it
# includes, its compile command, .clang-tidy, clang-tidy or this script
# changes: its stamp in <build dir>/static-analysis/ holds the hash of them
# all. cppcheck keeps its own per-file results there.
# usage: static-analysis.sh <source dir> <build dir with compile_commands.json>
set -eu
shallow="-extra-arg=-Xclang -extra-arg=-analyzer-config -extra-arg=-Xclang -extra-arg=mode=shallow"
seam_flags="--target=x86_64-unknown-windows -std=c++20 -ffreestanding -I Include"
if [ "$1" = --one ]; then
  # One translation unit's analysis (run from the source dir): its findings go
  # to logs/<stamp name>; clean, its stamp is written.
  # usage: static-analysis.sh --one <build dir> <stamp name> <key> <kind> <file>
  build=$2 name=$3 key=$4 kind=$5 file=$6
  cache=$build/static-analysis
  # The compile flags, shell-quoted in the .flags file (a define may hold
  # quotes), become the arguments after "--".
  case $kind in
    firmware) depth=; eval "set -- $(cat "${file%.cpp}.flags")" ;;
    joined) depth=$shallow; eval "set -- $(cat "${file%.cpp}.flags")" ;;
    # shellcheck disable=SC2086
    seam) depth=; set -- $seam_flags ;;
    *) echo "static analysis: unknown kind $kind" >&2; exit 2 ;;
  esac
  # shellcheck disable=SC2086
  clang-tidy --quiet --config-file=.clang-tidy "$file" $depth -- "$@" >"$cache/logs/$name.raw" 2>&1 && ok=1 || ok=0
  if [ $kind != seam ]; then
    # joined.cpp:LINE -> the source file and its own line (the .map's lines:
    # first joined line, file).
    awk -v joined="$file" 'NR == FNR { start[NR] = $1; path[NR] = $2; n = NR; next }
      index($0, joined ":") == 1 {
        rest = substr($0, length(joined) + 2); line = rest + 0
        for (i = n; i > 1 && start[i] > line; i--) {}
        sub(/^[0-9]+/, "", rest); $0 = path[i] ":" (line - start[i] + 1) rest
      } { print }' "${file%.cpp}.map" "$cache/logs/$name.raw" >"$cache/logs/$name"
  else
    mv "$cache/logs/$name.raw" "$cache/logs/$name"
  fi
  if [ $ok = 1 ] && ! grep -qE "(warning|error):" "$cache/logs/$name"; then
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
# Firmware code gets the analyzer's full depth, file by file. The simulator and
# fwimage (which reads images from anywhere) are heavy with standard-library
# templates: the same checks there, joined per library, with the analyzer's
# shallow inlining (a third of the time). The image seam is analysed for the
# images' target.
firmware="BoardSetupDxe UsbSupportS5Smm"
host="Simulator tools/fwimage"
seam="Hal/X64"
cache=$build/static-analysis
mkdir -p "$cache/stamps" "$cache/cppcheck" "$cache/logs" "$cache/joined"

# The files to analyse, one line each: stamp name, key, kind, file; those
# whose stamp holds the key are left out.
pending=$(/usr/bin/python3 - "$src" "$build" "$cache" "$firmware" "$host" "$seam" "$seam_flags" \
  "$(clang-tidy --version)" "$self" <<'PY'
import glob, hashlib, json, os, shlex, subprocess, sys

src, build, cache, firmware, host, seam, seam_flags, version, script = sys.argv[1:]
stamps = os.path.join(cache, "stamps")
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

queue = []

def pending(kind, file, command, deps, name=None):
    name = name or os.path.relpath(file, src).replace("/", "_")
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
    queue.append(f"{name} {key} {kind} {file}")

def under(file, dirs):
    return next((d for d in dirs.split() if file.startswith(os.path.join(src, d) + "/")), None)

def write(path, text):
    # unchanged text keeps its file (and its time)
    try:
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return
    except OSError:
        pass
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)

# Flags that change only the code generated, not what the compiler reads:
# left out, so that fwimage's main file joins the library it calls (one walk
# of the standard library's headers instead of two).
CODEGEN_ONLY = {"-fsanitize=fuzzer-no-link"}

def compile_flags(entry, file):
    # the compile command without the compiler, its output, its input and
    # the code-generation-only flags
    args, flags, skip = shlex.split(entry["command"])[1:], [], False
    for a in args:
        if skip or a in ("-o", "-c"):
            skip = a == "-o"
            continue
        if a not in CODEGEN_ONLY and os.path.normpath(os.path.join(entry["directory"], a)) != file:
            flags.append(a)
    return flags

def ninja_deps():
    # Ninja keeps the compiler's dependency lists in its own log, not in .d
    # files: object -> headers and source (relative to the build dir)
    if not os.path.exists(os.path.join(build, "build.ninja")):
        return {}
    made = subprocess.run(["ninja", "-C", build, "-t", "deps"], capture_output=True, text=True, check=False)
    deps, current = {}, None
    for line in made.stdout.splitlines():
        if line and not line.startswith(" "):
            current = line.split(":", 1)[0] if "(VALID)" in line else None
            if current:
                deps[current] = []
        elif line.strip() and current:
            deps[current].append(os.path.normpath(os.path.join(build, line.strip())))
    return deps

def sources(file):
    # a unity batch stands for the sources it includes
    if "/Unity/unity_" not in file:
        return [file]
    with open(file, encoding="utf-8") as f:
        return [os.path.normpath(line.split('"')[1]) for line in f if line.startswith("#include \"")]

recorded = ninja_deps()
units = {}  # (kind, library, flags) -> [(file, deps)]: compiled alike
with open(os.path.join(build, "compile_commands.json"), encoding="utf-8") as f:
    entries = json.load(f)
seen = set()
for e in entries:
    batch = os.path.normpath(os.path.join(e["directory"], e["file"]))
    args = shlex.split(e["command"])
    obj = args[args.index("-o") + 1] if "-o" in args else None
    deps = None
    if obj:
        deps = recorded.get(obj) or depfile(os.path.join(e["directory"], obj + ".d"))
    flags = tuple(compile_flags(e, batch))
    for file in sources(batch):
        library = under(file, host)
        kind = "joined" if library else "firmware" if under(file, firmware) else None
        if kind is None or file in seen:
            continue
        seen.add(file)
        # Firmware code: each file on its own. Host code: per library and flags.
        unit = (kind, library or file, flags)
        units.setdefault(unit, []).append((file, deps))

# Every product source must have been found: a tree that builds them some
# other way would otherwise leave them unanalysed.
for d in (firmware + " " + host).split():
    for file in sorted(glob.glob(os.path.join(src, d, "*.cpp"))):
        if file not in seen:
            sys.exit(f"static analysis: no compile command reads {os.path.relpath(file, src)} in {build}")

count = {}
for (kind, library, flags), files in sorted(units.items(), key=lambda u: (-len(u[1]), u[0][1])):
    name = os.path.relpath(library, src).replace("/", "_").removesuffix(".cpp")
    n = count[name] = count.get(name, 0) + 1
    # One translation unit: the sources one after the other, compiled as
    # they are, plus their own folder for their quoted includes.
    folder = os.path.dirname(files[0][0])
    flags = list(flags) + ["-iquote", folder]
    base = os.path.join(cache, "joined", f"{name}-{n}")
    text, lines, where = "", 1, []
    for file, _ in sorted(files):
        with open(file, encoding="utf-8") as f:
            body = f.read()
        if not body.endswith("\n"):
            body += "\n"
        where.append(f"{lines} {os.path.relpath(file, src)}\n")
        text += body
        lines += body.count("\n")
    write(base + ".cpp", text)
    write(base + ".map", "".join(where))
    write(base + ".flags", shlex.join(flags) + "\n")
    unknown = any(deps is None for _, deps in files)
    deps = [d for _, dl in files for d in (dl or [])] + [f for f, _ in files]
    pending(kind, base + ".cpp", shlex.join(flags), None if unknown else deps, f"{name}-{n}")
for file in sorted(glob.glob(os.path.join(src, seam, "*.cpp"))):
    flags = shlex.split(seam_flags)
    made = subprocess.run(["clang++", *flags, "-MM", file], capture_output=True, text=True)
    deps = made.stdout.replace("\\\n", " ").split(":", 1)[1].split() if made.returncode == 0 else None
    pending("seam", file, seam_flags, deps)
# the libraries first: they take longest
print("\n".join(sorted(queue, key=lambda l: l.split()[2] != "joined")))
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
