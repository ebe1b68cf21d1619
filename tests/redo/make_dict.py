#!/usr/bin/env python3
# Writes a dictionary file (the capture process's format) for a redo fixture's
# tables.json: one schema per owner, tables ascending by object number, columns in
# segment column order. Usage: make_dict.py NAME.tables.json OUT.dict
import json, struct, sys

tabs = json.load(open(sys.argv[1]))
owners = []
for objn, t in tabs.items():
    if t["owner"] not in owners:
        owners.append(t["owner"])
out = bytearray()
tabrecs, colrecs = [], []
for objn in sorted(tabs, key=int):
    t = tabs[objn]
    cols = sorted(t["columns"], key=lambda c: c["segcol#"])
    lob = any(c["type"] in (112, 113) for c in cols)
    tabrecs.append(struct.pack("<6I32s", 1 if lob else 0, int(objn), owners.index(t["owner"]), len(cols),
                               len(colrecs), 0, t["table"].encode()))
    for c in cols:
        colrecs.append(struct.pack("<6I32s", c["flags"], c["col#"], c["segcol#"], c["type"], c["length"], 0,
                                   c["name"].encode()))
out += struct.pack("<IIQIIIIII", 0, 0, 0, len(owners), len(tabrecs), len(colrecs), 0, 0, 0)
for o in owners:
    out += struct.pack("<II32s", 1, 0, o.encode())
out += bytes(8192 - len(out))
for r in tabrecs + colrecs:
    out += r
open(sys.argv[2], "wb").write(out)
