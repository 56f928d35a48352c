#!/usr/bin/python3
"""The Setup pages of the dispatch boot: pictures and the screen check.

shoot --work DIR --out PICTURES   (beside QEMU) for every "PAGE <name> <state>"
    line on the log port: wait until the console stops changing, take a PNG
    through QMP screendump, note how far the serial console had got, press
    Esc (which ends the application's SendForm).
check --work DIR   rebuild each screen from the serial console (OVMF mirrors
    the console there with VT100 escapes) as it was at the picture, and hold
    it to the application's SHOW lines: the statements in form order, each
    prompt and right-hand text where the browser puts them, nothing else.
"""
import argparse
import html
import json
import os
import socket
import sys
import time

COLUMNS, ROWS = 100, 31      # OVMF's console mode under the form browser
# A page is drawn in one burst of about 0.25 s, with no pause over 35 ms
# (42 pages measured); stillness twice that long once it shows what is
# expected ends it.
SETTLE_MATCHED = 0.06
SETTLE = 0.3                # seconds without console output: the page is drawn
POLL = 0.01


def lines_of(path):
    try:
        with open(path, encoding="latin-1") as f:
            return f.read().split("\n")
    except FileNotFoundError:
        return []


class Qmp:
    def __init__(self, path, limit):
        deadline = time.time() + limit
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.time() > deadline:
                    raise SystemExit(f"setup-screens: no QMP socket at {path}")
                time.sleep(POLL)
        self.file = self.sock.makefile("rw")
        self.file.readline()  # greeting
        self.run("qmp_capabilities")

    def run(self, command, **arguments):
        self.file.write(json.dumps({"execute": command, "arguments": arguments}) + "\n")
        self.file.flush()
        while True:
            reply = json.loads(self.file.readline() or '{"error": "QMP closed"}')
            if "event" not in reply:
                if "error" in reply:
                    raise SystemExit(f"setup-screens: {command}: {reply['error']}")
                return reply


class Console:
    """The serial console as a screen, fed as it grows."""

    def __init__(self, path):
        import pyte  # Debian python3-pyte
        self.path, self.fed = path, 0
        self.screen = pyte.Screen(COLUMNS, ROWS)
        self.stream = pyte.Stream(self.screen)

    def upto(self, offset):
        with open(self.path, "rb") as f:
            f.seek(self.fed)
            self.stream.feed(f.read(offset - self.fed).decode("cp437"))
        self.fed = offset
        return list(self.screen.display)


def settle(console, title, statements, limit=10.0):
    """Waits for the page: the console has grown, and then either shows
    what is expected and stays still for a moment, or stays still longer
    (the check will say what it shows). The offset it had reached."""
    start = size = os.path.getsize(console.path)
    still, deadline = 0.0, time.time() + limit
    while time.time() < deadline:
        time.sleep(POLL)
        now = os.path.getsize(console.path)
        still = still + POLL if now == size else 0.0
        size = now
        if size == start or still < SETTLE_MATCHED:
            continue
        if still >= SETTLE or not judge(console.upto(size), title, statements):
            break
    console.upto(size)
    return size


def shoot(work, out, limit):
    os.makedirs(out, exist_ok=True)
    for old in os.listdir(out):  # a picture of an earlier boot is no proof
        if old.startswith("setup-") and old.endswith(".png"):
            os.remove(os.path.join(out, old))
    qmp = Qmp(os.path.join(work, "qmp.sock"), limit)
    log, serial = os.path.join(work, "board.log"), os.path.join(work, "serial.log")
    while not os.path.exists(serial):
        time.sleep(POLL)
    console = Console(serial)
    done, deadline = 0, time.time() + limit
    with open(os.path.join(work, "pages.list"), "w") as listing:
        while time.time() < deadline:
            lines = lines_of(log)[:-1]   # whole lines only
            for line in lines[done:]:
                if line.startswith("PHASE ") or line.startswith("DONE "):
                    return
                if line.startswith("PAGE "):
                    _, name, state = line.split()
                    want = expectations(work).get((name, state), [])
                    offset = settle(console, *split_title(want))
                    png = os.path.abspath(os.path.join(out, f"setup-{name}-{state}.png"))
                    qmp.run("screendump", filename=png, format="png")
                    listing.write(f"{name} {state} {offset} {png}\n")
                    listing.flush()
                    qmp.run("send-key", keys=[{"type": "qcode", "data": "esc"}])
            done = len(lines)
            time.sleep(POLL)


# Where OVMF's display engine puts a statement at 100 columns: the prompt
# from column 3, the right-hand text from 36 (a prompt without one runs on
# to 69), the highlighted statement's help from 70 (not checked).
PROMPT, VALUE, HELP = 3, 36, 70


def norm(text):
    return " ".join(text.split())


def consume(rows, at, left, right, want):
    """Rows from `at` whose [left, right) columns spell `want` (wrapped at
    spaces, leading spaces kept on the first row); their count, or an error."""
    got, n = "", 0
    while norm(got) != norm(want):
        part = rows[at + n][left:right].rstrip() if at + n < len(rows) else None
        whole = norm(got + " " + (part or ""))
        if part is None or not part.strip() or not (norm(want) + " ").startswith(whole + " "):
            return 0, f"want {want!r}, screen shows {whole!r} at row {at + n}"
        if n == 0 and len(part) - len(part.lstrip()) != len(want) - len(want.lstrip()):
            return 0, f"{want!r} is indented {len(part) - len(part.lstrip())} on screen"
        got, n = got + " " + part, n + 1
    return n, None


def judge(rows, title, statements):
    """The problems of one screen: title row, statements in order, nothing after."""
    if len(rows) < 3 or norm(rows[1].strip("│ ")) != norm(title):
        return [f"title {norm(rows[1].strip('│ ')) if len(rows) > 1 else ''!r}, want {title!r}"]
    body_top = 4
    body_end = next((i for i in range(body_top, len(rows)) if rows[i].startswith("┌")), len(rows))
    body, at = rows[:body_end], body_top
    for kind, prompt, value in statements:
        width = VALUE - 1 if value else HELP - 1
        n, error = consume(body, at, PROMPT, width, prompt)
        if error:
            return [f"{kind} {error}"]
        if value:
            m, error = consume(body, at, VALUE, HELP - 1, value)
            if error:
                return [f"right-hand text of {prompt!r}: {error}"]
            n = max(n, m)
        at += n
    extra = [norm(r[PROMPT:HELP - 1]) for r in body[at:] if r[PROMPT:HELP - 1].strip()]
    return [f"shown but not expected: {extra!r}"] if extra else []


def expectations(work):
    want = {}
    for line in lines_of(os.path.join(work, "board.log")):
        if line.startswith("SHOW "):
            _, page, state, rest = line.split(" ", 3)
            kind, prompt, value = rest.split("|")
            want.setdefault((page, state), []).append((kind, prompt, value))
    return want


def split_title(statements):
    titles = [p for k, p, _ in statements if k == "title"]
    return (titles[0] if titles else "?"), [s for s in statements if s[0] != "title"]


def write_index(work, out, pages):
    report = ""
    path = os.path.join(work, "report.txt")
    if os.path.exists(path):
        with open(path, encoding="utf-8", errors="replace") as f:
            report = html.escape(f.read())
    rows = "".join(
        f"<h2>{html.escape(name)}</h2><table><tr><th>as shipped</th><th>after BoardSetupDxe</th></tr>"
        f"<tr><td><img src='setup-{name}-before.png'></td><td><img src='setup-{name}-after.png'></td>"
        "</tr></table>\n" for name in pages)
    with open(os.path.join(out, "index.html"), "w") as f:
        f.write("<!doctype html><meta charset='utf-8'><title>Setup pages, before and after</title>"
                "<style>img{width:640px} td{vertical-align:top}</style>"
                f"<h1>The Setup pages, as shipped and after the driver</h1>{rows}"
                f"<h2>Boot report</h2><pre>{report}</pre>\n")


def check(work, out):
    want = expectations(work)
    shots = [line.split() for line in lines_of(os.path.join(work, "pages.list")) if line]
    console, failed, pages = Console(os.path.join(work, "serial.log")), 0, []
    for name, state, offset, png in shots:
        rows = console.upto(int(offset))
        problems = judge(rows, *split_title(want.pop((name, state), [])))
        if not os.path.exists(png):
            problems.append(f"no picture {png}")
        if name not in pages:
            pages.append(name)
        for p in problems:
            print(f"FAIL screen {name} {state}: {p}")
        if problems:
            failed += 1
            print("\n".join("    |" + r.rstrip() for r in rows))
    for name, state in want:
        print(f"FAIL screen {name} {state}: the page was never shown or photographed")
        failed += 1
    write_index(work, out, pages)
    print(f"Setup pages: {len(shots) - failed} of {len(shots) + len(want)} screens as expected;"
          f" pictures and {os.path.join(out, 'index.html')}")
    return 1 if failed or not shots else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["shoot", "check"])
    parser.add_argument("--work", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--timeout", type=float, default=60)
    args = parser.parse_args()
    if args.mode == "shoot":
        shoot(args.work, args.out, args.timeout)
        return 0
    return check(args.work, args.out)


if __name__ == "__main__":
    sys.exit(main())
