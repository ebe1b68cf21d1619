#!/usr/bin/env python3
# Types the redo fixtures iot_le_v19_b512 and iot_be_v11_b1024 byte by byte from the leaf
# record layouts (with the Typer of type_upd_trailing.py), and writes their tables.json
# and expected.jsonl; make_dict.py then builds the .dict. APP.PARTS is index-organised:
# its rows are the leaf rows of its primary key PK_PARTS (ID, CODE), which the undo and
# the rollback vectors name. The log holds:
#   - an insert (undo: purge the key; redo 10.2: key, then the non-key row, NOTE not stored);
#   - an update of QTY (undo 35: key, column numbers, old value; redo 10.35);
#   - an update of the key: a delete of the old leaf row (undo: restore key and row; redo
#     10.4) and an insert of the new one, delivered as that DELETE and INSERT;
#   - in another transaction, an array insert of two rows (one NAME of 300 bytes, a
#     0xFE length) rolled back to a savepoint by one record purging both keys (5.11);
#   - an update logged as leaf operation 10.30, whose layout is not read: reported, no
#     change; then an insert of the same transaction, which is still taken;
#   - in a third transaction, an insert of a row whose NOTE continues in the overflow
#     segment OVF_PARTS: its overflow row piece first (11.2, last-piece flag only), then
#     the leaf row (flag 0x28 and the piece's row id, big-endian in either byte order),
#     delivered as one INSERT once the leaf record is in.
# Usage: type_iot.py OUTDIR
import sys

from type_upd_trailing import Typer, write_fixture

PARTS, PK_PARTS, OVF_PARTS = 74700, 74701, 74702
LEAF, OVF = 0x01C00410, 0x01E00418

TABLES = {
    str(PARTS): {"owner": "APP", "table": "PARTS", "iot_index": PK_PARTS, "overflow": OVF_PARTS, "columns": [
        {"name": "ID", "col#": 1, "segcol#": 1, "type": 2, "length": 22, "flags": 5},
        {"name": "CODE", "col#": 2, "segcol#": 2, "type": 1, "length": 10, "flags": 5},
        {"name": "NAME", "col#": 3, "segcol#": 3, "type": 1, "length": 400, "flags": 0},
        {"name": "QTY", "col#": 4, "segcol#": 4, "type": 2, "length": 22, "flags": 0},
        {"name": "NOTE", "col#": 5, "segcol#": 5, "type": 1, "length": 100, "flags": 0}]},
}

ID1, ID2, ID3, ID4, ID5 = (bytes.fromhex(h) for h in ("c102", "c103", "c104", "c105", "c106"))
CODE, NAME, NAME_LONG = b"AX", b"Bolt", (b"Hex bolt, zinc plated. " * 14)[:300]
QTY0, QTY1 = bytes.fromhex("c10b"), bytes.fromhex("c115")


def fixture(out, name, big, vsn, bs, seq):
    t = Typer(big, vsn, bs, seq, 2048)

    class Txn:
        def __init__(self, usn, slot, sqn):
            self.usn, self.slot, self.sqn = usn, slot, sqn
            self.uh_cls, self.ub_cls = t.cls_usn + 2 * usn, t.cls_usn + 2 * usn + 1
            self.uh_dba = 0x00C00000 + usn * 0x100 + 0x20
            self.xid = "%d.%d.%d" % (usn, slot, sqn)

    A, B, C = Txn(4, 2, 900), Txn(6, 14, 2201), Txn(7, 3, 77)

    def arr(*n):
        return b"".join(t.u16(x) for x in n)

    def field(size, *sets):                    # (offset, width, value) in the redo's order
        f = bytearray(size)
        for off, w, v in sets:
            t.put(f, off, bytes([v]) if w == 1 else t.u16(v) if w == 2 else t.u32(v))
        return bytes(f)

    def lp(v):                                 # a length-prefixed column value
        if v is None:
            return b"\xff"
        return (bytes([len(v)]) if len(v) <= 250 else b"\xfe" + t.u16(len(v))) + v

    def key(i, c=CODE):
        return lp(i) + lp(c)

    def row(*vals):                            # leaf row: flag (whole), lock, column count
        return bytes([0x2C, 1, len(vals)]) + b"".join(lp(v) for v in vals)

    def sup(op, undo_scid=0, redo_scid=0, flags=0x0C):
        return field(20, (0, 1, op), (1, 1, flags), (6, 2, undo_scid), (8, 2, redo_scid))

    def undo(x, code, fields, sups, objn=PK_PARTS, op=None):  # 5.1 undoing leaf operation code
        ubh = field(20, (8, 2, x.usn), (10, 2, x.slot), (12, 4, x.sqn))
        uri = field(24, (0, 4, objn), (16, 1, 10 if op is None else 11))
        return (5, 1, t.vector(5, 1, x.ub_cls, x.uh_dba + 1, [ubh, uri, bytes(8), op or field(16, (0, 1, code))] +
                               fields + sups))

    def leaf(code, fields, flags=0, rows=0):   # leaf redo: ITL redo, leaf header, fields
        return (10, code, t.vector(10, code, 1, LEAF, [bytes(8), field(16, (1, 1, flags), (8, 2, rows))] + fields))

    def begin(x):
        return (5, 2, t.vector(5, 2, x.uh_cls, x.uh_dba, [bytes(32)]))

    def commit(x):
        return (5, 4, t.vector(5, 4, x.uh_cls, x.uh_dba, [field(20, (0, 2, x.slot), (4, 4, x.sqn), (16, 1, 0x12))]))

    def to_savepoint(x):                       # 5.11: the key index and the transaction slot
        return (5, 11, t.vector(5, 11, x.ub_cls, x.uh_dba + 1, [field(24, (0, 4, PK_PARTS), (18, 1, x.slot))]))

    records = []                               # [scn, [(layer, code, bytes)], change or None]
    scn = [0x00000001_2C500010]

    def rec(vectors, change=None):
        records.append([scn[0], vectors, change])
        scn[0] += 3

    def hexcols(names, vals):
        return [[n, None if v is None else v.hex()] for n, v in zip(names, vals)]

    COLS = ["ID", "CODE", "NAME", "QTY", "NOTE"]

    def change(op, x, **kw):
        return dict({"op": op, "owner": "APP", "table": "PARTS", "xid": x.xid}, **kw)

    rec([begin(A), undo(A, 3, [key(ID1)], [sup(2)]), leaf(2, [key(ID1), row(NAME, QTY0)])],
        change("INSERT", A, new=hexcols(COLS, [ID1, CODE, NAME, QTY0, None])))
    rec([undo(A, 35, [key(ID1), arr(3), QTY0], [sup(1, 4, 4)]), leaf(35, [arr(3), QTY1])],
        change("UPDATE", A, new=hexcols(["QTY"], [QTY1]), old=hexcols(["ID", "CODE", "QTY"], [ID1, CODE, QTY0])))
    rec([undo(A, 5, [key(ID1), row(NAME, QTY1)], [sup(4)]), leaf(4, [key(ID1)])],
        change("DELETE", A, old=hexcols(COLS, [ID1, CODE, NAME, QTY1, None])))
    rec([undo(A, 3, [key(ID2)], [sup(2)]), leaf(2, [key(ID2), row(NAME, QTY1)])],
        change("INSERT", A, new=hexcols(COLS, [ID2, CODE, NAME, QTY1, None])))
    rec([commit(A)], {"op": "COMMIT", "xid": A.xid})

    ka, kb = key(ID3), key(ID4, b"B")
    ra, rb = row(NAME, QTY0, b"boxed"), row(NAME_LONG)
    rec([begin(B), undo(B, 3, [ka], [sup(2)]),
         leaf(2, [ka + kb, arr(len(ka), len(kb)), ra + rb, arr(len(ra), len(rb))], flags=0x20, rows=2)],
        {"op": "QUICK INSERT", "owner": "APP", "table": "PARTS", "xid": B.xid, "columns": COLS,
         "rows": [[ID3.hex(), CODE.hex(), NAME.hex(), QTY0.hex(), b"boxed".hex()],
                  [ID4.hex(), b"B".hex(), NAME_LONG.hex(), None, None]]})
    rec([leaf(3, [ka]), leaf(3, [kb]), to_savepoint(B)],
        {"op": "INDEX DELETE", "rollback_redo": True, "owner": "APP", "table": "PARTS", "xid": B.xid})
    rec([undo(B, 30, [key(ID2), arr(3), QTY1], []), leaf(30, [arr(3), QTY0])])
    rec([undo(B, 3, [key(ID5)], [sup(2)]), leaf(2, [key(ID5), row(None, QTY0)])],
        change("INSERT", B, new=hexcols(COLS, [ID5, CODE, None, QTY0, None])))
    rec([commit(B)], {"op": "COMMIT", "xid": B.xid})

    # The spilled row: the overflow piece at (OVF, 5) holds NOTE; the undo of its insert
    # deletes it (an 11.3 header naming the slot).
    note = b"Spare part kept in the overflow segment. " * 5
    first = scn[0]
    drp = field(20, (0, 4, OVF), (10, 1, 3), (16, 2, 5))
    rec([begin(C), undo(C, 3, [], [sup(2, flags=0x08)], objn=OVF_PARTS, op=drp),
         (11, 2, t.vector(11, 2, 1, OVF, [bytes(8), field(48, (0, 4, OVF), (10, 1, 2), (16, 1, 0x04), (18, 1, 1),
                                                           (42, 2, 5)), note]))])
    spilled = bytes([0x28, 1, 2]) + OVF.to_bytes(4, "big") + (5).to_bytes(2, "big") + lp(NAME) + lp(QTY1)
    rec([undo(C, 3, [key(ID5, b"S")], [sup(2, flags=0x04)]), leaf(2, [key(ID5, b"S"), spilled])],
        change("INSERT", C, scn=first, new=hexcols(COLS, [ID5, b"S", NAME, QTY1, note])))
    rec([commit(C)], {"op": "COMMIT", "xid": C.xid})

    write_fixture(t, out, name, records, TABLES)


out = sys.argv[1]
fixture(out, "iot_le_v19_b512", False, 0x13000000, 512, 421)
fixture(out, "iot_be_v11_b1024", True, 0x0B200000, 1024, 422)
