#!/usr/bin/env python3
"""Lists every text of the viewer's sources passed to tr() that one of its translation files lacks.

A text is looked up in the context Qt looks it up in at run time: the class whose member function
calls tr() (the class named before "::tr(" when the call names one).

Usage: check-translations.py VIEWER_DIR
Exit status 1 when a text lacks a translation (or has an empty one), 0 otherwise.
"""
import html
import pathlib
import re
import sys

TR_CALL = re.compile(r'(?:\b(\w+)::)?\btr\(\s*((?:"(?:[^"\\]|\\.)*"\s*)+)')
LITERAL = re.compile(r'"((?:[^"\\]|\\.)*)"')
CONTEXT = re.compile(r"<context>\s*<name>(.*?)</name>(.*?)</context>", re.S)
MESSAGE = re.compile(r"<source>(.*?)</source>\s*<translation>(.*?)</translation>", re.S)
MEMBER = re.compile(r"\b(\w+)::~?\w+\s*\(")


def translated(ts_file):
    """{context: {source text, ...}} of the messages with a non-empty translation."""
    text = ts_file.read_text(encoding="utf-8")
    known = {}
    for name, body in CONTEXT.findall(text):
        texts = known.setdefault(html.unescape(name.strip()), set())
        texts.update(html.unescape(s) for s, t in MESSAGE.findall(body) if t.strip())
    return known


def definitions(source_text):
    """(offset, class) of each member function defined in the file, in order."""
    out = []
    for line in re.finditer(r"^.*$", source_text, re.M):
        s = line.group(0)
        if not s or s[0] in " \t#/}":
            continue
        members = MEMBER.findall(s)
        if members:
            out.append((line.start(), members[-1]))
    return out


def context_at(defs, offset):
    found = None
    for start, name in defs:
        if start > offset:
            break
        found = name
    return found


def main():
    viewer = pathlib.Path(sys.argv[1])
    files = sorted((viewer / "resources" / "translations").glob("app_*.ts"))
    known = {f.name: translated(f) for f in files}
    missing = 0
    for source in sorted(viewer.rglob("*.cpp")):
        if {"tests", "bench"} & set(source.relative_to(viewer).parts):
            continue
        text_of_file = source.read_text(encoding="utf-8")
        defs = definitions(text_of_file)
        for call in TR_CALL.finditer(text_of_file):
            context = call.group(1) or context_at(defs, call.start())
            text = "".join(LITERAL.findall(call.group(2)))
            text = text.encode().decode("unicode_escape").encode("latin-1").decode("utf-8")
            line = text_of_file.count("\n", 0, call.start()) + 1
            if context is None:
                print(f"{source.relative_to(viewer)}:{line}: tr({text!r}) outside any class")
                missing += 1
                continue
            for name, contexts in known.items():
                if text not in contexts.get(context, set()):
                    print(f"{source.relative_to(viewer)}:{line}: {name} lacks {text!r} in {context}")
                    missing += 1
    if not files:
        print("no translation files found")
        return 1
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
