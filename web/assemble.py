"""Puts the page together into one file: the page, its style, emscripten's
loader, the page's script and the WebAssembly module as base64 (compiled by
the page asynchronously, as browsers want for a module of this size).
Usage: assemble.py PAGE CSS PAGE_JS LOADER_JS WASM OUT"""

import base64
import os
import re
import sys


def inline_script(text):
    # A "</script" inside the code would end the element early.
    return re.sub(r"</(script)", r"<\\/\1", text, flags=re.IGNORECASE)


def main():
    page, css, page_js, loader_js, wasm, out = sys.argv[1:]
    html = open(page, encoding="utf-8").read()
    wasm64 = base64.b64encode(open(wasm, "rb").read()).decode("ascii")
    script = ("const UT_PACK_WASM = '" + wasm64 + "';\n" +
              inline_script(open(loader_js, encoding="utf-8").read()) + "\n" +
              inline_script(open(page_js, encoding="utf-8").read()))
    for mark, text in (("/* STYLE */", open(css, encoding="utf-8").read()), ("/* SCRIPT */", script)):
        if html.count(mark) != 1:
            sys.exit(f"assemble.py: {page} needs {mark} once")
        html = html.replace(mark, text)
    with open(out + ".part", "w", encoding="utf-8") as f:
        f.write(html)
    os.replace(out + ".part", out)


if __name__ == "__main__":
    main()
