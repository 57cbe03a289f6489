#!/usr/bin/env python3
"""Reads the running program through the AT-SPI accessibility bus, as a screen
reader would. Talks D-Bus through `gdbus` (no Python bindings needed).

  a11y.py center <role> <name>            centre of a control on the screen: "X Y"
  a11y.py headers                         the job table's column captions, one a line
  a11y.py names                           "role: name" of every control (for diagnosis)
  a11y.py wait-cell <row> <col> <text> <seconds>
                                          waits until the table cell reads <text>
                                          (or a regex with "re:" prefix); prints it

Every command waits up to its deadline for the program to appear on the bus.
Exit status 0 on success, 1 when the deadline passed, 2 on misuse.
"""
import re
import subprocess
import sys
import time

ROOT = "/org/a11y/atspi/accessible/root"
ACC = "org.a11y.atspi.Accessible"


class GVariantText:
    """Parses the text form of GVariant that `gdbus call` prints."""

    TOKEN = re.compile(r"\s*(?:(?P<str>'(?:[^'\\]|\\.)*'|\"(?:[^\"\\]|\\.)*\")|"
                       r"(?P<num>-?\d+(?:\.\d+)?)|(?P<word>@?[A-Za-z_][\w{}()]*)|(?P<p>[()\[\]<>,:{}]))")

    def __init__(self, text):
        self.tokens = []
        pos = 0
        while pos < len(text):
            m = self.TOKEN.match(text, pos)
            if not m:
                if text[pos:].strip() == "":
                    break
                raise ValueError("cannot parse: " + text[pos:pos + 40])
            pos = m.end()
            kind = m.lastgroup
            self.tokens.append((kind, m.group(kind)))
        self.i = 0

    def value(self):
        kind, tok = self.tokens[self.i]
        self.i += 1
        if kind == "str":
            return unescape(tok[1:-1])
        if kind == "num":
            return float(tok) if "." in tok else int(tok)
        if kind == "word":
            if tok in ("true", "false"):
                return tok == "true"
            return self.value()  # a type annotation such as "objectpath" or "uint32"
        if tok in "([":
            close = ")" if tok == "(" else "]"
            items = []
            while self.tokens[self.i][1] != close:
                items.append(self.value())
                if self.tokens[self.i][1] == ",":
                    self.i += 1
            self.i += 1
            return tuple(items) if close == ")" else items
        if tok == "<":
            inner = self.value()
            self.i += 1  # ">"
            return inner
        raise ValueError("unexpected " + tok)


def unescape(s):
    out, i = [], 0
    while i < len(s):
        c = s[i]
        if c == "\\" and i + 1 < len(s):
            n = s[i + 1]
            if n == "u":
                out.append(chr(int(s[i + 2:i + 6], 16)))
                i += 6
                continue
            if n == "U":
                out.append(chr(int(s[i + 2:i + 10], 16)))
                i += 10
                continue
            out.append({"n": "\n", "t": "\t", "r": "\r"}.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


def gdbus(*args, address=None):
    cmd = ["gdbus", "call"] + (["--address", address] if address else ["--session"]) + list(args)
    res = subprocess.run(cmd, capture_output=True, text=True, timeout=20)
    if res.returncode != 0:
        raise RuntimeError(res.stderr.strip())
    return GVariantText(res.stdout).value()


class Bus:
    def __init__(self):
        (self.address,) = gdbus("--dest", "org.a11y.Bus", "--object-path", "/org/a11y/bus",
                                "--method", "org.a11y.Bus.GetAddress")

    def call(self, ref, method, *args):
        return gdbus("--dest", ref[0], "--object-path", ref[1], "--method", method, *args,
                     address=self.address)

    def children(self, ref):
        return self.call(ref, ACC + ".GetChildren")[0]

    def role(self, ref):
        return self.call(ref, ACC + ".GetRoleName")[0]

    def prop(self, ref, iface, name):
        return self.call(ref, "org.freedesktop.DBus.Properties.Get", iface, name)[0]

    def name(self, ref):
        return self.prop(ref, ACC, "Name")

    def apps(self):
        return self.children(("org.a11y.atspi.Registry", ROOT))

    def walk(self):
        """(ref, role, name) of every control of every application, cells excepted."""
        todo = list(self.apps())
        while todo:
            ref = todo.pop(0)
            role = self.role(ref)
            yield ref, role, self.name(ref)
            # Cells are read through the table interface; list entries are not controls.
            if role not in ("table", "combo box"):
                todo.extend(self.children(ref))

    def find(self, role, name=None):
        for ref, r, n in self.walk():
            if r == role and (name is None or n == name):
                return ref
        return None

    def cell(self, table, row, col):
        ref = self.call(table, "org.a11y.atspi.Table.GetAccessibleAt", str(row), str(col))[0]
        return self.name(ref)


def until(deadline, attempt):
    """Runs attempt() until it returns something other than None or time is up."""
    last_error = None
    while True:
        try:
            result = attempt()
            if result is not None:
                return result
        except (RuntimeError, IndexError, ValueError, subprocess.TimeoutExpired) as e:
            last_error = e
        if time.monotonic() > deadline:
            if last_error:
                print("a11y: " + str(last_error), file=sys.stderr)
            return None
        time.sleep(0.2)


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    cmd, args = argv[1], argv[2:]
    deadline = time.monotonic() + (float(args[3]) if cmd == "wait-cell" else 30)
    bus = until(deadline, Bus)
    if bus is None:
        return 1
    if cmd == "names":
        for _, role, name in bus.walk():
            print(f"{role}: {name}")
        return 0
    if cmd == "center":
        ref = until(deadline, lambda: bus.find(args[0], args[1]))
        if ref is None:
            return 1
        x, y, w, h = bus.call(ref, "org.a11y.atspi.Component.GetExtents", "0")[0]
        print(x + w // 2, y + h // 2)
        return 0
    table = until(deadline, lambda: bus.find("table"))
    if table is None:
        return 1
    if cmd == "headers":
        # The header cells lead the table's children (GetColumnHeader finds none).
        for ref in bus.children(table):
            if bus.role(ref) == "column header":
                print(bus.name(ref))
        return 0
    if cmd == "wait-cell":
        row, col, want = int(args[0]), int(args[1]), args[2]
        seen = [None]

        def matches():
            seen[0] = bus.cell(table, row, col)
            ok = re.fullmatch(want[3:], seen[0]) if want.startswith("re:") else seen[0] == want
            return seen[0] if ok else None

        got = until(deadline, matches)
        print(got if got is not None else seen[0])
        return 0 if got is not None else 1
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
