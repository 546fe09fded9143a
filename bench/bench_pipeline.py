"""Registry.build_pipeline for a typical query: a condition, a sort, a limit
and five fields, with and without one relation selection.

Each call tokenizes, parses, validates, builds the pipeline and projection
and converts the result to Python. It is timed against orjson serialising
and parsing the same result (orjson.loads(orjson.dumps(result))), the
cheapest way Python has to produce that value from scratch.

Run: python bench/bench_pipeline.py
"""

import timeit

import orjson

import kelvara_py

USER = {
    "name": "User",
    "collection": "users",
    "fields": {"name": "string", "email": "string", "age": "int", "status": "string", "city": "string"},
    "relations": {"posts": {"model": "Post", "foreignField": "authorId"}},
}
POST = {"name": "Post", "collection": "posts", "fields": {"title": "string", "authorId": "string"}}

CASES = {
    "plain": "User($condition: @c, $sort: @s, $limit: @n) { name, email, age, status, city }",
    "with relation": "User($condition: @c, $sort: @s, $limit: @n) { name, email, age, status, city, posts { title } }",
}
PARAMS = {"c": {"status": "active", "age": {"$gte": 18}}, "s": {"createdAt": -1}, "n": 20}


def best(fn, number, repeat=7):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def main():
    reg = kelvara_py.Registry()
    reg.register(USER)
    reg.register(POST)
    for label, gql in CASES.items():
        result = reg.build_pipeline(gql, PARAMS)
        assert orjson.loads(orjson.dumps(result)) == result
        ours = best(lambda: reg.build_pipeline(gql, PARAMS), 20_000)
        orj = best(lambda: orjson.loads(orjson.dumps(result)), 20_000)
        print(f"{label}:")
        print(f"  build_pipeline     : {ours * 1e6:7.2f} us")
        print(f"  orjson dumps+loads : {orj * 1e6:7.2f} us")
        print(f"  ratio              : {ours / orj:.2f}x (target <= 3x)")


if __name__ == "__main__":
    main()
