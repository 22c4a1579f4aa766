#pragma once

// clang 14 with libstdc++ 12 leaves <expected> empty: the header wants a
// newer __cpp_concepts, and defining that macro by hand breaks <variant>.
// The fuzz build force-includes this small stand-in, which covers what the
// property-list module uses. With a compiler that has std::expected it does
// nothing.

#include <version>

#if !defined(__cpp_lib_expected)

#include <cstdlib>
#include <type_traits>
#include <utility>
#include <variant>

namespace std {

template <class E>
class unexpected {
public:
    template <class G = E>
        requires(!is_same_v<remove_cvref_t<G>, unexpected> && is_constructible_v<E, G>)
    constexpr explicit unexpected(G&& e) : e_(std::forward<G>(e)) {}
    constexpr E& error() & { return e_; }
    constexpr const E& error() const& { return e_; }
    constexpr E&& error() && { return std::move(e_); }

private:
    E e_;
};
template <class E>
unexpected(E) -> unexpected<E>;

template <class>
inline constexpr bool brisle_is_unexpected_v = false;
template <class E>
inline constexpr bool brisle_is_unexpected_v<unexpected<E>> = true;

template <class T, class E>
class expected {
public:
    using value_type = T;
    using error_type = E;

    constexpr expected()
        requires is_default_constructible_v<T>
        : v_(in_place_index<0>) {}
    template <class U = T>
        requires(!is_same_v<remove_cvref_t<U>, expected> && !brisle_is_unexpected_v<remove_cvref_t<U>> &&
                 !is_same_v<remove_cvref_t<U>, in_place_t> && is_constructible_v<T, U>)
    constexpr expected(U&& v) : v_(in_place_index<0>, std::forward<U>(v)) {}
    template <class G>
    constexpr expected(const unexpected<G>& u) : v_(in_place_index<1>, u.error()) {}
    template <class G>
    constexpr expected(unexpected<G>&& u) : v_(in_place_index<1>, std::move(u).error()) {}

    constexpr bool has_value() const noexcept { return v_.index() == 0; }
    constexpr explicit operator bool() const noexcept { return has_value(); }

    constexpr T& operator*() & { return *std::get_if<0>(&v_); }
    constexpr const T& operator*() const& { return *std::get_if<0>(&v_); }
    constexpr T&& operator*() && { return std::move(*std::get_if<0>(&v_)); }
    constexpr T* operator->() { return std::get_if<0>(&v_); }
    constexpr const T* operator->() const { return std::get_if<0>(&v_); }
    constexpr T& value() & { return has_value() ? **this : (std::abort(), **this); }
    constexpr const T& value() const& { return has_value() ? **this : (std::abort(), **this); }

    constexpr E& error() & { return *std::get_if<1>(&v_); }
    constexpr const E& error() const& { return *std::get_if<1>(&v_); }
    constexpr E&& error() && { return std::move(*std::get_if<1>(&v_)); }

private:
    variant<T, E> v_;
};

}  // namespace std

#endif
