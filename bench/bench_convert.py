"""Round trip of a large JSON-like document through the binding's conversion.

`filter_writable_data(model, None, doc)` converts the document to the core's
JSON value and back without changing it, so it measures the two conversions
and the call frame. It is timed side by side with orjson (serialise + parse)
and copy.deepcopy of the same document.

Run: python bench/bench_convert.py
"""

import copy
import random
import timeit

import orjson

import kelvara_py


def make_doc(target_nodes=10_000, seed=7):
    rnd = random.Random(seed)
    count = 0

    def node(depth):
        nonlocal count
        count += 1
        kind = rnd.random()
        if depth > 4 or count > target_nodes or kind < 0.55:
            leaf = rnd.random()
            if leaf < 0.4:
                return "".join(rnd.choice("abcdefghij") for _ in range(rnd.randint(3, 16)))
            if leaf < 0.7:
                return rnd.randint(-10**6, 10**9)
            if leaf < 0.9:
                return rnd.random() * 1000
            return rnd.choice([True, False, None])
        if kind < 0.8:
            return {f"key{rnd.randint(0, 40)}": node(depth + 1) for _ in range(rnd.randint(2, 8))}
        return [node(depth + 1) for _ in range(rnd.randint(2, 8))]

    doc = {}
    while count < target_nodes:
        doc[f"item{len(doc)}"] = node(0)
    return doc, count


def best(fn, number, repeat=7):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def main():
    doc, nodes = make_doc()
    reg = kelvara_py.Registry()
    reg.register({"name": "Doc"})
    assert reg.filter_writable_data("Doc", None, doc) == orjson.loads(orjson.dumps(doc))

    ours = best(lambda: reg.filter_writable_data("Doc", None, doc), 50)
    orj = best(lambda: orjson.loads(orjson.dumps(doc)), 50)
    deep = best(lambda: copy.deepcopy(doc), 10)
    print(f"document: {nodes} nodes")
    print(f"kelvara round trip : {ours * 1e6:9.1f} us")
    print(f"orjson dumps+loads : {orj * 1e6:9.1f} us")
    print(f"copy.deepcopy      : {deep * 1e6:9.1f} us")
    print(f"ratio to orjson    : {ours / orj:.2f}x (target <= 1.5x)")
    print(f"ratio to deepcopy  : {ours / deep:.2f}x")


if __name__ == "__main__":
    main()
