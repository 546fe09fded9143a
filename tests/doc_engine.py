"""The host side of the document-database protocol, over an in-process engine.

`DocEngine` runs what the planner returns on mongomock-ng: a find, an
aggregate, or a two-phase pair (run phase 1, substitute its ids for the
placeholder, run phase 2, restore the first phase's order). The planner's
commands are run exactly as returned; only the emulator is mended below.

Known faults of mongomock-ng, patched here and nowhere else:
- Let variables of a "$lookup" are lost when "$expr" sits inside a
  query-level "$and"/"$or"/"$nor": the emulator evaluates the logical group's
  members without the variables, so every join under an "$and" (the shape
  of a lookup "$match" with a condition or a row restriction) matches nothing.
  The patch evaluates logical groups itself and passes the variables on.
"""

import copy
from collections.abc import Mapping

import mongomock_ng
from mongomock_ng import filtering

import kelvara_py

_LOGICAL = {"$and": all, "$or": any, "$nor": lambda results: not any(results)}
_original_apply = filtering._Filterer.apply


def _apply_with_vars(self, search_filter, document, user_vars=None):
    if not user_vars or not isinstance(search_filter, Mapping) or not any(k in _LOGICAL for k in search_filter):
        return _original_apply(self, search_filter, document, user_vars)
    for key, search in search_filter.items():
        if key in _LOGICAL:
            if not _LOGICAL[key](_apply_with_vars(self, q, document, user_vars) for q in search):
                return False
        elif not _original_apply(self, {key: search}, document, user_vars):
            return False
    return True


filtering._Filterer.apply = _apply_with_vars

PHASE1_IDS = "{{phase1.ids}}"


def _substitute(value, ids):
    if value == PHASE1_IDS:
        return ids
    if isinstance(value, dict):
        return {k: _substitute(v, ids) for k, v in value.items()}
    if isinstance(value, list):
        return [_substitute(v, ids) for v in value]
    return value


class DocEngine:
    def __init__(self, registry: kelvara_py.Registry):
        self.registry = registry
        self.db = mongomock_ng.MongoClient().db

    def insert(self, collection, docs):
        self.db[collection].insert_many(copy.deepcopy(docs))

    def run_command(self, command):
        coll = self.db[command["collection"]]
        kind = command["kind"]
        if kind == "find":
            return list(coll.find(command["filter"], command["projection"]))
        if kind == "aggregate":
            return list(coll.aggregate(command["pipeline"]))
        if kind == "countDocuments":
            return coll.count_documents(command["filter"])
        raise AssertionError(f"unexpected command kind {kind}")

    def run_plan(self, plan):
        """The documents a query plan yields, as the host would fetch them."""
        commands = plan["commands"]
        if plan["mode"] != "two_phase":
            assert len(commands) == 1
            return self.run_command(commands[0])
        first, second = commands
        ids = [row["_id"] for row in self.run_command(first)]
        items = self.run_command({**second, "pipeline": _substitute(second["pipeline"], ids)})
        return self.registry.restore_sort_order(items, ids, plan["sort"])["items"]

    def query(self, gql, params=None, ctx=None):
        return self.run_plan(self.registry.plan_query(gql, params, ctx))
