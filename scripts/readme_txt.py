#!/usr/bin/env python3
"""Turns README.md into README.txt for Notepad: plain ASCII text in lines of at most
78 characters (where words allow), CRLF line ends, headings underlined, tables
written out row by row, links as their text with the page in brackets.

    readme_txt.py README.md README.txt
"""
import re
import sys
import textwrap

WIDTH = 78
# Notepad of every Windows version shows ASCII right; these are all the README uses.
ASCII = {"\u2212": "-", "\u2013": "-", "\u2014": "--", "\u2026": "...", "\u00d7": "x",
         "\u00f7": "/", "\u00b1": "+/-", "\u00b7": "|", "\u2192": "->", "\u2018": "'",
         "\u2019": "'", "\u201c": '"', "\u201d": '"', "\u00a0": " "}


def link(m):
    """A link to a part of this text is its text; to a page, the text and the page
    (a path as Windows writes it)."""
    text, target = m.group(1), m.group(2)
    if target.startswith("#"):
        return text
    if not target.startswith("http"):
        target = target.replace("/", "\\")
    return text if text.strip("`") == target.replace("\\", "/") else f"{text} ({target})"


def inline(text):
    """Markdown spans as plain text."""
    text = re.sub(r"\[([^\]]+)\]\(([^)]+)\)", link, text)
    # Code of more than one word in quotes, so it stands apart from the sentence.
    text = re.sub(r"`([^`]*)`", lambda m: f'"{m.group(1)}"' if " " in m.group(1) else m.group(1),
                  text)
    text = text.replace("**", "").replace("\\|", "|")
    text = re.sub(r"(?<![\w*])\*([^*\s][^*]*)\*(?![\w*])", r"\1", text)
    return "".join(ASCII.get(c, c) for c in text)


def wrap(text, indent="", first=None):
    first = indent if first is None else first
    return textwrap.wrap(text, WIDTH, initial_indent=first, subsequent_indent=indent,
                         break_long_words=False, break_on_hyphens=False) or [first.rstrip()]


def cells(row):
    row = row.strip().strip("|")
    return [inline(c.strip()) for c in re.split(r"(?<!\\)\|", row)]


def table(rows):
    """Two columns: one entry a paragraph; more: the first cell as its title, the
    others under it as 'heading: value'."""
    head = cells(rows[0])
    out = []
    for row in rows[2:]:
        values = cells(row)
        if len(head) == 2:
            out += wrap(f"{values[0]}: {values[1]}", "    ", "  * ")
        else:
            out += wrap(values[0], "    ", "  * ")
            for name, value in zip(head[1:], values[1:]):
                if value:
                    out += wrap(f"{name}: {value}", "        ", "      ")
    return out


def heading(line):
    level = len(line) - len(line.lstrip("#"))
    title = inline(line[level:].strip())
    if level == 1:
        return ["=" * len(title), title, "=" * len(title)]
    if level == 2:
        return [title, "=" * len(title)]
    return [title, "-" * len(title)]


def convert(lines):
    out = []
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.startswith("```"):
            j = lines.index("```", i + 1) if "```" in lines[i + 1:] else len(lines)
            out += ["    " + "".join(ASCII.get(c, c) for c in l) for l in lines[i + 1:j]]
            i = j + 1
        elif line.startswith("    "):
            out.append("".join(ASCII.get(c, c) for c in line))
            i += 1
        elif line.startswith("#"):
            if out and out[-1]:
                out.append("")
            out += heading(line)
            i += 1
        elif line.startswith("|"):
            j = i
            while j < len(lines) and lines[j].startswith("|"):
                j += 1
            out += table(lines[i:j])
            i = j
        elif not line.strip():
            out.append("")
            i += 1
        else:
            j = i
            while j < len(lines) and lines[j].strip() and not lines[j].startswith(
                    ("#", "|", "```", "    ")) and not (j > i and re.match(r"\d+\. |- ", lines[j])):
                j += 1
            text = " ".join(l.strip() for l in lines[i:j])
            item = re.match(r"(\d+\. |- )", text)
            if item:
                mark = item.group(1).replace("- ", "* ")
                out += wrap(inline(text[len(item.group(1)):]), " " * (len(mark) + 2), "  " + mark)
            else:
                out += wrap(inline(text))
            i = j
    while out and not out[-1]:
        out.pop()
    return out


def main():
    source, target = sys.argv[1], sys.argv[2]
    with open(source, encoding="utf-8") as f:
        lines = f.read().splitlines()
    with open(target, "w", encoding="ascii", errors="replace", newline="\r\n") as f:
        f.write("\n".join(convert(lines)) + "\n")


if __name__ == "__main__":
    main()
