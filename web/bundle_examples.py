#!/usr/bin/env python3
"""bundle_examples.py FILE... -- the bundled warriors as a JavaScript module
for the page's pickers: name, file name, whether it is Redcode source (a
file under a folder named source) and its text."""
import json
import os
import sys


def entry(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    source = os.path.basename(os.path.dirname(path)) == "source"
    name = os.path.splitext(os.path.basename(path))[0]
    return {"name": name, "file": os.path.basename(path), "source": source, "text": text}


examples = [entry(p) for p in sys.argv[1:]]
print("// Made by web/bundle_examples.py from examples/: do not edit.")
print("export const Examples = " + json.dumps(examples, indent=1) + ";")
