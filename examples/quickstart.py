"""Quickstart: register two related models with role rules, ask the Registry
what a reader and a writer may see and write, then plan a query for each.

Run with: scripts/quickstart
"""

import json

import kelvara_py

reg = kelvara_py.Registry()
reg.set_exempt_roles(["admin"])

reg.register(
    {
        "name": "User",
        "collection": "users",
        "read": ["reader", "writer"],
        "write": ["writer"],
        "fields": {
            "name": "string",
            "email": {"type": "string", "read": ["writer"]},
        },
        "relations": {"posts": {"model": "Post", "type": "many", "foreignField": "authorId"}},
    }
)
reg.register(
    {
        "name": "Post",
        "collection": "posts",
        "read": ["reader", "creator"],
        "write": ["writer"],
        "fields": {
            "title": "string",
            "body": "string",
            "authorId": "string",
            "reviewNote": {"type": "string", "read": ["writer"], "write": ["editor"]},
        },
        "relations": {"author": {"model": "User", "type": "one", "localField": "authorId", "foreignField": "_id"}},
    }
)

print("registered:", reg.list())

contexts = {
    "reader": {"userId": "u-1", "roles": ["reader"]},
    "writer": {"userId": "u-2", "roles": ["writer"]},
}
draft = {"title": "Hello", "body": "...", "reviewNote": "ok", "authorId": "u-2", "views": 3}

for who, ctx in contexts.items():
    print(f"\n== {who} {json.dumps(ctx)}")
    for model in ("User", "Post"):
        print(f"  {model}: read={reg.can_read(model, ctx)} write={reg.can_write(model, ctx)}")
        print(f"    readable fields:    {reg.readable_fields(model, ctx)}")
        print(f"    readable relations: {reg.readable_relations(model, ctx)}")
        print(f"    writable fields:    {reg.writable_fields(model, ctx)}")
    print(f"  Post owner condition: {reg.merge_owner_condition('Post', ctx, {'title': 'Hello'})}")
    print(f"  a Post draft, trimmed to what may be written: {reg.filter_writable_data('Post', ctx, draft)}")

# Plans: the writer reads posts only through the "creator" grant, so the owner
# condition joins every plan made for them; the reader's role reads them all.
# Unreadable fields (reviewNote for the reader) leave the projection.
gql = "Post($condition: @c, $sort: @s, $limit: @n) { title, reviewNote, author { name } }"
params = {"c": {"title": {"$ne": ""}}, "s": {"title": 1}, "n": 10}
for who, ctx in contexts.items():
    plan = reg.plan_query(gql, params, ctx)
    print(f"\n== plan for {who}: mode {plan['mode']}")
    for command in plan["commands"]:
        print("  " + json.dumps(command, ensure_ascii=False))
