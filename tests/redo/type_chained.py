#!/usr/bin/env python3
# Types the redo fixtures chain_le_v19_b512 and chain_be_v11_b1024 byte by byte from the
# record layouts (with the Typer of type_upd_trailing.py), and writes their tables.json
# and expected.jsonl; make_dict.py then builds the .dict. Each log holds one row of
# APP.DOCS stored as three pieces (head: ID, TITLE, the first part of BODY; middle: the
# rest of BODY; tail: QTY; NOTE not stored), changed by one record per piece:
#   - an insert whose pieces come tail first, the head last;
#   - an update of the head (URP, or LMN when nothing changes there) and of the tail;
#   - a delete, head first, whose head record names no head row id (20-byte header);
# with one-record changes of another transaction on APP.ITEMS between the pieces, and a
# commit for every transaction. A row change is expected at the record that completes it
# (piece flag 0x04), with the XID and SCN of the record that opened it.
# Usage: type_chained.py OUTDIR
import sys

from type_upd_trailing import Typer, write_fixture

DOCS, ITEMS = 74600, 74601
HEAD, MID, TAIL = (0x01C00230, 5), (0x01C00231, 3), (0x01C00232, 7)   # row ids of the pieces
ITEMS_DBA = 0x01C00300

ID, TITLE0, TITLE1, QTY0, QTY1 = bytes.fromhex("c102"), b"Draft", b"Final", bytes.fromhex("c10d"), bytes.fromhex("c12b")
BODY = (b"A row that outgrows its block goes on in the next one. " * 16)[:850]
BODY1, BODY2 = BODY[:600], BODY[600:]      # BODY continues from the head into the middle piece

TABLES = {
    str(DOCS): {"owner": "APP", "table": "DOCS", "columns": [
        {"name": "ID", "col#": 1, "segcol#": 1, "type": 2, "length": 22, "flags": 5},
        {"name": "TITLE", "col#": 2, "segcol#": 2, "type": 1, "length": 100, "flags": 0},
        {"name": "BODY", "col#": 3, "segcol#": 3, "type": 1, "length": 4000, "flags": 0},
        {"name": "QTY", "col#": 4, "segcol#": 4, "type": 2, "length": 22, "flags": 0},
        {"name": "NOTE", "col#": 5, "segcol#": 5, "type": 1, "length": 200, "flags": 0}]},
    str(ITEMS): {"owner": "APP", "table": "ITEMS", "columns": [
        {"name": "ID", "col#": 1, "segcol#": 1, "type": 2, "length": 22, "flags": 5},
        {"name": "NAME", "col#": 2, "segcol#": 2, "type": 1, "length": 30, "flags": 0}]},
}


def fixture(out, name, big, vsn, bs, seq, lmn_head, del_head_flags):
    t = Typer(big, vsn, bs, seq, 2048)

    class Txn:
        def __init__(self, usn, slot, sqn):
            self.usn, self.slot, self.sqn = usn, slot, sqn
            self.uh_cls, self.ub_cls = t.cls_usn + 2 * usn, t.cls_usn + 2 * usn + 1
            self.uh_dba = 0x00C00000 + usn * 0x100 + 0x20
            self.xid = "%d.%d.%d" % (usn, slot, sqn)

    A, B, C = Txn(4, 2, 900), Txn(6, 14, 2201), Txn(5, 11, 77)

    def arr(*n):
        return b"".join(t.u16(x) for x in n)

    def field(size, *sets):                    # (offset, width, value) in the redo's order
        f = bytearray(size)
        for off, w, v in sets:
            t.put(f, off, bytes([v]) if w == 1 else t.u16(v) if w == 2 else t.u32(v))
        return bytes(f)

    def irp(rid, flag, cc, nxt=(0, 0)):        # insert row piece header, undo or redo
        return field(48, (0, 4, rid[0]), (10, 1, 2), (16, 1, flag), (18, 1, cc), (28, 4, nxt[0]), (32, 2, nxt[1]),
                     (42, 2, rid[1]))

    def drp(rid):
        return field(20, (0, 4, rid[0]), (10, 1, 3), (16, 2, rid[1]))

    def urp(rid, flag, cc):
        return field(28, (0, 4, rid[0]), (10, 1, 5), (16, 1, flag), (20, 2, rid[1]), (23, 1, cc))

    def lmn(rid):
        return field(20, (0, 4, rid[0]), (10, 1, 16))

    def sup(op, flags, undo_scid, redo_scid, head=None, cols=()):
        h = field(28 if head else 20, (0, 1, op), (1, 1, flags), (2, 2, len(cols)), (6, 2, undo_scid),
                  (8, 2, redo_scid), *(((20, 4, head[0]), (24, 2, head[1])) if head else ()))
        if not cols:
            return [h]
        return [h, arr(*(c for c, _ in cols)), arr(*(len(v) for _, v in cols))] + [v for _, v in cols]

    def undo(x, objn, row, values, sup_fields):
        ubh = field(20, (8, 2, x.usn), (10, 2, x.slot), (12, 4, x.sqn))
        uri = field(24, (0, 4, objn), (16, 1, 11))
        return (5, 1, t.vector(5, 1, x.ub_cls, x.uh_dba + 1, [ubh, uri, bytes(8), row] + values + sup_fields))

    def redo(code, dba, fields):
        return (11, code, t.vector(11, code, 1, dba, [bytes(8)] + fields))

    def begin(x):                              # the 5.2 of a transaction's first record
        return (5, 2, t.vector(5, 2, x.uh_cls, x.uh_dba, [bytes(32)]))

    def commit(x):
        return (5, 4, t.vector(5, 4, x.uh_cls, x.uh_dba, [field(20, (0, 2, x.slot), (4, 4, x.sqn), (16, 1, 0x12))]))

    records = []                               # [scn, [(layer, code, bytes)], pending change or None]
    scn = [0x00000001_2C400010]

    def rec(vectors, change=None):
        records.append([scn[0], vectors, change])
        scn[0] += 3
        return scn[0] - 3

    def row_change(op, table, x, first_scn, new=None, old=None):
        c = {"op": op, "owner": "APP", "table": table, "xid": x.xid, "scn": first_scn}
        if new is not None:
            c["new"] = new
        if old is not None:
            c["old"] = old
        return c

    def items_insert(x, slot, iid, iname, first=False):
        vs = [begin(x)] if first else []
        vs += [undo(x, ITEMS, drp((ITEMS_DBA, slot)), [], sup(2, 0x0C, 0, 1)),
               redo(2, ITEMS_DBA, [irp((ITEMS_DBA, slot), 0x2C, 2), iid, iname])]
        return rec(vs, row_change("INSERT", "ITEMS", x, scn[0], new=[["ID", iid.hex()], ["NAME", iname.hex()]]))

    # Chained insert, tail first: the change is complete with the head's record.
    s = rec([begin(A), undo(A, DOCS, drp(TAIL), [], sup(2, 0x08, 0, 4, HEAD)),
             redo(2, TAIL[0], [irp(TAIL, 0x04, 1), QTY0])])
    items_insert(B, 1, bytes.fromhex("c102"), b"bolt", first=True)
    rec([undo(A, DOCS, drp(MID), [], sup(2, 0x00, 0, 3, HEAD)),
         redo(2, MID[0], [irp(MID, 0x02, 1, TAIL), BODY2])])
    rec([undo(A, DOCS, drp(HEAD), [], sup(2, 0x04, 0, 1, HEAD)),
         redo(2, HEAD[0], [irp(HEAD, 0x29, 3, MID), ID, TITLE0, BODY1])],
        row_change("INSERT", "DOCS", A, s, new=[["ID", ID.hex()], ["TITLE", TITLE0.hex()], ["BODY", BODY.hex()],
                                                ["QTY", QTY0.hex()], ["NOTE", None]]))

    # Chained update: the head carries the key as a supplemental column; the tail's QTY
    # changes (column 0 of its piece). The head's TITLE (column 1 of the head) changes too,
    # unless the head only locks the row (LMN).
    key = sup(1, 0x18, 0 if lmn_head else 2, 0 if lmn_head else 2, HEAD, [(1, ID)])
    if lmn_head:
        s = rec([undo(A, DOCS, lmn(HEAD), [], key), (11, 16, t.vector(11, 16, 1, HEAD[0], [bytes(8), lmn(HEAD)]))])
        new, old, title = [], [], TITLE0
    else:
        s = rec([undo(A, DOCS, urp(HEAD, 0x29, 1), [arr(1), TITLE0], key),
                 redo(5, HEAD[0], [urp(HEAD, 0x29, 1), arr(1), TITLE1])])
        new, old, title = [["TITLE", TITLE1.hex()]], [["TITLE", TITLE0.hex()]], TITLE1
    items_insert(B, 2, bytes.fromhex("c103"), b"nut")
    rec([undo(A, DOCS, urp(TAIL, 0x04, 1), [arr(0), QTY0], sup(1, 0x14, 4, 4, HEAD)),
         redo(5, TAIL[0], [urp(TAIL, 0x04, 1), arr(0), QTY1])],
        row_change("UPDATE", "DOCS", A, s, new=new + [["QTY", QTY1.hex()]],
                   old=[["ID", ID.hex()]] + old + [["QTY", QTY0.hex()]]))
    rec([commit(A)], {"op": "COMMIT", "xid": A.xid})

    # Chained delete, head first: the head's 20-byte header names no head row id (the row
    # is keyed on the head's own row id); the later pieces name it.
    s = rec([begin(C), undo(C, DOCS, irp(HEAD, 0x29, 3, MID), [ID, title, BODY1], sup(4, del_head_flags, 1, 0)),
             redo(3, HEAD[0], [drp(HEAD)])])
    rec([undo(B, ITEMS, irp((ITEMS_DBA, 1), 0x2C, 2), [bytes.fromhex("c102"), b"bolt"], sup(4, 0x0C, 1, 0)),
         redo(3, ITEMS_DBA, [drp((ITEMS_DBA, 1))])],
        row_change("DELETE", "ITEMS", B, scn[0], old=[["ID", "c102"], ["NAME", b"bolt".hex()]]))
    rec([undo(C, DOCS, irp(MID, 0x02, 1, TAIL), [BODY2], sup(4, 0x10, 3, 0, HEAD)), redo(3, MID[0], [drp(MID)])])
    rec([undo(C, DOCS, irp(TAIL, 0x04, 1), [QTY1], sup(4, 0x14, 4, 0, HEAD)), redo(3, TAIL[0], [drp(TAIL)])],
        row_change("DELETE", "DOCS", C, s, old=[["ID", ID.hex()], ["TITLE", title.hex()], ["BODY", BODY.hex()],
                                                ["QTY", QTY1.hex()], ["NOTE", None]]))
    rec([commit(C)], {"op": "COMMIT", "xid": C.xid})
    rec([commit(B)], {"op": "COMMIT", "xid": B.xid})

    write_fixture(t, out, name, records, TABLES)


out = sys.argv[1]
fixture(out, "chain_le_v19_b512", False, 0x13000000, 512, 411, False, 0x58)
fixture(out, "chain_be_v11_b1024", True, 0x0B200000, 1024, 412, True, 0x18)
