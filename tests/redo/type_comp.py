#!/usr/bin/env python3
# Types the redo fixtures comp_le_v19_b512 and comp_be_v11_b1024 byte by byte from the
# record layouts (with the Typer of type_upd_trailing.py), and writes their tables.json
# and expected.jsonl; make_dict.py then builds the .dict. They hold rows of compressed
# blocks of APP.STOCK (primary key ID) and APP.JOURNAL (no key):
#   - inserts 11.2 whose row is one field, the whole row image in the block row format
#     (bit 0x08 of the operation flags at +11 of the row header): a NULL (0xFF) between
#     values, a 300-byte value (0xFE and a 16-bit length), trailing NULLs not stored;
#   - updates as overwrites 11.6 of the whole row whose undo (an overwrite too) holds the
#     old row and no supplemental header: one side a row image, the other one field per
#     value, both ways round; the change gives the columns whose value differs, the key
#     (every column for the table without one) and the changed columns' before images;
#   - a delete whose undo holds the old row as a row image;
#   - a transaction whose overwrite is undone by rollback redo (11.6 with the old row, no
#     supplemental header, and 5.6), then rolled back.
# Usage: type_comp.py OUTDIR
import sys

from type_upd_trailing import Typer, write_fixture

STOCK, JOURNAL = 74620, 74621
S_DBA, J_DBA = 0x01C00140, 0x01C00150
ID, CODE, QTY, NOTE = bytes.fromhex("c102"), b"AB12", bytes.fromhex("c10b"), \
    (b"Packed rows keep repeated values once per block. " * 7)[:300]
SRC, N3, N4, TXT = b"ledger", bytes.fromhex("c104"), bytes.fromhex("c105"), b"posted"

TABLES = {
    str(STOCK): {"owner": "APP", "table": "STOCK", "columns": [
        {"name": "ID", "col#": 1, "segcol#": 1, "type": 2, "length": 22, "flags": 5},
        {"name": "CODE", "col#": 2, "segcol#": 2, "type": 1, "length": 20, "flags": 0},
        {"name": "QTY", "col#": 3, "segcol#": 3, "type": 2, "length": 22, "flags": 0},
        {"name": "NOTE", "col#": 4, "segcol#": 4, "type": 1, "length": 400, "flags": 0}]},
    str(JOURNAL): {"owner": "APP", "table": "JOURNAL", "columns": [
        {"name": "SRC", "col#": 1, "segcol#": 1, "type": 1, "length": 20, "flags": 0},
        {"name": "N", "col#": 2, "segcol#": 2, "type": 2, "length": 22, "flags": 0},
        {"name": "TXT", "col#": 3, "segcol#": 3, "type": 1, "length": 100, "flags": 0}]},
}


def fixture(out, name, big, vsn, bs, seq):
    t = Typer(big, vsn, bs, seq, 1024)

    A, B = t.txn(4, 7, 1500), t.txn(6, 3, 42)

    field = t.field

    def image(*values):                        # block row format; None is NULL
        b = b""
        for v in values:
            b += b"\xff" if v is None else (bytes([len(v)]) if len(v) <= 250 else b"\xfe" + t.u16(len(v))) + v
        return b

    def row(code, dba, cc, img):               # insert / overwrite row piece header
        return field(48, (0, 4, dba), (10, 1, code), (11, 1, 0x08 if img else 0), (16, 1, 0x2C), (18, 1, cc))

    def drp(dba):
        return field(20, (0, 4, dba), (10, 1, 3))

    def sup():                                 # first and last piece, no supplemental column
        return [field(20, (1, 1, 0x0C), (8, 2, 1))]

    def sup_del():
        return [field(20, (1, 1, 0x0C), (6, 2, 1))]

    undo, redo, begin, commit = t.undo, t.redo, t.begin, t.commit

    def rollback_undo(x, objn):
        return (5, 6, t.vector(5, 6, x.ub_cls, x.uh_dba + 1, [field(24, (0, 4, objn), (18, 1, x.slot))]))

    records = []
    scn = [0x00000001_3A500020]

    def rec(vectors, change=None):
        records.append([scn[0], vectors, change])
        scn[0] += 3

    def change(op, table, x, new=None, old=None, rollback=False):
        c = {"op": op}
        if rollback:
            c["rollback_redo"] = True
        c.update({"owner": "APP", "table": table, "xid": x.xid})
        if new is not None:
            c["new"] = new
        if old is not None:
            c["old"] = old
        return c

    h = lambda b: None if b is None else b.hex()
    rec([begin(A), undo(A, STOCK, drp(S_DBA), [], sup()),
         redo(2, S_DBA, [row(2, S_DBA, 4, True), image(ID, CODE, None, NOTE)])],
        change("INSERT", "STOCK", A, new=[["ID", h(ID)], ["CODE", h(CODE)], ["QTY", None], ["NOTE", h(NOTE)]]))
    rec([undo(A, JOURNAL, drp(J_DBA), [], sup()), redo(2, J_DBA, [row(2, J_DBA, 1, True), image(SRC)])],
        change("INSERT", "JOURNAL", A, new=[["SRC", h(SRC)], ["N", None], ["TXT", None]]))
    # The old row a row image, the new one a field per value: only QTY changes.
    rec([undo(A, STOCK, row(6, S_DBA, 4, True), [image(ID, CODE, None, NOTE)], []),
         redo(6, S_DBA, [row(6, S_DBA, 4, False), ID, CODE, QTY, NOTE])],
        change("UPDATE", "STOCK", A, new=[["QTY", h(QTY)]], old=[["ID", h(ID)], ["QTY", None]]))
    # The other way round, on the table without a key: every column finds the row.
    rec([undo(A, JOURNAL, row(6, J_DBA, 1, False), [SRC], []),
         redo(6, J_DBA, [row(6, J_DBA, 3, True), image(SRC, N3, TXT)])],
        change("UPDATE", "JOURNAL", A, new=[["N", h(N3)], ["TXT", h(TXT)]],
               old=[["SRC", h(SRC)], ["N", None], ["TXT", None]]))
    rec([undo(A, STOCK, row(2, S_DBA, 4, True), [image(ID, CODE, QTY, NOTE)], sup_del()),
         redo(3, S_DBA, [drp(S_DBA)])],
        change("DELETE", "STOCK", A, old=[["ID", h(ID)], ["CODE", h(CODE)], ["QTY", h(QTY)], ["NOTE", h(NOTE)]]))
    rec([commit(A)], {"op": "COMMIT", "xid": A.xid})
    # An overwrite undone: the rollback redo puts the old row back, with no header.
    rec([begin(B), undo(B, JOURNAL, row(6, J_DBA, 3, False), [SRC, N3, TXT], []),
         redo(6, J_DBA, [row(6, J_DBA, 2, True), image(SRC, N4)])],
        change("UPDATE", "JOURNAL", B, new=[["N", h(N4)], ["TXT", None]],
               old=[["SRC", h(SRC)], ["N", h(N3)], ["TXT", h(TXT)]]))
    rec([redo(6, J_DBA, [row(6, J_DBA, 3, True), image(SRC, N3, TXT)]), rollback_undo(B, JOURNAL)],
        change("UPDATE", "JOURNAL", B, rollback=True))
    rec([commit(B, True)], {"op": "ROLLBACK", "xid": B.xid})

    write_fixture(t, out, name, records, TABLES)

out = sys.argv[1]
fixture(out, "comp_le_v19_b512", False, 0x13000000, 512, 421)
fixture(out, "comp_be_v11_b1024", True, 0x0B200000, 1024, 422)
