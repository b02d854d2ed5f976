#!/usr/bin/env python3
"""Reads one YAML file with a YAML 1.1 reader (PyYAML) and a YAML 1.2 core-schema reader
(ruamel.yaml) and prints both trees as one JSON object, {"1.1": tree, "1.2": tree}. Strings stay
strings; every other scalar becomes {"type": its Python type, "value": its repr}, so a test can
tell a string from a number that prints the same. A reader that fails gives {"error": text}.

    read_yaml_both_schemas.py FILE
"""

import json
import sys

import yaml
from ruamel.yaml import YAML


def tagged(node):
    if isinstance(node, dict):
        return {str(key): tagged(value) for key, value in node.items()}
    if isinstance(node, list):
        return [tagged(item) for item in node]
    if isinstance(node, str):
        return node
    return {"type": type(node).__name__, "value": repr(node)}


def main(path):
    with open(path, encoding="utf-8") as file:
        text = file.read()
    readers = {"1.1": yaml.safe_load, "1.2": YAML(typ="safe", pure=True).load}
    trees = {}
    for version, load in readers.items():
        try:
            trees[version] = tagged(load(text))
        except Exception as error:  # a reader that fails is reported, not fatal to the other
            trees[version] = {"error": str(error)}
    json.dump(trees, sys.stdout, ensure_ascii=False)
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1]))
