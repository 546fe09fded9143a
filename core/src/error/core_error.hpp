// The core's one error type.
//
// Every core operation either returns its result or throws exactly one
// CoreError carrying the message the host sees. The binding catches it once
// and raises RuntimeError with the message unchanged. The kind is derived
// from the message alone and never chooses the Python exception.
#pragma once

#include <exception>
#include <string>

namespace kelvara {

class CoreError : public std::exception {
public:
    enum class Kind { Permission, NoContext, Other };

    explicit CoreError(std::string message);

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    Kind kind() const noexcept { return kind_; }

private:
    std::string message_;
    Kind kind_;
};

// Message prefixes the host may rely on.
inline constexpr std::string_view kErrPermission = "ERR_PERMISSION:";
inline constexpr std::string_view kErrNoContext = "ERR_NO_CONTEXT:";
inline constexpr std::string_view kErrGqlParse = "ERR_GQL_PARSE:";
inline constexpr std::string_view kErrText2Query = "ERR_TEXT2QUERY:";

// The require_context refusal, used both by the planners and for the kind.
inline constexpr std::string_view kNoContextMessage =
    "ERR_NO_CONTEXT:require_context 已开启，调用必须携带用户上下文（内部调用请传 {\"internal\": true}）";

// "ERR_PERMISSION:无访问权限", the generic read refusal.
inline constexpr std::string_view kNoAccess = "ERR_PERMISSION:无访问权限";

// An unreachable case: a bug in the core, never a default that looks valid.
[[noreturn]] void internal_error(std::string_view what);

}  // namespace kelvara
