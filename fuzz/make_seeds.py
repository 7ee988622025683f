#!/usr/bin/env python3
"""Writes the checked-in seed corpus of every fuzz target (fuzz/corpus/).

Run again after a protocol change; libFuzzer grows the corpus from these.
Each seed is a well-formed example the target should accept, so the fuzzer
starts from the deep paths instead of finding the syntax by chance."""
import json
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def cbor(value):
    def head(major, n):
        if n < 24:
            return bytes([major << 5 | n])
        for size, code in ((1, 24), (2, 25), (4, 26), (8, 27)):
            if n < 1 << (8 * size):
                return bytes([major << 5 | code]) + n.to_bytes(size, "big")
        raise ValueError(n)

    if value is None:
        return b"\xf6"
    if value is True:
        return b"\xf5"
    if value is False:
        return b"\xf4"
    if isinstance(value, int):
        return head(0, value) if value >= 0 else head(1, -1 - value)
    if isinstance(value, str):
        raw = value.encode()
        return head(3, len(raw)) + raw
    if isinstance(value, list):
        return head(4, len(value)) + b"".join(cbor(v) for v in value)
    if isinstance(value, dict):  # insertion order: packets need fields first
        return head(5, len(value)) + b"".join(cbor(k) + cbor(v) for k, v in value.items())
    raise TypeError(value)


def packet(fields, rows):
    return {"fields": [{"name": n, "size": s} for n, s in fields], "rows": rows}


FACTS = packet([("NMITEMDW", 30), ("CDTABELADW", 30), ("CDITEMDW", 30)],
               [["Valor da Venda", "FATOVENDA", "VLVENDA"],
                ["Margem Bruta", "FATOVENDA", "VLMARGEM"]])
DIMS = packet([("NRSEQUEDIME", 5)], [["3"], ["4"]])
FILTER = packet([("ITENS", 50), ("CDCODIGOPAI", 20), ("NRSEQUEDIME", 20)],
                [["N", "02", "4"], ["NE", "02", "4"]])
SEARCH = " SELECT DISTINCT ' ' AS IDMARCADO, CDREGIAO , DSREGIAO FROM DIMREGIAO ORDER BY DSREGIAO"

CALLS = [
    ("getOperGrup", ["02", None, None]),
    ("getOperOper", ["JSILVA", None, None]),
    ("setCkFatoOpGrup", ["FATOVENDA", "VLMARGEM", "06", True, None]),
    ("setCkFatoOpOper", ["FATOVENDA", "VLVENDA", "JSILVA", False, None]),
    ("setCkDimeOpGrup", ["4", "02", True, None]),
    ("setCkDimeOpOper", ["1", "JSILVA", False, None]),
    ("setTChkFatoOpGrup", ["06", FACTS, None, True]),
    ("setTChkFatoOpOper", ["JSILVA", FACTS, None, False]),
    ("setTChkDimeOpGrup", ["02", DIMS, False, None]),
    ("setTChkDimeOpOper", ["JSILVA", DIMS, True, None]),
    ("getPesqFiltro", [SEARCH]),
    ("getListaFiltro", ["G02", "4"]),
    ("setDelFilDime", [FILTER, True]),
    ("login", ["QUV01000.rdmControleAcesso", "s3cr3t-token"]),
    ("unknownMethod", []),
    ("getPreviaCopia", ["G02", "OJSILVA", "acrescentar"]),
    ("copiaAcessos", ["G02", "OJSILVA", "substituir"]),
    ("getExportaAcessos", [packet([("CHAVE", 13)], [["G02"], ["OJSILVA"]]), ""]),
    ("importaAcessosParte", [packet([("POSICAO", 0), ("CHAVE", 0), ("TIPO", 1), ("CODIGO", 0),
                                     ("ITEM", 0)],
                                    [["5", "G02", "P", "", ""],
                                     ["6", "G02", "F", "FATOVENDA", "VLVENDA"]])]),
]


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


def frame(payload):
    return struct.pack(">I", len(payload)) + payload


def main():
    requests = []
    for number, (method, params) in enumerate(CALLS, start=1):
        request = {"jsonrpc": "2.0", "id": number, "method": method, "params": params}
        text = json.dumps(request, ensure_ascii=False).encode()
        write("fuzz_request", f"{method}.json", text)
        write("fuzz_request", f"{method}.cbor", cbor(request))
        requests.append(cbor(request))

    replies = {
        "facts": {"jsonrpc": "2.0", "id": 2, "result": {"payload": None,
                                                         "out": ["02", FACTS, DIMS]}},
        "search": {"jsonrpc": "2.0", "id": 7, "result": {"out": [SEARCH], "payload": packet(
            [("IDMARCADO", 1), ("CDREGIAO", 2), ("DSREGIAO", 12)],
            [[" ", "CO", "Centro-Oeste"], [" ", "NE", "Nordeste"]])}},
        "list": {"jsonrpc": "2.0", "id": 8, "result": {"out": [None, "4"], "payload": "_S_SE_"}},
        "error": {"jsonrpc": "2.0", "id": None,
                  "error": {"code": 1003, "message": "Grupo de operadores '99' não cadastrado."}},
        "login": {"jsonrpc": "2.0", "id": 1, "result": {"administrator": "admin"}},
    }
    for name, reply in replies.items():
        write("fuzz_reply", f"{name}.json", json.dumps(reply, ensure_ascii=False).encode())
        write("fuzz_reply", f"{name}.cbor", cbor(reply))

    # Frames: the first byte picks the limit, the second how many chunk
    # sizes follow (see fuzz_frame.cpp).
    stream = b"".join(frame(r) for r in requests[:4])
    write("fuzz_frame", "four-requests", b"\xff\x03\x00\x05\x10" + stream)
    write("fuzz_frame", "small-limit", b"\x10\x01\x02" + frame(b"x" * 40) + frame(b"{}"))
    write("fuzz_frame", "partial", b"\xff\x00" + frame(b"abc") + b"\x00\x00\x01")
    write("fuzz_frame", "empty-frames", b"\xff\x02\x00\x01" + frame(b"") * 3)

    # The attacks of hostile peers on the decoders, at a size a seed can
    # have: more fields than a packet may declare, the same field twice, and
    # more nulls than a payload's decode budget allows.
    wide = packet([(f"CAMPO{i}", 30) for i in range(300)], [])
    twice = packet([("CDTABELADW", 30), ("CDTABELADW", 30)], [["FATOVENDA", "FATOVENDA"]])
    nulls = {"jsonrpc": "2.0", "id": 1, "method": "getOperGrup", "params": [None] * 20000}
    attacks = {
        "attack-fields.cbor": cbor({"jsonrpc": "2.0", "id": 1, "method": "login",
                                    "params": [wide, "not-a-token"]}),
        "attack-fields-twice.cbor": cbor({"jsonrpc": "2.0", "id": 1, "method": "setTChkFatoOpGrup",
                                          "params": ["06", twice, None, True]}),
        "attack-nulls.cbor": cbor(nulls),
        "attack-nulls-unsized.cbor": cbor(nulls)[:-20003] + b"\x9f" + b"\xf6" * 20000 + b"\xff",
        "attack-nulls.json": json.dumps(nulls).encode(),
    }
    for name, data in attacks.items():
        write("fuzz_request", name, data)
    # A header announcing 256 MiB: under the largest limit the frame waits
    # for its body, under a small one it is refused at once.
    announce = struct.pack(">I", 256 * 1024 * 1024) + b"\xf6" * 64
    write("fuzz_frame", "attack-header", b"\xff\x00" + announce)
    write("fuzz_frame", "attack-header-small-limit", b"\x10\x00" + announce)

    for name, text in (("values", "_S_SE_N_"), ("no-leading", "a_b_c"), ("empties", "_a__b_"),
                       ("lines", "Norte\nSul\nCentro-Oeste"), ("unicode", "_São Paulo_Região_"),
                       ("separator-in-line", "a_b\nc")):
        write("fuzz_filterlist", name, text.encode())


if __name__ == "__main__":
    main()
