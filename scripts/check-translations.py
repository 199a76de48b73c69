#!/usr/bin/env python3
"""Lists every text of the viewer's sources passed to tr() that one of its translation files lacks.

Usage: check-translations.py VIEWER_DIR
Exit status 1 when a text lacks a translation (or has an empty one), 0 otherwise.
"""
import html
import pathlib
import re
import sys

TR_CALL = re.compile(r'\btr\(\s*((?:"(?:[^"\\]|\\.)*"\s*)+)')
LITERAL = re.compile(r'"((?:[^"\\]|\\.)*)"')
MESSAGE = re.compile(r"<source>(.*?)</source>\s*<translation>(.*?)</translation>", re.S)


def translated(ts_file):
    text = ts_file.read_text(encoding="utf-8")
    return {html.unescape(s) for s, t in MESSAGE.findall(text) if t.strip()}


def main():
    viewer = pathlib.Path(sys.argv[1])
    files = sorted((viewer / "resources" / "translations").glob("app_*.ts"))
    known = {f.name: translated(f) for f in files}
    missing = 0
    for source in sorted(viewer.rglob("*.cpp")):
        if {"tests", "bench"} & set(source.relative_to(viewer).parts):
            continue
        for call in TR_CALL.finditer(source.read_text(encoding="utf-8")):
            text = "".join(LITERAL.findall(call.group(1)))
            text = text.encode().decode("unicode_escape").encode("latin-1").decode("utf-8")
            for name, texts in known.items():
                if text not in texts:
                    print(f"{source.relative_to(viewer)}: {name} lacks {text!r}")
                    missing += 1
    if not files:
        print("no translation files found")
        return 1
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
