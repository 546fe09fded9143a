"""RBAC: policy validation, action decisions, row conditions and field overlays.

Everything goes through the host methods set_rbac, rbac_can,
rbac_row_condition, rbac_readable_fields and rbac_writable_fields, next to the
static permission queries they narrow.
"""

import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kelvara_py

# --- the world ---------------------------------------------------------------

POST = {
    "name": "Post",
    "timestamps": False,
    "fields": {
        "_id": "string",
        "title": "string",
        "body": "string",
        "status": "string",
        "secret": {"type": "string", "read": ["admin"], "write": ["admin"]},
    },
}
COMMENT = {"name": "Comment", "timestamps": False, "fields": {"_id": "string", "text": "string"}}
# Readable statically only by editors.
DRAFT = {"name": "Draft", "timestamps": False, "read": ["editor"], "fields": {"_id": "string", "text": "string"}}


@pytest.fixture
def blog(reg):
    for defn in (POST, COMMENT, DRAFT):
        reg.register(defn)
    reg.set_exempt_roles(["root"])
    return reg


NO_CTX = None
INTERNAL = {"internal": True}
AUTHOR = {"userId": "u1", "role": "author"}
MOD = {"userId": "u2", "role": "mod"}
GUEST = {"userId": "u3", "role": "guest"}
ROOT = {"userId": "u4", "roles": ["root", "author"]}
GUEST_AUTHOR = {"userId": "u5", "roles": ["guest", "author"]}
EDITOR = {"userId": "u6", "role": "editor"}
ANON_AUTHOR = {"role": "author"}

OVERLAY = {
    "grants": [
        {"role": "author", "model": "Post", "actions": ["read", "update"]},
        {"role": "mod", "model": "*", "actions": ["read"]},
        {"role": "editor", "model": "Draft", "actions": ["read"]},
    ]
}
ENFORCE = {
    "mode": "enforce",
    "roles": {"author": {}, "mod": True, "editor": None},
    "grants": [
        {"role": "author", "model": "Post", "actions": ["read", "write"]},
        {"role": "mod", "model": "*", "actions": ["remove"]},
    ],
}
EMPTY = {}

# --- action decisions ----------------------------------------------------------

DECISIONS = [
    # no policy: RBAC never decides
    (None, AUTHOR, "Post", "remove", True),
    # an empty policy is installed but decides nothing
    (EMPTY, AUTHOR, "Post", "insert", True),
    (EMPTY, GUEST, "Draft", "read", True),
    # overlay: a governed pair allows exactly the granted actions
    (OVERLAY, AUTHOR, "Post", "read", True),
    (OVERLAY, AUTHOR, "Post", "update", True),
    (OVERLAY, AUTHOR, "Post", "insert", False),
    (OVERLAY, AUTHOR, "Post", "remove", False),
    # ... and leaves other models and other roles alone
    (OVERLAY, AUTHOR, "Comment", "remove", True),
    (OVERLAY, GUEST, "Post", "remove", True),
    # "*" matches every model
    (OVERLAY, MOD, "Post", "read", True),
    (OVERLAY, MOD, "Comment", "read", True),
    (OVERLAY, MOD, "Comment", "insert", False),
    (OVERLAY, MOD, "Draft", "update", False),
    # any effective role may match
    (OVERLAY, GUEST_AUTHOR, "Post", "insert", False),
    (OVERLAY, ANON_AUTHOR, "Post", "read", True),
    # no context, the internal context and exempt roles bypass RBAC
    (OVERLAY, NO_CTX, "Post", "remove", True),
    (OVERLAY, INTERNAL, "Post", "remove", True),
    (OVERLAY, ROOT, "Post", "remove", True),
    # enforce: "write" grants insert, update and remove
    (ENFORCE, AUTHOR, "Post", "insert", True),
    (ENFORCE, AUTHOR, "Post", "update", True),
    (ENFORCE, AUTHOR, "Post", "remove", True),
    (ENFORCE, AUTHOR, "Post", "read", True),
    # enforce denies what no grant allows, for every model
    (ENFORCE, AUTHOR, "Comment", "read", False),
    (ENFORCE, MOD, "Comment", "read", False),
    (ENFORCE, MOD, "Comment", "remove", True),
    # a managed role without any grant is denied everything
    (ENFORCE, EDITOR, "Draft", "read", False),
    (ENFORCE, EDITOR, "Post", "insert", False),
    # an unmanaged context is not governed
    (ENFORCE, GUEST, "Comment", "remove", True),
    (ENFORCE, GUEST_AUTHOR, "Comment", "read", False),
    (ENFORCE, ROOT, "Comment", "read", True),
    (ENFORCE, INTERNAL, "Draft", "update", True),
]


@pytest.mark.parametrize("policy, ctx, model, action, allowed", DECISIONS)
def test_rbac_can_decides_per_policy_context_model_action(blog, policy, ctx, model, action, allowed):
    blog.set_rbac(policy)
    assert blog.rbac_can(model, action, ctx) is allowed


def test_rbac_can_rejects_unknown_actions_and_models(blog):
    blog.set_rbac(OVERLAY)
    for action in ("write", "READ", "", "delete"):
        with pytest.raises(RuntimeError) as e:
            blog.rbac_can("Post", action, AUTHOR)
        assert str(e.value) == f'RBAC action "{action}" 非法（仅支持 read / insert / update / remove）'
    with pytest.raises(RuntimeError, match="^Schema 未注册: Nope$"):
        blog.rbac_can("Nope", "read", AUTHOR)


def test_rbac_only_narrows_the_static_rules(blog):
    """A static denial stays a denial whatever RBAC grants; RBAC adds denials."""
    blog.set_rbac(OVERLAY)
    # Draft's static read list admits editors only: the RBAC grant to mod
    # does not open it, and the editor's own grant keeps it open.
    assert blog.rbac_can("Draft", "read", MOD) is True
    assert blog.can_read("Draft", MOD) is False
    assert blog.can_read("Draft", EDITOR) is True and blog.rbac_can("Draft", "read", EDITOR) is True
    # Post is statically open to writing, but RBAC withholds insert from authors.
    assert blog.can_write("Post", AUTHOR) is True
    assert blog.rbac_can("Post", "insert", AUTHOR) is False
    # The static permission queries themselves are not narrowed by RBAC.
    assert blog.readable_fields("Post", AUTHOR) == ["_id", "body", "status", "title"]


# --- row conditions --------------------------------------------------------------

OWN = {"role": "author", "model": "Post", "actions": ["read"], "ownerOnly": True}
PUBLISHED = {"role": "author", "model": "Post", "actions": ["read"], "condition": {"status": "pub", "lang": None}}
OPEN_READ = {"role": "author", "model": "Post", "actions": ["read"]}
OWN_AND_DRAFT = {"role": "author", "model": "*", "actions": ["write"], "ownerOnly": 1, "condition": {"status": "draft"}}

ROW_CONDITIONS = [
    # owner-only
    ([OWN], AUTHOR, "Post", "read", {"createdBy": "u1"}),
    # owner-only without a user id: no row is visible
    ([OWN], ANON_AUTHOR, "Post", "read", {"__rbac_impossible__": True}),
    ([OWN], {"userId": "", "role": "author"}, "Post", "read", {"__rbac_impossible__": True}),
    # an equality condition, copied
    ([PUBLISHED], AUTHOR, "Post", "read", {"lang": None, "status": "pub"}),
    # owner part first, then the condition; "write" covers update and remove
    ([OWN_AND_DRAFT], AUTHOR, "Comment", "update",
     {"$and": [{"createdBy": "u1"}, {"status": "draft"}]}),
    ([OWN_AND_DRAFT], AUTHOR, "Post", "remove",
     {"$and": [{"createdBy": "u1"}, {"status": "draft"}]}),
    # several restricted grants: "$or" in policy order
    ([PUBLISHED, OWN], AUTHOR, "Post", "read",
     {"$or": [{"lang": None, "status": "pub"}, {"createdBy": "u1"}]}),
    # ... and one unrestricted grant lifts every restriction
    ([PUBLISHED, OWN, OPEN_READ], AUTHOR, "Post", "read", None),
    ([OPEN_READ, OWN], AUTHOR, "Post", "read", None),
    # only grants for the asked action count
    ([OWN, OWN_AND_DRAFT], AUTHOR, "Post", "update", {"$and": [{"createdBy": "u1"}, {"status": "draft"}]}),
    ([OWN_AND_DRAFT], AUTHOR, "Post", "read", None),
    # other roles, no context, internal, exempt: no restriction
    ([OWN], MOD, "Post", "read", None),
    ([OWN], NO_CTX, "Post", "read", None),
    ([OWN], INTERNAL, "Post", "read", None),
    ([OWN], ROOT, "Post", "read", None),
    # grants of both effective roles are taken
    ([OWN, {**PUBLISHED, "role": "guest"}], GUEST_AUTHOR, "Post", "read",
     {"$or": [{"createdBy": "u5"}, {"lang": None, "status": "pub"}]}),
    # an empty condition restricts to "every row"
    ([{**OPEN_READ, "condition": {}}], AUTHOR, "Post", "read", {}),
]


@pytest.mark.parametrize("grants, ctx, model, action, expected", ROW_CONDITIONS)
def test_rbac_row_condition(blog, grants, ctx, model, action, expected):
    blog.set_rbac({"grants": grants})
    assert blog.rbac_row_condition(model, action, ctx) == expected


def test_rbac_row_condition_in_enforce_mode(blog):
    blog.set_rbac({"mode": "enforce", "roles": {"author": 1}, "grants": [OWN]})
    assert blog.rbac_row_condition("Post", "read", AUTHOR) == {"createdBy": "u1"}
    # governed but without a grant for the action: no row restriction (the
    # action itself is denied by rbac_can)
    assert blog.rbac_row_condition("Comment", "read", AUTHOR) is None
    assert blog.rbac_can("Comment", "read", AUTHOR) is False
    # an unmanaged role is not governed even if a grant names it
    blog.set_rbac({"mode": "enforce", "roles": {"mod": 1}, "grants": [OWN]})
    assert blog.rbac_row_condition("Post", "read", AUTHOR) is None


def test_rbac_row_condition_without_policy(blog):
    assert blog.rbac_row_condition("Post", "read", AUTHOR) is None


@pytest.mark.parametrize("action", ["insert", "write", "Read", "", "delete"])
def test_rbac_row_condition_rejects_actions_before_model_lookup(blog, action):
    for model in ("Post", "NotRegistered"):
        with pytest.raises(ValueError) as e:
            blog.rbac_row_condition(model, action, AUTHOR)
        assert str(e.value) == f'RBAC row_condition 的 action "{action}" 非法（仅支持 read / update / remove）'
    with pytest.raises(RuntimeError, match="^Schema 未注册: NotRegistered$"):
        blog.rbac_row_condition("NotRegistered", "read", AUTHOR)


# --- field overlays ----------------------------------------------------------------

ALL_POST = ["_id", "body", "secret", "status", "title"]
POST_FOR_AUTHOR = ["_id", "body", "status", "title"]  # "secret" is admin-only


def grant(actions, **extra):
    return {"role": "author", "model": "Post", "actions": actions, **extra}


FIELD_OVERLAYS = [
    # (grants, ctx, readable, writable)
    # no decision: the static sets unchanged
    ([], AUTHOR, POST_FOR_AUTHOR, POST_FOR_AUTHOR),
    ([grant(["read"])], MOD, ["_id", "body", "status", "title"], ["_id", "body", "status", "title"]),
    # no context: no sets at all
    ([grant(["read"], readFields=["title"])], NO_CTX, None, None),
    ([grant(["read"], readFields=["title"])], INTERNAL, ALL_POST, ALL_POST),
    ([grant(["read"], readFields=["title"])], ROOT, ALL_POST, ALL_POST),
    # static {_id, title, ...} overlaid with read fields: _id survives
    ([grant(["read"], readFields=["title", "body"])], AUTHOR, ["_id", "body", "title"], POST_FOR_AUTHOR),
    # RBAC cannot open a field the static rules close
    ([grant(["read", "write"], readFields=["secret", "title"], writeFields=["secret"])], AUTHOR,
     ["_id", "title"], ["_id"]),
    # one grant without a limit lifts the limit of another
    ([grant(["read"], readFields=["title"]), grant(["read"])], AUTHOR, POST_FOR_AUTHOR, POST_FOR_AUTHOR),
    # limits of several grants are united
    ([grant(["read"], readFields=["title"]), grant(["read"], readFields=["status"])], AUTHOR,
     ["_id", "status", "title"], POST_FOR_AUTHOR),
    # read fields count only for read grants, write fields only for write grants
    ([grant(["read"], writeFields=["title"]), grant(["update"], readFields=["body"], writeFields=["status"])], AUTHOR,
     POST_FOR_AUTHOR, ["_id", "status"]),
    ([grant(["insert"], writeFields=["title"]), grant(["remove"])], AUTHOR, POST_FOR_AUTHOR, POST_FOR_AUTHOR),
    # a field named in the grant but not declared stays out
    ([grant(["write"], writeFields=["ghost", "body"])], AUTHOR, POST_FOR_AUTHOR, ["_id", "body"]),
]


@pytest.mark.parametrize("grants, ctx, readable, writable", FIELD_OVERLAYS)
def test_rbac_field_overlays(blog, grants, ctx, readable, writable):
    blog.set_rbac({"grants": grants})
    assert blog.rbac_readable_fields("Post", ctx) == readable
    assert blog.rbac_writable_fields("Post", ctx) == writable


def test_rbac_field_overlays_follow_the_static_writable_set(blog):
    """A model closed to writing leaves only fields with their own admitting write list."""
    blog.register({"name": "Locked", "timestamps": False, "write": [],
                   "fields": {"a": "string", "b": {"type": "string", "write": ["author"]}}})
    blog.set_rbac({"grants": [{"role": "author", "model": "Locked", "actions": ["write"], "writeFields": ["a", "b"]}]})
    assert blog.writable_fields("Locked", AUTHOR) == ["b"]
    assert blog.rbac_writable_fields("Locked", AUTHOR) == ["b"]


def test_rbac_field_overlays_without_policy_match_static(blog):
    for ctx in (NO_CTX, AUTHOR, GUEST):
        assert blog.rbac_readable_fields("Post", ctx) == blog.readable_fields("Post", ctx)
        assert blog.rbac_writable_fields("Post", ctx) == blog.writable_fields("Post", ctx)
    with pytest.raises(RuntimeError, match="^Schema 未注册: Nope$"):
        blog.rbac_readable_fields("Nope", AUTHOR)


# --- policy parsing ----------------------------------------------------------------

def test_policy_defaults_and_normalisation(blog):
    blog.set_rbac({})
    assert blog.rbac_enabled() is True
    assert blog.rbac_can("Post", "remove", AUTHOR) is True
    # null members mean absent; unknown keys are ignored
    blog.set_rbac({"mode": None, "roles": None, "grants": None, "extra": [1, 2]})
    assert blog.rbac_can("Post", "remove", AUTHOR) is True
    # duplicates and "write" collapse to the set of actions
    blog.set_rbac({"grants": [grant(["read", "read", "write", "insert"], readFields=None, writeFields=None,
                                    condition=None, ownerOnly=0)]})
    assert [blog.rbac_can("Post", a, AUTHOR) for a in ("read", "insert", "update", "remove")] == [True] * 4
    assert blog.rbac_row_condition("Post", "read", AUTHOR) is None
    # ownerOnly follows truthiness
    for truthy in (1, "yes", [], {}):
        blog.set_rbac({"grants": [grant(["read"], ownerOnly=truthy)]})
        assert blog.rbac_row_condition("Post", "read", AUTHOR) == {"createdBy": "u1"}
    for falsy in (0, "", 0.0, False, None):
        blog.set_rbac({"grants": [grant(["read"], ownerOnly=falsy)]})
        assert blog.rbac_row_condition("Post", "read", AUTHOR) is None
    # None removes the policy
    blog.set_rbac(None)
    assert blog.rbac_enabled() is False


DELETE = object()


def G(**members):
    """A valid grant with some members replaced (DELETE removes a member)."""
    g = {"role": "author", "model": "Post", "actions": ["read"]}
    for k, v in members.items():
        if v is DELETE:
            g.pop(k)
        else:
            g[k] = v
    return g

BAD_POLICIES = [
    ([], "RBAC 策略必须是对象"),
    ("overlay", "RBAC 策略必须是对象"),
    (0, "RBAC 策略必须是对象"),
    ({"mode": "Enforce"}, 'RBAC mode "Enforce" 非法（仅支持 overlay / enforce）'),
    ({"mode": 1}, "RBAC mode 1 非法（仅支持 overlay / enforce）"),
    ({"mode": ["enforce"], "roles": 5}, 'RBAC mode ["enforce"] 非法（仅支持 overlay / enforce）'),
    ({"mode": "模式"}, 'RBAC mode "模式" 非法（仅支持 overlay / enforce）'),
    ({"roles": ["a"]}, 'RBAC roles 必须是对象，实际 ["a"]'),
    ({"roles": "a", "grants": 3}, 'RBAC roles 必须是对象，实际 "a"'),
    ({"roles": {"a": 1, "": 2}}, "RBAC roles 含空角色名"),
    ({"mode": "enforce"}, "RBAC mode=enforce 时 roles 不能为空（无受管角色 = 策略空转，属配置错误）"),
    ({"mode": "enforce", "roles": {}}, "RBAC mode=enforce 时 roles 不能为空（无受管角色 = 策略空转，属配置错误）"),
    ({"mode": "enforce", "roles": None, "grants": 1},
     "RBAC mode=enforce 时 roles 不能为空（无受管角色 = 策略空转，属配置错误）"),
    ({"grants": {"a": 1}}, 'RBAC grants 必须是数组，实际 {"a":1}'),
    ({"grants": "x"}, 'RBAC grants 必须是数组，实际 "x"'),
    ({"grants": [G(), 5]}, "RBAC grants[1] 必须是对象"),
    ({"grants": [G(role=DELETE)]}, "RBAC grants[0].role 必须是非空字符串"),
    ({"grants": [G(role="")]}, "RBAC grants[0].role 必须是非空字符串"),
    ({"grants": [G(role=None, model=None)]}, "RBAC grants[0].role 必须是非空字符串"),
    ({"grants": [G(model=7)]}, "RBAC grants[0].model 必须是非空字符串"),
    ({"grants": [G(actions=DELETE)]}, "RBAC grants[0].actions 必须是非空数组"),
    ({"grants": [G(actions="read")]}, "RBAC grants[0].actions 必须是非空数组"),
    ({"grants": [G(actions=None)]}, "RBAC grants[0].actions 必须是非空数组"),
    ({"grants": [G(actions=[])]}, "RBAC grants[0].actions 不能为空（不授权请移除该 grant）"),
    ({"grants": [G(actions=["read", 1.5, "bad"])]}, "RBAC grants[0].actions 含非字符串项 1.5"),
    ({"grants": [G(actions=["read", {"x": None}])]}, 'RBAC grants[0].actions 含非字符串项 {"x":null}'),
    ({"grants": [G(actions=["read", "delete", 1])]},
     'RBAC grants[0].actions 含非法值 "delete"（仅支持 read/insert/update/remove/write）'),
    ({"grants": [G(actions=["Read"])]}, 'RBAC grants[0].actions 含非法值 "Read"（仅支持 read/insert/update/remove/write）'),
    ({"grants": [G(readFields="title")]}, 'RBAC grants[0].readFields 必须是字符串数组，实际 "title"'),
    ({"grants": [G(readFields=[])]}, "RBAC grants[0].readFields 不能为空数组（全禁请移除该 grant）"),
    ({"grants": [G(readFields=["a", ""])]}, 'RBAC grants[0].readFields 含非法项 ""（须非空字符串）'),
    ({"grants": [G(readFields=["a", True])]}, "RBAC grants[0].readFields 含非法项 true（须非空字符串）"),
    ({"grants": [G(readFields=["a"], writeFields={"b": 1})]}, 'RBAC grants[0].writeFields 必须是字符串数组，实际 {"b":1}'),
    ({"grants": [G(writeFields=[])]}, "RBAC grants[0].writeFields 不能为空数组（全禁请移除该 grant）"),
    ({"grants": [G(writeFields=[None])]}, "RBAC grants[0].writeFields 含非法项 null（须非空字符串）"),
    ({"grants": [G(condition=[1])]}, "RBAC grants[0].condition 必须是对象（等值条件），实际 [1]"),
    ({"grants": [G(condition="a=1")]}, 'RBAC grants[0].condition 必须是对象（等值条件），实际 "a=1"'),
    ({"grants": [G(condition={"$or": [], "a": 1})]},
     'RBAC grants[0].condition 键 "$or" 非法（第一批仅支持等值字段条件，键不得以 $ 开头）'),
    ({"grants": [G(condition={"": 1})]}, 'RBAC grants[0].condition 键 "" 非法（第一批仅支持等值字段条件，键不得以 $ 开头）'),
    ({"grants": [G(condition={"a": {"$gt": 1}})]},
     'RBAC grants[0].condition["a"] 必须是标量（string/number/bool/null），实际 {"$gt":1}'),
    ({"grants": [G(condition={"b": [1, "x"], "a": {"k": 1}})]},
     'RBAC grants[0].condition["a"] 必须是标量（string/number/bool/null），实际 {"k":1}'),
    # earlier grants are checked first; within a grant the keys go in order
    ({"grants": [G(), G(), G(model="", actions=[])]}, "RBAC grants[2].model 必须是非空字符串"),
    ({"grants": [G(actions=[], readFields=[])]}, "RBAC grants[0].actions 不能为空（不授权请移除该 grant）"),
    ({"grants": [G(readFields=[], condition=5)]}, "RBAC grants[0].readFields 不能为空数组（全禁请移除该 grant）"),
    ({"grants": [G(condition=5), 7]}, "RBAC grants[0].condition 必须是对象（等值条件），实际 5"),
    # the mode is checked before the roles, the roles before the grants
    ({"mode": "x", "roles": [], "grants": 1}, 'RBAC mode "x" 非法（仅支持 overlay / enforce）'),
    ({"roles": [], "grants": 1}, "RBAC roles 必须是对象，实际 []"),
]


@pytest.mark.parametrize("policy, message", BAD_POLICIES)
def test_set_rbac_rejects_bad_policies_and_keeps_the_previous_one(blog, policy, message):
    blog.set_rbac({"grants": [OWN]})
    with pytest.raises(RuntimeError) as e:
        blog.set_rbac(policy)
    assert str(e.value) == message
    assert blog.rbac_enabled() is True
    assert blog.rbac_row_condition("Post", "read", AUTHOR) == {"createdBy": "u1"}


def test_failed_set_rbac_without_previous_policy_installs_nothing(blog):
    with pytest.raises(RuntimeError):
        blog.set_rbac({"mode": "enforce"})
    assert blog.rbac_enabled() is False


def test_set_rbac_rejects_unconvertible_values(blog):
    blog.set_rbac({"grants": [OWN]})
    with pytest.raises(TypeError):
        blog.set_rbac({"grants": [{**OWN, "condition": {"a": object()}}]})
    assert blog.rbac_row_condition("Post", "read", AUTHOR) == {"createdBy": "u1"}


# --- fuzzing set_rbac ----------------------------------------------------------------

TEMPLATES = [re.compile(p, re.S) for p in (
    r"RBAC 策略必须是对象",
    r"RBAC mode .* 非法（仅支持 overlay / enforce）",
    r"RBAC roles 必须是对象，实际 .*",
    r"RBAC roles 含空角色名",
    r"RBAC mode=enforce 时 roles 不能为空（无受管角色 = 策略空转，属配置错误）",
    r"RBAC grants 必须是数组，实际 .*",
    r"RBAC grants\[\d+\] 必须是对象",
    r"RBAC grants\[\d+\]\.(role|model) 必须是非空字符串",
    r"RBAC grants\[\d+\]\.actions 必须是非空数组",
    r"RBAC grants\[\d+\]\.actions 不能为空（不授权请移除该 grant）",
    r"RBAC grants\[\d+\]\.actions 含非字符串项 .*",
    r'RBAC grants\[\d+\]\.actions 含非法值 ".*"（仅支持 read/insert/update/remove/write）',
    r"RBAC grants\[\d+\]\.(readFields|writeFields) 必须是字符串数组，实际 .*",
    r"RBAC grants\[\d+\]\.(readFields|writeFields) 不能为空数组（全禁请移除该 grant）",
    r"RBAC grants\[\d+\]\.(readFields|writeFields) 含非法项 .*（须非空字符串）",
    r"RBAC grants\[\d+\]\.condition 必须是对象（等值条件），实际 .*",
    r'RBAC grants\[\d+\]\.condition 键 ".*" 非法（第一批仅支持等值字段条件，键不得以 \$ 开头）',
    r'RBAC grants\[\d+\]\.condition\[".*"\] 必须是标量（string/number/bool/null），实际 .*',
)]

names = st.sampled_from(["", "author", "mod", "Post", "*", "$x", "a", "read", "write", "名"])
scalars = st.none() | st.booleans() | st.integers(-3, 3) | st.floats(allow_nan=False) | names
json_values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(names, inner, max_size=3),
    max_leaves=8,
)
good_actions = st.sampled_from(["read", "insert", "update", "remove", "write"])
actions = good_actions | st.sampled_from(["delete", "", "Read"])
good_names = names.filter(bool)
field_names = st.sampled_from(["a", "b", "title", "名"])


def mostly(valid, other):
    """Valid values most of the time, so parsing gets deep into a grant."""
    return st.sampled_from([True, True, True, True, False]).flatmap(lambda ok: valid if ok else other)


grants = st.fixed_dictionaries(
    {
        "role": mostly(good_names, names | json_values),
        "model": mostly(good_names, names | json_values),
        "actions": mostly(st.lists(good_actions, min_size=1, max_size=4), st.lists(actions | json_values, max_size=3)
                          | json_values),
    },
    optional={
        "readFields": mostly(st.lists(good_names, min_size=1, max_size=3), st.lists(scalars, max_size=3)
                             | json_values),
        "writeFields": mostly(st.lists(good_names, min_size=1, max_size=3), st.lists(scalars, max_size=3)
                              | json_values),
        "ownerOnly": json_values,
        "condition": mostly(st.dictionaries(field_names, scalars, max_size=3), st.dictionaries(names, json_values, max_size=3)
                            | json_values),
    },
)
# (None is left out: it removes the policy rather than installing one.)
policies = mostly(st.fixed_dictionaries(
    {},
    optional={
        "mode": mostly(st.sampled_from(["overlay", "enforce", None]), json_values),
        "roles": mostly(st.dictionaries(good_names, json_values, max_size=3), st.dictionaries(names, json_values)
                        | json_values),
        "grants": mostly(st.lists(grants, max_size=4), json_values),
    },
), json_values.filter(lambda v: v is not None))

PROBE = {"role": "prober", "model": "Post", "actions": ["read"], "condition": {"probe-marker": 1}}
PROBE_CTX = {"userId": "p", "role": "prober"}


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(policy=policies)
def test_set_rbac_fuzz_installs_whole_or_fails_cleanly(blog, policy):
    blog.set_rbac({"grants": [PROBE]})
    try:
        blog.set_rbac(policy)
    except RuntimeError as e:
        assert any(t.fullmatch(str(e)) for t in TEMPLATES), str(e)
        # the previous policy is untouched
        assert blog.rbac_enabled() is True
        assert blog.rbac_row_condition("Post", "read", PROBE_CTX) == {"probe-marker": 1}
        assert blog.rbac_can("Post", "update", PROBE_CTX) is False
        return
    # installed: the probe grant is gone, and every query answers
    assert blog.rbac_enabled() is True
    assert blog.rbac_row_condition("Post", "read", PROBE_CTX) != {"probe-marker": 1}
    for ctx in (AUTHOR, MOD, PROBE_CTX, {"roles": ["", "名"]}):
        for action in ("read", "insert", "update", "remove"):
            assert blog.rbac_can("Post", action, ctx) in (True, False)
        for action in ("read", "update", "remove"):
            cond = blog.rbac_row_condition("Post", action, ctx)
            assert cond is None or isinstance(cond, dict)
        readable = blog.rbac_readable_fields("Post", ctx)
        assert readable is None or set(readable) <= set(blog.readable_fields("Post", ctx))
