"""Throughput of prepare_query, the per-document pass of query finalisation.

10,000 documents of a model with one selected to-many relation (three
related documents each) and two fields filled from defaults are prepared
with a hand-built postprocess object. The figure is compared with
orjson.loads(orjson.dumps(items)) of the same items, the cost of merely
copying them through a fast JSON codec. A second run registers one
synchronous computed field (a trivial lambda), so the cost of one callback
per document shows separately.

Run: PYTHONPATH=build/dev/core-py python bench/bench_finalize.py
"""

import random
import timeit

import orjson

import kelvara_py

N = 10_000


def make_registry(with_compute):
    reg = kelvara_py.Registry()
    computes = {"label": {"type": "string", "fn": True}} if with_compute else {}
    reg.register({
        "name": "Order",
        "timestamps": False,
        "fields": {
            "code": "string",
            "total": "float",
            "status": {"type": "string", "default": "open"},
            "priority": {"type": "int", "default": 3},
            "customer": "string",
        },
        "relations": {"lines": {"model": "Line", "foreignField": "orderId"}},
        "computes": computes,
    })
    reg.register({"name": "Line", "timestamps": False,
                  "fields": {"sku": "string", "qty": "int", "price": "float"}})
    if with_compute:
        reg.set_fn("label", lambda doc: "x")
    return reg


def make_items(seed=11):
    rnd = random.Random(seed)
    items = []
    for i in range(N):
        items.append({
            "_id": f"o{i}",
            "code": f"C{rnd.randint(0, 10**6)}",
            "total": rnd.random() * 500,
            "customer": f"cust{rnd.randint(0, 999)}",
            # "status" and "priority" are missing: both come from defaults.
            "lines": [{"_id": f"l{i}-{j}", "sku": f"S{rnd.randint(0, 9999)}", "qty": rnd.randint(1, 9),
                       "price": rnd.random() * 50} for j in range(3)],
        })
    return items


POSTPROCESS = {
    "ast": {
        "model": "Order",
        "fields": ["code", "total", "status", "priority", "customer"],
        "params": {},
        "relations": {"lines": {"fields": ["sku", "qty", "price"], "params": {}, "relations": {}}},
    },
    "inject": None,
}


def best(fn, number=3, repeat=5):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def main():
    items = make_items()
    orj = best(lambda: orjson.loads(orjson.dumps(items)))
    print(f"documents: {N}, each with 3 related documents")
    print(f"orjson dumps+loads        : {orj * 1e3:8.1f} ms  ({N / orj:12,.0f} docs/s)")
    for with_compute in (False, True):
        reg = make_registry(with_compute)
        out = reg.prepare_query(POSTPROCESS, items)["items"]
        assert out[0]["status"] == "open" and out[0]["priority"] == 3 and "_id" not in out[0]["lines"][0]
        t = best(lambda: reg.prepare_query(POSTPROCESS, items))
        name = "prepare_query + 1 compute" if with_compute else "prepare_query"
        print(f"{name:26}: {t * 1e3:8.1f} ms  ({N / t:12,.0f} docs/s)  ratio to orjson {t / orj:.2f}x")
        if with_compute:
            print(f"  per callback            : {(t - base) / N * 1e6:8.2f} us")
        base = t
    print("target: prepare_query at most 3x orjson")


if __name__ == "__main__":
    main()
