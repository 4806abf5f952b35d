// Compares zq/tapi_posix.h with the SDK's tapi.h and tspi.h at compile time:
// every constant's value, every structure's size, alignment and field
// offsets, and the type of every field, typedef and entry point. Built by the
// mingw-w64 cross builds; any difference stops the build.
//
// Our header is included inside namespace ours, its macros are captured as
// constants and removed, and then the SDK headers are included at global
// scope. The per-declaration lines come from gen_conformance.awk.
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace zq_conformance {

// The SDK type that an ours:: structure or handle type stands for.
template <class T>
struct twin {
    using type = void;
};

template <class... T>
struct pack {};

// Parameters and result of a function type. The SDK's functions are stdcall
// on 32-bit Windows; our header targets systems without calling conventions.
template <class F>
struct signature;
template <class R, class... A>
struct signature<R(A...)> {
    using result = R;
    using params = pack<A...>;
};
#if defined(__i386__)
template <class R, class... A>
struct signature<R __attribute__((stdcall)) (A...)> {
    using result = R;
    using params = pack<A...>;
};
#endif

template <class O, class S>
consteval bool conforms();

template <class O, class S>
struct packs_conform : std::false_type {};
template <class... O, class... S>
requires(sizeof...(O) == sizeof...(S)) struct packs_conform<pack<O...>, pack<S...>>
    : std::bool_constant<(conforms<O, S>() && ...)> {
};

// Our type O has the shape of the SDK's type S: integers of the same size and
// signedness (WCHAR is char16_t here and wchar_t there, DWORD unsigned int
// here and unsigned long there), the same pointer, array and function
// structure, and structures and handles that are twins of each other.
template <class O, class S>
consteval bool conforms() {
    if constexpr (std::is_const_v<O> != std::is_const_v<S> ||
                  std::is_volatile_v<O> != std::is_volatile_v<S>) {
        return false;
    } else if constexpr (!std::is_same_v<O, std::remove_cv_t<O>>) {
        return conforms<std::remove_cv_t<O>, std::remove_cv_t<S>>();
    } else if constexpr (std::is_void_v<O> || std::is_void_v<S>) {
        return std::is_void_v<O> && std::is_void_v<S>;
    } else if constexpr (std::is_integral_v<O> && std::is_integral_v<S>) {
        return sizeof(O) == sizeof(S) && std::is_signed_v<O> == std::is_signed_v<S>;
    } else if constexpr (std::is_pointer_v<O> && std::is_pointer_v<S>) {
        return conforms<std::remove_pointer_t<O>, std::remove_pointer_t<S>>();
    } else if constexpr (std::is_array_v<O> && std::is_array_v<S>) {
        return std::extent_v<O> == std::extent_v<S> &&
               conforms<std::remove_extent_t<O>, std::remove_extent_t<S>>();
    } else if constexpr (std::is_function_v<O> && std::is_function_v<S>) {
        using Ours = signature<O>;
        using Sdk = signature<S>;
        return conforms<typename Ours::result, typename Sdk::result>() &&
               packs_conform<typename Ours::params, typename Sdk::params>::value;
    } else if constexpr (std::is_class_v<O> || std::is_union_v<O>) {
        return std::is_same_v<typename twin<O>::type, S>;
    } else {
        return false;
    }
}

// The same value with the same size and signedness.
template <class O, class S>
consteval bool same_constant(O ours, S sdk) {
    return std::is_integral_v<O> && std::is_integral_v<S> && sizeof(O) == sizeof(S) &&
           std::is_signed_v<O> == std::is_signed_v<S> && std::cmp_equal(ours, sdk);
}

}  // namespace zq_conformance

#define ZQ_CONFORMANCE_RENAME
#include "tapi_conformance_checks.inc"
#undef ZQ_CONFORMANCE_RENAME

// The visibility attribute of the entry points means nothing to PE targets.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
namespace ours {
#include "zq/tapi_posix.h"
namespace value {
#define ZQ_CONFORMANCE_CAPTURE
#include "tapi_conformance_checks.inc"
#undef ZQ_CONFORMANCE_CAPTURE
}  // namespace value
}  // namespace ours
#pragma GCC diagnostic pop

#define ZQ_CONFORMANCE_UNDEF
#include "tapi_conformance_checks.inc"
#undef ZQ_CONFORMANCE_UNDEF

// clang-format off
#include <windows.h>
#include <tapi.h>
#include <tspi.h>
// clang-format on

// Arguments used with ## or # are not macro-expanded, so "ours::value::v_##name"
// is our captured value while a plain "name" is the SDK's macro.
#define ZQ_TWIN(name)                         \
    template <>                               \
    struct zq_conformance::twin<ours::name> { \
        using type = ::name;                  \
    }
#define ZQ_CHECK_TYPEDEF(name) \
    static_assert(zq_conformance::conforms<ours::name, ::name>(), "typedef " #name " differs")
#define ZQ_CHECK_CONSTANT(name) \
    static_assert(zq_conformance::same_constant(ours::value::v_##name, name), #name " differs")
#define ZQ_CHECK_STRUCT(name)                                                         \
    static_assert(sizeof(ours::name) == sizeof(::name), "size of " #name " differs"); \
    static_assert(alignof(ours::name) == alignof(::name), "alignment of " #name " differs")
#define ZQ_CHECK_FIELD(name, field)                                                     \
    static_assert(offsetof(ours::name, field) == offsetof(::name, field),               \
                  "offset of " #name "::" #field " differs");                           \
    static_assert(zq_conformance::conforms<decltype(std::declval<ours::name&>().field), \
                                           decltype(std::declval<::name&>().field)>(),  \
                  "type of " #name "::" #field " differs")
// A member of unnamed structure or union type; its own fields are checked one by one.
#define ZQ_CHECK_AGGREGATE_FIELD(name, field)                                                         \
    static_assert(offsetof(ours::name, field) == offsetof(::name, field),                             \
                  "offset of " #name "::" #field " differs");                                         \
    static_assert(sizeof(std::declval<ours::name&>().field) == sizeof(std::declval<::name&>().field), \
                  "size of " #name "::" #field " differs")
#define ZQ_CHECK_FUNCTION(name)                                                              \
    static_assert(zq_conformance::conforms<decltype(ours::ours_##name), decltype(::name)>(), \
                  "entry point " #name " differs")

#define ZQ_CONFORMANCE_CHECK
#include "tapi_conformance_checks.inc"
#undef ZQ_CONFORMANCE_CHECK
