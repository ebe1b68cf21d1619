#!/usr/bin/env python3
# Writes a dictionary file (the capture process's format) for a redo fixture's
# tables.json: one schema per owner, tables ascending by object number, columns in
# segment column order. A table with "iot_index" is index-organised: its primary-key
# index, and its "overflow" segment when it has one, get alias entries (flag 0x1000, the
# table's object number in ncol) and the header flag 0x100. Usage: make_dict.py NAME.tables.json OUT.dict
import json, struct, sys

tabs = json.load(open(sys.argv[1]))
owners = []
for objn, t in tabs.items():
    if t["owner"] not in owners:
        owners.append(t["owner"])
out = bytearray()
tabrecs, colrecs = [], []
entries = [(int(o), o) for o in tabs] + [(t[k], None) for t in tabs.values() for k in ("iot_index", "overflow")
                                          if k in t]
hflag = 0
for objn, key in sorted(entries):
    if key is None:                            # alias of an index-organised table's key index or overflow
        owner = next(t for t in tabs.values() if objn in (t.get("iot_index"), t.get("overflow")))
        base = next(int(o) for o, t in tabs.items() if t is owner)
        tabrecs.append(struct.pack("<6I32s", 0x1000, objn, owners.index(owner["owner"]), base, 0, 0, b""))
        continue
    t = tabs[key]
    cols = sorted(t["columns"], key=lambda c: c["segcol#"])
    lob = any(c["type"] in (112, 113) for c in cols)
    flag = (1 if lob else 0) | (8 if "iot_index" in t else 0)
    hflag |= 0x100 if "iot_index" in t else 0
    tabrecs.append(struct.pack("<6I32s", flag, objn, owners.index(t["owner"]), len(cols), len(colrecs), 0,
                               t["table"].encode()))
    for c in cols:
        colrecs.append(struct.pack("<6I32s", c["flags"], c["col#"], c["segcol#"], c["type"], c["length"], 0,
                                   c["name"].encode()))
out += struct.pack("<IIQIIIIII", hflag, 0, 0, len(owners), len(tabrecs), len(colrecs), 0, 0, 0)
for o in owners:
    out += struct.pack("<II32s", 1, 0, o.encode())
out += bytes(8192 - len(out))
for r in tabrecs + colrecs:
    out += r
open(sys.argv[2], "wb").write(out)
