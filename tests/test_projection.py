"""The projection returned with a pipeline: what the root documents keep."""

import pytest

from pipeline_worlds import as_text, blog  # noqa: F401  (fixtures)


def projection(reg, gql, ctx=None):
    return reg.build_pipeline(gql, None, ctx)["projection"]


def test_worked_example(blog):
    got = projection(blog, "User { email, address.city, greeting, postCount, posts { title } }")
    assert as_text(got) == '{"_id": 1, "address.city": 1, "email": 1, "name": 1, "postCount": 1, "posts": 1}'


PERSON = {
    "name": "Person",
    "fields": {"email": "string", "name": "string", "address": {"type": "object", "fields": {"city": "string"}}},
    "relations": {"friends": {"model": "Person"}, "boss": {"model": "Person", "type": "one"}},
    "timestamps": False,
}


def person(reg, **extra):
    reg.register({**PERSON, **extra})
    return reg


@pytest.mark.parametrize(
    "fields, expected",
    [
        ("email", {"_id": 1, "email": 1}),
        ("email, email", {"_id": 1, "email": 1}),
        ("address, address.city", {"_id": 1, "address": 1}),
        ("address.city, address", {"_id": 1, "address": 1}),
        ("address.city, address.zip", {"_id": 1, "address.city": 1, "address.zip": 1}),
        ("address.city, foo.bar", {"_id": 1, "address.city": 1}),
        # Only names the schema does not declare: whole documents.
        ("foo, foo.bar", None),
        ("_id", None),
        ("", None),
        ("friends()", None),
        ("email, friends(), boss { name }", {"_id": 1, "boss": 1, "email": 1, "friends": 1}),
        # A flattened object selection is a dotted path.
        ("address { city, zip }", {"_id": 1, "address.city": 1, "address.zip": 1}),
    ],
)
def test_selected_fields(reg, fields, expected):
    person(reg)
    assert projection(reg, f"Person {{ {fields} }}") == expected


def test_id_alone_when_declared(reg):
    reg.register({"name": "K", "fields": {"_id": "string"}})
    assert projection(reg, "K { _id }") == {"_id": 1}


def test_only_computed_fields_selected_means_no_projection(reg):
    person(reg, computes={"hello": {"fn": True, "depends": ["name"]}})
    assert projection(reg, "Person { hello }") is None
    assert projection(reg, "Person { email }") == {"_id": 1, "email": 1, "name": 1}


@pytest.mark.parametrize(
    "depends, fields, expected",
    [
        (["name"], "email", {"_id": 1, "email": 1, "name": 1}),
        (["email", "name"], "email", {"_id": 1, "email": 1, "name": 1}),
        (["boss { name }"], "email", {"_id": 1, "boss": 1, "email": 1}),
        (["  boss  { name }"], "email", {"_id": 1, "boss": 1, "email": 1}),
        ([" \u3000{ name }"], "email", {"_id": 1, "email": 1}),
        (["nosuch.path"], "email", {"_id": 1, "email": 1, "nosuch.path": 1}),
        # A dependency on a field already selected through a sub-path is
        # skipped, so the projection never holds a field and its sub-path.
        (["address"], "email, address.city", {"_id": 1, "address.city": 1, "email": 1}),
        (["address.city"], "address.city", {"_id": 1, "address.city": 1}),
        (["address"], "email", {"_id": 1, "address": 1, "email": 1}),
        # ... and a dependency below a member taken whole is left out.
        (["address.city"], "address", {"_id": 1, "address": 1}),
        (["address", "address.city"], "email", {"_id": 1, "address": 1, "email": 1}),
    ],
)
def test_function_compute_dependencies(reg, depends, fields, expected):
    # The compute is not selected: its dependencies are added anyway.
    person(reg, computes={"hello": {"fn": True, "depends": depends}})
    assert projection(reg, f"Person {{ {fields} }}") == expected


def test_async_compute_dependencies_and_aggregates(reg):
    person(reg, computes={
        "later": {"asyncFn": True, "depends": ["name"]},
        "friendCount": {"agg": {"$count": "friends"}},
    })
    assert projection(reg, "Person { email, friendCount }") == {"_id": 1, "email": 1, "friendCount": 1, "name": 1}
    # An aggregate that is not selected is not projected.
    assert projection(reg, "Person { email }") == {"_id": 1, "email": 1, "name": 1}


def test_relation_member_is_projected_once(reg):
    person(reg)
    got = projection(reg, "Person { email, boss { name }, boss { email } }")
    assert as_text(got) == '{"_id": 1, "boss": 1, "email": 1}'


# Read permissions.

GUARDED = {
    **PERSON,
    "fields": {
        "email": {"type": "string", "read": ["admin"]},
        "name": "string",
        "address": {"type": "object", "fields": {"city": "string"}, "read": ["admin"]},
    },
    "computes": {"hello": {"fn": True, "depends": ["email"]}, "friendCount": {"agg": {"$count": "friends"}}},
}
MEMBER = {"userId": "u", "roles": ["member"]}


@pytest.mark.parametrize(
    "ctx, expected",
    [
        (None, {"_id": 1, "address.city": 1, "email": 1, "friendCount": 1, "friends": 1, "name": 1}),
        ({"roles": ["admin"]}, {"_id": 1, "address.city": 1, "email": 1, "friendCount": 1, "friends": 1, "name": 1}),
        # email is unreadable (also as the dependency of hello); a sub-path of
        # the unreadable address is as secret as address itself. Relation
        # and compute names are not field names and stay.
        (MEMBER, {"_id": 1, "friendCount": 1, "friends": 1, "name": 1}),
    ],
)
def test_unreadable_fields_are_dropped(reg, ctx, expected):
    reg.register(GUARDED)
    assert projection(reg, "Person { email, name, address.city, friendCount, friends() }", ctx) == expected


def test_id_is_never_dropped(reg):
    reg.register(GUARDED)
    assert projection(reg, "Person { email }", MEMBER) == {"_id": 1}


def test_rbac_read_fields_narrow_the_projection(reg):
    person(reg)
    reg.set_rbac({"grants": [{"role": "member", "model": "Person", "actions": ["read"], "readFields": ["name"]}]})
    got = projection(reg, "Person { email, name, address.city, boss { name } }", MEMBER)
    assert got == {"_id": 1, "boss": 1, "name": 1}
    # Other contexts are unaffected.
    got = projection(reg, "Person { email, name }", {"roles": ["other"]})
    assert got == {"_id": 1, "email": 1, "name": 1}


def test_sub_paths_of_unreadable_fields_leave_lookup_projections(reg):
    reg.register(GUARDED)
    gql = "Person { friends { name, address.city, email } }"

    def lookup_projection(ctx):
        sub = reg.build_pipeline(gql, None, ctx)["pipeline"][0]["$lookup"]["pipeline"]
        return sub[-1]["$project"]

    assert lookup_projection(None) == {"_id": 1, "address.city": 1, "email": 1, "name": 1}
    # Whole fields are left to post-processing; the sub-path is not fetched.
    assert lookup_projection(MEMBER) == {"_id": 1, "email": 1, "name": 1}
