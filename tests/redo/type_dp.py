#!/usr/bin/env python3
# Types the redo fixtures dp_le_v19_b512 and dp_be_v11_b1024 byte by byte from the block
# layout of a direct-path load (with the Typer of type_upd_trailing.py), and writes them with
# their tables.json and expected.jsonl by type_chained.py's writer; make_dict.py then builds
# the .dict. Each log holds one load of APP.LOADED by one transaction:
#   - block A (two ITL entries; a header extension in the little-endian log): slot 0 a
#     row with a value over 250 bytes, slot 1 a row with a NULL, slot 2 free, slot 3 a
#     row whose last column is not stored, slot 4 the first piece of a row going on in
#     block B, its BODY split between the two;
#   - block B: the last piece of that row (its first column goes on from block A's);
#   - the commit.
# Block A gives one QUICK INSERT of its three whole rows, block B the chained row's INSERT.
# Usage: type_dp.py OUTDIR
import struct, sys

from type_upd_trailing import Typer, write_fixture

LOADED = 74700
A_DBA, B_DBA = 0x01C00410, 0x01C00411

ID1, ID2, ID3, ID4 = (bytes.fromhex(h) for h in ("c102", "c103", "c104", "c105"))
NAME1, NAME3, NAME4 = b"first", b"third", b"chained"
BODY1 = (b"Loaded rows come as whole blocks. " * 10)[:300]
BODY3 = b"short"
BODY4 = (b"A row longer than its block goes on in the next block. " * 20)[:900]
BODY4A, BODY4B = BODY4[:640], BODY4[640:]
QTY1, QTY2, QTY4 = bytes.fromhex("c10b"), bytes.fromhex("c115"), bytes.fromhex("c120")

TABLES = {
    str(LOADED): {"owner": "APP", "table": "LOADED", "columns": [
        {"name": "ID", "col#": 1, "segcol#": 1, "type": 2, "length": 22, "flags": 5},
        {"name": "NAME", "col#": 2, "segcol#": 2, "type": 1, "length": 40, "flags": 0},
        {"name": "BODY", "col#": 3, "segcol#": 3, "type": 1, "length": 4000, "flags": 0},
        {"name": "QTY", "col#": 4, "segcol#": 4, "type": 2, "length": 22, "flags": 0}]},
}


def fixture(out, name, big, vsn, bs, seq, ext):
    t = Typer(big, vsn, bs, seq, 2048)
    usn, slot, sqn = 9, 4, 3100
    xid = "%d.%d.%d" % (usn, slot, sqn)
    uh_cls, uh_dba = t.cls_usn + 2 * usn, 0x00C00000 + usn * 0x100 + 0x20

    def col(v):                                # length byte, 0xFE and a u16, or 0xFF
        if v is None:
            return b"\xff"
        return (bytes([len(v)]) if len(v) <= 250 else b"\xfe" + t.u16(len(v))) + v

    def row(flag, cols, nxt=None):             # the next piece's row id is big-endian
        r = bytes([flag, 0, len(cols)])
        if nxt:
            r += struct.pack(">IH", *nxt)
        return r + b"".join(col(c) for c in cols)

    def block(itc, ext_len, slots, free_head):
        # Transaction header and ITL list, the optional extension, the data header, the
        # row directory (free slots chained through their entries) and the rows.
        b = bytearray(24 + 24 * itc)
        b[0] = 1
        t.put(b, 16, t.u16(itc))
        t.put(b, 24 + 8, t.u16(usn))           # the loading transaction in ITL 0
        if ext_len is not None:
            b[18] = 0x20
            e = bytearray(8 + ext_len)
            t.put(e, 4, t.u16(ext_len))
            b += e
        dh = bytearray(18 + 2 * len(slots))
        dh[1] = 1
        t.put(dh, 4, t.u16(free_head & 0xFFFF))
        t.put(dh, 16, t.u16(len(slots)))
        rows, at = b"", len(dh)
        for i, s in enumerate(slots):
            if isinstance(s, int):             # a free slot: the next free one
                t.put(dh, 18 + 2 * i, t.u16(s & 0xFFFF))
                continue
            t.put(dh, 18 + 2 * i, t.u16(at + len(rows)))
            rows += s
        return bytes(b + dh + rows)

    def field(size, *sets):
        f = bytearray(size)
        for off, w, v in sets:
            t.put(f, off, t.u16(v) if w == 2 else t.u32(v))
        return bytes(f)

    load = (24, 6, t.vector(24, 6, 1, 0, [field(16, (0, 4, LOADED), (8, 2, usn), (10, 2, slot), (12, 4, sqn))]))

    def image(dba, body):
        return (19, 1, t.vector(19, 1, 1, dba, [body, bytes([0x06, 0xA2, 0, 0])]))

    blk_a = block(2, 8 if ext else None, [
        row(0x2C, [ID1, NAME1, BODY1, QTY1]),
        row(0x2C, [ID2, None, None, QTY2]),
        -1,
        row(0x2C, [ID3, NAME3, BODY3]),
        row(0x29, [ID4, NAME4, BODY4A], (B_DBA, 0))], 2)
    blk_b = block(1, None, [row(0x06, [BODY4B, QTY4])], -1)
    begin = (5, 2, t.vector(5, 2, uh_cls, uh_dba, [bytes(32)]))
    commit = (5, 4, t.vector(5, 4, uh_cls, uh_dba, [field(20, (0, 2, slot), (4, 4, sqn)) [:16] + b"\x12\0\0\0"]))

    h = lambda v: None if v is None else v.hex()
    cols = ["ID", "NAME", "BODY", "QTY"]
    scn0 = 0x00000001_2C500020
    records = [
        (scn0, [begin, load, image(A_DBA, blk_a)],
         dict(op="QUICK INSERT", owner="APP", table="LOADED", xid=xid, columns=cols, rows=[[h(ID1), h(NAME1), h(BODY1), h(QTY1)],
                                                          [h(ID2), None, None, h(QTY2)],
                                                          [h(ID3), h(NAME3), h(BODY3), None]])),
        (scn0 + 3, [load, image(B_DBA, blk_b)],
         dict(op="INSERT", owner="APP", table="LOADED", xid=xid,
              new=[["ID", h(ID4)], ["NAME", h(NAME4)], ["BODY", h(BODY4)], ["QTY", h(QTY4)]])),
        (scn0 + 6, [commit], {"op": "COMMIT", "xid": xid}),
    ]
    write_fixture(t, out, name, records, TABLES)


# dpl_le_v19_b512 and dpl_be_v11_b1024: a load of APP.DOCS whose two rows keep their CLOB
# out of line, in LOB blocks the rows' locators name (a 20-byte locator, then the index
# node: its length, flags without 0x08, the LOB's bytes, the block count and the blocks):
#   - the LOB block of row 1, before the table block;
#   - the table block with both rows: row 1 is delivered, as a LOB operation's row is:
#     its INSERT with the LOB empty, the LOB SELECT and the LOB WRITE of its data;
#   - the two LOB blocks of row 2, after it: the second completes row 2, delivered so;
#   - the commit.
DOCS = 74710
T_DBA, L1_DBA, L2A_DBA, L2B_DBA = 0x01C00500, 0x02400010, 0x02400011, 0x02400012
LOB1 = b"A LOB written before its row."
LOB2A, LOB2B = (b"Loaded LOBs come in blocks of their own. " * 4)[:150], b"...and after the row."

DOC_TABLES = {
    str(DOCS): {"owner": "APP", "table": "DOCS", "columns": [
        {"name": "ID", "col#": 1, "segcol#": 1, "type": 2, "length": 22, "flags": 5},
        {"name": "BODY", "col#": 2, "segcol#": 2, "type": 112, "length": 4000, "flags": 0}]},
}


def lob_fixture(out, name, big, vsn, bs, seq):
    t = Typer(big, vsn, bs, seq, 2048)
    usn, slot, sqn = 6, 2, 5200
    xid = "%d.%d.%d" % (usn, slot, sqn)
    uh_cls, uh_dba = t.cls_usn + 2 * usn, 0x00C00000 + usn * 0x100 + 0x20

    def lob_id(n):                             # the 10 bytes naming a LOB
        return struct.pack(">HQ", 1, n)

    def locator(n, data_len, dbas):            # always most significant byte first
        node = struct.pack(">HBBIHH", 10 + 4 * len(dbas), 0x01, 0, data_len, len(dbas), 0)
        node += b"".join(struct.pack(">I", d) for d in dbas)
        head = struct.pack(">HH", 18 + len(node), 1) + bytes([0x02, 0x0C, 0, 0, 0, 0x12]) + lob_id(n)
        return head + node

    def lob_block(n, page, data):              # header in the redo's byte order
        b = bytearray(36)
        b[4:14] = lob_id(n)
        t.put(b, 16, t.u32(page))
        t.put(b, 20, t.u32(len(data)))
        t.put(b, 24, t.u32(DOCS + 1))
        return bytes(b) + data

    def row(cols):
        return bytes([0x2C, 0, len(cols)]) + b"".join(bytes([len(c)]) + c for c in cols)

    dh = bytearray(18 + 4)
    dh[1] = 1
    t.put(dh, 4, t.u16(0xFFFF))
    t.put(dh, 16, t.u16(2))
    rows = [row([bytes.fromhex("c102"), locator(1, len(LOB1), [L1_DBA])]),
            row([bytes.fromhex("c103"), locator(2, len(LOB2A + LOB2B), [L2A_DBA, L2B_DBA])])]
    t.put(dh, 18, t.u16(len(dh)))
    t.put(dh, 20, t.u16(len(dh) + len(rows[0])))
    head = bytearray(24 + 24 * 2)
    head[0] = 1
    t.put(head, 16, t.u16(2))
    t.put(head, 24 + 8, t.u16(usn))
    tblk = bytes(head + dh) + rows[0] + rows[1]

    load = (24, 6, t.vector(24, 6, 1, 0, [struct.pack(t.e + "I4xHHI", DOCS, usn, slot, sqn)]))

    def image(dba, body, kind):
        return (19, 1, t.vector(19, 1, 1, dba, [body, bytes([kind, 0xA2, 0, 0])]))

    begin = (5, 2, t.vector(5, 2, uh_cls, uh_dba, [bytes(32)]))
    commit = (5, 4, t.vector(5, 4, uh_cls, uh_dba, [struct.pack(t.e + "H2xI8x", slot, sqn)[:16] + b"\x12\0\0\0"]))
    def ins(n, data):                          # the row, its LOB empty, then its LOB written
        key, head = "c1%02x" % (n + 1), dict(owner="APP", table="DOCS", xid=xid)
        return [dict(head, op="INSERT", new=[["ID", key], ["BODY", "empty_lob"]]),
                dict(head, op="LOB SELECT", new=[["BODY", ""]], old=[["ID", key]]),
                dict(head, op="LOB WRITE", amount=len(data), offset=1, data=data.hex(), last=True)]
    scn0 = 0x00000001_2C500100
    records = [
        (scn0, [begin, load, image(L1_DBA, lob_block(1, 0, LOB1), 0x28)], None),
        (scn0 + 3, [load, image(T_DBA, tblk, 0x06)], ins(1, LOB1)),
        (scn0 + 6, [load, image(L2A_DBA, lob_block(2, 0, LOB2A), 0x28)], None),
        (scn0 + 9, [load, image(L2B_DBA, lob_block(2, 1, LOB2B), 0x28)], ins(2, LOB2A + LOB2B)),
        (scn0 + 12, [commit], {"op": "COMMIT", "xid": xid}),
    ]
    write_fixture(t, out, name, records, DOC_TABLES)


out = sys.argv[1]
fixture(out, "dp_le_v19_b512", False, 0x13000000, 512, 421, True)
fixture(out, "dp_be_v11_b1024", True, 0x0B200000, 1024, 422, False)
lob_fixture(out, "dpl_le_v19_b512", False, 0x13000000, 512, 423)
lob_fixture(out, "dpl_be_v11_b1024", True, 0x0B200000, 1024, 424)
