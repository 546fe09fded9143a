// Condition, sort and pipeline validation.
//
// Every host-supplied condition, sort and finished pipeline passes through
// here before it becomes a command. validate_condition walks the whole value
// (denied operators hide at any depth); the shape checks look only at the top
// level and inside logical groups, because that is where a key names a field
// path: operators below a field key are the field's own business. Members are
// visited in the object's key order, so the first error reported is stable.
#include "types/validate.hpp"

#include "command/text2query.hpp"
#include "error/core_error.hpp"

#include <array>
#include <string>

namespace kelvara::types {

namespace {

constexpr std::array<std::string_view, 3> kLogicalGroups = {"$and", "$or", "$nor"};
// Operators that run code on the database server.
constexpr std::array<std::string_view, 3> kDeniedOperators = {"$where", "$function", "$accumulator"};
// Stages with write side effects.
constexpr std::array<std::string_view, 2> kWriteStages = {"$out", "$merge"};

template <std::size_t N>
bool one_of(const std::array<std::string_view, N>& names, std::string_view key) {
    for (std::string_view n : names)
        if (n == key) return true;
    return false;
}

bool is_logical_group(std::string_view key) { return one_of(kLogicalGroups, key); }

bool is_relation(const schema::Schema& schema, std::string_view key) { return schema.relation(key) != nullptr; }

std::string in_quotes(std::string_view key) {
    std::string out;
    out.reserve(key.size() + 2);
    out.append(1, '"').append(key).append(1, '"');
    return out;
}

}  // namespace

const std::string* root_field_type(const schema::Schema& schema, std::string_view path) {
    const schema::FieldDef* f = schema.field(path.substr(0, path.find('.')));
    return f ? &f->type : nullptr;
}

void validate_condition(const Json& condition) {
    if (condition.is_array()) {
        for (const Json& element : condition) validate_condition(element);
        return;
    }
    if (!condition.is_object()) return;
    for (const auto& [key, value] : condition.get_ref<const JsonObject&>()) {
        if (is_logical_group(key) && value.is_array() && value.empty())
            throw CoreError(key + " 逻辑组为空：拒绝生成无条件的全表查询（请在组内提供至少一个条件）");
        if (one_of(kDeniedOperators, key))
            throw CoreError("条件包含被拒绝的操作符 " + key + "（服务端执行类，命中拒绝名单）：请改用结构化条件");
        validate_condition(value);
    }
}

void validate_condition_shape(const schema::Schema& schema, const Json& condition, bool text2query) {
    if (!condition.is_object()) return;
    for (const auto& [key, value] : condition.get_ref<const JsonObject&>()) {
        if (is_logical_group(key)) {
            if (value.is_array())
                for (const Json& element : value) validate_condition_shape(schema, element, text2query);
            continue;
        }
        if (key.starts_with('$') || is_relation(schema, key)) continue;
        const std::string* type = root_field_type(schema, key);
        if (!type) continue;
        const bool dotted = key.find('.') != std::string::npos;
        if (*type == "array") {
            // Array indexing means different things per backend: refused everywhere.
            if (dotted)
                throw CoreError("数组字段索引路径 " + in_quotes(key) +
                                " 不支持过滤条件（各后端数组索引语义不一致；请改用整值过滤或对象点号路径）");
            command::forbid_t2q_shape(text2query, "U1 数组字段条件", "数组字段 " + in_quotes(key) + " 不支持过滤条件（U1/D2）");
        } else if (*type == "object") {
            if (dotted)
                command::forbid_t2q_shape(text2query, "U3 对象点号路径条件",
                                          "对象点号路径 " + in_quotes(key) + " 不支持过滤条件（U3/D2）");
            else
                command::forbid_t2q_shape(text2query, "U2 对象字段条件",
                                          "对象字段 " + in_quotes(key) + " 不支持过滤条件（U2/D2）");
        }
    }
}

void validate_sort_shape(const schema::Schema& schema, const Json& sort, bool text2query) {
    if (!text2query || !sort.is_object()) return;  // the standard profile accepts every sort
    for (const auto& [key, _] : sort.get_ref<const JsonObject&>()) {
        if (key.find('.') == std::string::npos || is_relation(schema, key)) continue;
        const std::string* type = root_field_type(schema, key);
        if (type && *type == "object")
            command::forbid_t2q_shape(text2query, "U4 对象点号路径排序",
                                      "对象点号路径 " + in_quotes(key) + " 不支持排序（U4/D2）");
    }
}

void validate_pipeline_stages(const JsonArray& stages) {
    for (const Json& stage : stages) {
        if (stage.is_array()) {
            for (const Json& element : stage) validate_condition(element);
        } else if (stage.is_object()) {
            for (const auto& [key, value] : stage.get_ref<const JsonObject&>()) {
                if (one_of(kWriteStages, key))
                    throw CoreError("聚合阶段 " + key + "（写副作用）被拒绝：不允许在查询/聚合中写落盘");
                validate_condition(value);
            }
        }
    }
}

bool has_relation_predicate(const schema::Schema& schema, const Json& condition) {
    if (!condition.is_object()) return false;
    for (const auto& [key, value] : condition.get_ref<const JsonObject&>()) {
        if (is_logical_group(key)) {
            if (value.is_array())
                for (const Json& element : value)
                    if (has_relation_predicate(schema, element)) return true;
        } else if (key == "$not") {
            if (has_relation_predicate(schema, value)) return true;
        } else if (is_relation(schema, key)) {
            return true;
        }
    }
    return false;
}

}  // namespace kelvara::types
