// Count planning: a paged list together with the count of every row its
// pages are drawn from.
//
// Paging is normalised here: whatever the caller gave (page parameters or
// skip/limit parameters), the rows fetched are those from page × pageSize,
// at most pageSize of them, so that items, page and total always agree. The
// count filter carries the same owner and RBAC read restrictions as the items.
#pragma once

#include "command/query.hpp"

namespace kelvara::command::count {

struct CountQueryPlan {
    query::QueryPlan plan;
    Json count_command;
    query::Page page;

    // The QueryPlan object plus "countCommand", "page" and "pageSize".
    Json to_value() &&;
};

CountQueryPlan plan_query_with_count(std::string_view gql, Json params, const schema::Registry& registry,
                                     const permission::Context* ctx);

// (page + 1) × pageSize < total, from a plan's "page" and "pageSize".
bool has_more(const Json& plan, double total);

}  // namespace kelvara::command::count
