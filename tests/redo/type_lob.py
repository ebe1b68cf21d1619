#!/usr/bin/env python3
# Types the redo fixture lob_le_v19_b512 byte by byte from the LOB redo layouts (with the
# Typer of type_upd_trailing.py), and writes its tables.json and expected.jsonl;
# make_dict.py then builds the .dict. One transaction on APP.NOTES (ID number key, NAME,
# BODY an out-of-line BasicFile CLOB):
#   - an insert: first LLB (op 2, the row's other columns as its key values), second LLB
#     (12 characters from offset 1, 8 bytes per block), two LOB block images (type 0x28),
#     third LLB, then the heap insert of the locator, which is skipped;
#   - a trim to 5 and an erase of 2 at offset 2, each followed by its skipped heap update.
# Usage: type_lob.py OUTDIR
import json, sys

from type_upd_trailing import Typer

NOTES = 74700
DBA, LOB_DBA = 0x01C00400, 0x01C00500
ID, NAME = bytes.fromhex("c102"), b"abc"
LOB_ID = bytes.fromhex("00000001000000a1b2c3")
DATA = b"HELLO, WORLD"                             # 12 bytes: blocks of 8 and 4
TABLES = {str(NOTES): {"owner": "APP", "table": "NOTES", "columns": [
    {"name": "ID", "col#": 1, "segcol#": 1, "type": 2, "length": 22, "flags": 5},
    {"name": "NAME", "col#": 2, "segcol#": 2, "type": 1, "length": 30, "flags": 0},
    {"name": "BODY", "col#": 3, "segcol#": 3, "type": 112, "length": 4000, "flags": 0}]}}



class Stream:
    """The typing helpers both fixtures share: one transaction of a table's LOB operations."""

    def __init__(self, t, big, objn, usn, slot, sqn, uh_off):
        self.t, self.big, self.objn, self.usn, self.slot, self.sqn = t, big, objn, usn, slot, sqn
        self.uh_cls, self.ub_cls = t.cls_usn + 2 * usn, t.cls_usn + 2 * usn + 1
        self.uh_dba = 0x00C00000 + usn * 0x100 + uh_off
        self.xid = "%d.%d.%d" % (usn, slot, sqn)

    def u64(self, v):
        t = self.t
        return t.u32(v >> 32) + t.u32(v & 0xFFFFFFFF) if self.big else t.u32(v & 0xFFFFFFFF) + t.u32(v >> 32)

    def field(self, size, *sets):
        f = bytearray(size)
        for off, data in sets:
            self.t.put(f, off, data)
        return bytes(f)

    def llb(self, typ, body, extra=()):
        return self.t.vector(11, 17, 1, DBA, [bytes(8), bytes([typ]), body] + list(extra))

    def first(self, op, extra):                # objn +0, xid +8, op +16, nset +20, nnull +22
        t = self.t
        body = self.field(24, (0, t.u32(self.objn)), (8, t.u16(self.usn)), (10, t.u16(self.slot)),
                          (12, t.u32(self.sqn)), (16, bytes([op])))
        return self.llb(4, body, extra)

    def second(self, op, amnt, offset, scid, once=None):
        t = self.t
        sets = [(0, bytes([op])), (4, t.u16(self.usn)), (6, t.u16(self.slot)), (8, t.u32(self.sqn)), (12, LOB_ID),
                (22, t.u16(scid))] + ([(28, t.u32(once))] if once is not None else []) + [
                    (32, t.u32(amnt)), (36, t.u32(self.objn)), (52, self.u64(offset))]
        return self.llb(1, self.field(64, *sets))

    def third(self, length):
        t = self.t
        body = self.field(20, (0, t.u16(self.usn)), (2, t.u16(self.slot)), (4, t.u32(self.sqn)),
                          (8, t.u32(self.objn)), (12, self.u64(length)))
        return self.llb(3, body)

    def ubh(self):
        t = self.t
        return self.field(20, (8, t.u16(self.usn)), (10, t.u16(self.slot)), (12, t.u32(self.sqn)))

    def undo(self, row, values, sup):
        uri = self.field(24, (0, self.t.u32(self.objn)), (16, bytes([11])))
        return self.t.vector(5, 1, self.ub_cls, self.uh_dba + 1, [self.ubh(), uri, bytes(8), row] + values + sup)

    def sup(self, op, flags):
        t = self.t
        return [self.field(20, (0, bytes([op])), (1, bytes([flags])), (6, t.u16(1)), (8, t.u16(1)))]

    def start(self):
        return self.t.vector(5, 2, self.uh_cls, self.uh_dba, [bytes(32)])

    def commit(self):
        t = self.t
        return t.vector(5, 4, self.uh_cls, self.uh_dba,
                        [self.field(20, (0, t.u16(self.slot)), (4, t.u32(self.sqn)), (16, bytes([0x12])))])


def fixture(out, name, big, vsn, bs, seq):
    t = Typer(big, vsn, bs, seq, 2048)
    x = Stream(t, big, NOTES, 4, 2, 900, 0x20)
    field = x.field

    def arr(*n):
        return b"".join(t.u16(v) for v in n)

    def first(op):
        return x.first(op, [arr(3), b"", arr(1, 2), arr(len(ID), len(NAME)), b"", b"", ID, NAME])

    def second(op, amnt, offset):
        return x.second(op, amnt, offset, 3, 8)

    def block(data):                           # LOB block image: id at +4, data from +36
        return t.vector(19, 1, 1, LOB_DBA, [field(36 + 8, (4, LOB_ID), (36, data)), bytes([0x28])])

    irp = field(48, (0, t.u32(DBA)), (10, bytes([2])), (16, bytes([0x2C])), (18, bytes([3])))
    drp = field(20, (0, t.u32(DBA)), (10, bytes([3])))
    urp = field(28, (0, t.u32(DBA)), (10, bytes([5])), (16, bytes([0x2C])), (23, bytes([1])))
    locator = bytes(20)
    heap_insert = [x.undo(drp, [], x.sup(2, 0x0C)), t.vector(11, 2, 1, DBA, [bytes(8), irp, ID, NAME, locator])]
    heap_update = [x.undo(urp, [arr(2), locator], x.sup(1, 0x1C)),
                   t.vector(11, 5, 1, DBA, [bytes(8), urp, arr(2), locator])]

    def head(op):
        return {"op": op, "owner": "APP", "table": "NOTES"}

    sel = dict(head("LOB SELECT"), new=[["BODY", ""]], old=[["ID", ID.hex()]])
    recs = [
        ([x.start(), first(2)], []),
        ([second(2, 12, 1)], []),
        ([block(DATA[:8])], [dict(head("INSERT"), from_llb=True,
                                  new=[["ID", ID.hex()], ["NAME", NAME.hex()], ["BODY", "empty_lob"]]), sel,
                             dict(head("LOB WRITE"), amount=8, offset=1, data=DATA[:8].hex())]),
        ([block(DATA[8:] + bytes(4))], [dict(head("LOB WRITE"), amount=4, offset=9, data=DATA[8:].hex(), last=True)]),
        ([x.third(12)], []),
        (heap_insert, []),
        ([first(103)], []), ([second(103, 0, 0)], []),
        ([x.third(5)], [sel, dict(head("LOB TRIM"), length=5)]),
        (heap_update, []),
        ([first(104)], []),
        ([second(104, 2, 2)], [sel, dict(head("LOB ERASE"), amount=2, offset=2)]),
        ([x.third(10)], []),
        (heap_update, []),
        ([x.commit()], [{"op": "COMMIT"}]),
    ]
    emit(out, name, t, big, vsn, bs, seq, x.xid, recs, TABLES)

def emit(out, name, t, big, vsn, bs, seq, xid, recs, tables, header=None):
    scn = 0x00000001_2C500010
    raw, scns = [], []
    for vs, _ in recs:
        raw.append(t.record(scn, vs))
        scns.append(scn)
        scn += 3
    log = t.log(raw)
    nblk = len(log) // bs
    lines = [{"type": "file", "block_size": bs, "byte_order": "big" if big else "little", "vsn": "0x%08X" % vsn,
              "major": vsn >> 24, "cls_usn": t.cls_usn, "vhsz": t.vhsz, "sequence": seq, "file_blocks": 2048,
              "next_available_block": nblk, "blks": nblk}]
    lines[0].update(header or {})
    for (vs, changes), r, s, (blk, off) in zip(recs, raw, scns, t.rbas):
        rba = "%d.%d.%d" % (seq, blk, off)
        lines.append({"type": "record", "rba": rba, "len": len(r), "vld": 1, "scn": s, "con_uid": 0,
                      "ops": ["%d.%d" % (v[0], v[1]) for v in vs]})
        for c in changes:
            line = {"type": "change", "op": c["op"]}
            if "owner" in c:
                line["owner"], line["table"] = c["owner"], c["table"]
            line.update({"xid": xid, "scn": s, "con_uid": 0, "rba": rba})
            line.update({k: v for k, v in c.items() if k not in ("op", "owner", "table")})
            lines.append(line)
    open(out + "/" + name + ".redo", "wb").write(log)
    open(out + "/" + name + ".expected.jsonl", "w").write("".join(json.dumps(l) + "\n" for l in lines))
    open(out + "/" + name + ".tables.json", "w").write(json.dumps(tables, indent=1) + "\n")


DOCS, DOCS_LOB_DBA = 74701, 0x01C00600
DOCS_TABLES = {str(DOCS): {"owner": "APP", "table": "DOCS", "columns": [
    {"name": "ID", "col#": 1, "segcol#": 1, "type": 2, "length": 22, "flags": 5},
    {"name": "BODY", "col#": 2, "segcol#": 2, "type": 112, "length": 4000, "flags": 0x20}]}}
TEXT = "ABCDEFGH".encode("utf-16-be")                # 8 characters, 16 bytes


def securefile(out, name, big, vsn, bs, seq):
    """A SecureFile CLOB of a two-byte source (redocat -m) on APP.DOCS: an insert (op 2)
    whose 16 bytes come as two 26.6 loads of 10 and 6, then a write of 2 characters at
    the 3rd (op 1, nothing set empty or NULL) as a 26.2 fill beside its 5.1 undo. The LLB
    gives bytes from 0, the LCRs characters from 1."""
    t = Typer(big, vsn, bs, seq, 2048)
    x = Stream(t, big, DOCS, 5, 3, 77, 0x40)
    field = x.field

    def first(op):
        return x.first(op, [t.u16(2), b"", t.u16(1), t.u16(len(ID)), b"", b"", ID])

    def load(data):                            # 26.6: xid in field 2, id and amount in 3, data 4, objn 5
        return t.vector(26, 6, 1, DOCS_LOB_DBA, [
            bytes(8), field(24, (16, t.u16(x.usn)), (18, t.u16(x.slot)), (20, t.u32(x.sqn))),
            field(56, (12, LOB_ID), (52, t.u16(len(data)))), data, field(16, (12, t.u32(DOCS)))])

    def fill(data):                            # 26.2 with its LOB undo: KDLI option 4, data at +8
        uri = field(24, (0, t.u32(DOCS)), (16, bytes([26])))
        return [t.vector(5, 1, x.ub_cls, x.uh_dba + 1, [x.ubh(), uri]),
                t.vector(26, 2, 1, DOCS_LOB_DBA, [bytes(8), bytes(8), field(24, (0, bytes([4])), (12, LOB_ID)),
                                                  field(8 + len(data), (4, t.u16(len(data))), (8, data))])]

    irp = field(48, (0, t.u32(DBA)), (10, bytes([2])), (16, bytes([0x2C])), (18, bytes([2])))
    drp = field(20, (0, t.u32(DBA)), (10, bytes([3])))
    urp = field(28, (0, t.u32(DBA)), (10, bytes([5])), (16, bytes([0x2C])), (23, bytes([1])))
    locator = bytes(20)

    def head(op):
        return {"op": op, "owner": "APP", "table": "DOCS"}

    sel = dict(head("LOB SELECT"), new=[["BODY", ""]], old=[["ID", ID.hex()]])
    recs = [
        ([x.start(), first(2)], []),
        ([x.second(2, 16, 0, 2)], []),
        ([load(TEXT[:10])], [dict(head("INSERT"), from_llb=True, new=[["ID", ID.hex()], ["BODY", "empty_lob"]]), sel,
                             dict(head("LOB WRITE"), amount=5, offset=1, data=TEXT[:10].hex())]),
        ([load(TEXT[10:])], [dict(head("LOB WRITE"), amount=3, offset=6, data=TEXT[10:].hex(), last=True)]),
        ([x.third(16)], []),
        ([x.undo(drp, [], x.sup(2, 0x0C)), t.vector(11, 2, 1, DBA, [bytes(8), irp, ID, locator])], []),
        ([first(1)], []),
        ([x.second(1, 4, 4, 2)], []),
        (fill("xy".encode("utf-16-be")), [sel, dict(head("LOB WRITE"), amount=2, offset=3, data="00780079",
                                                    last=True)]),
        ([x.third(16)], []),
        ([x.undo(urp, [t.u16(2), locator], x.sup(1, 0x1C)),
          t.vector(11, 5, 1, DBA, [bytes(8), urp, t.u16(2), locator])], []),
        ([x.commit()], [{"op": "COMMIT"}]),
    ]
    emit(out, name, t, big, vsn, bs, seq, x.xid, recs, DOCS_TABLES, {"multi_byte": True})


out = sys.argv[1]
fixture(out, "lob_le_v19_b512", False, 0x13000000, 512, 421)
fixture(out, "lob_be_v11_b1024", True, 0x0B200000, 1024, 422)
securefile(out, "lobsf_le_v19_b512", False, 0x13000000, 512, 423)
securefile(out, "lobsf_be_v11_b1024", True, 0x0B200000, 1024, 424)
