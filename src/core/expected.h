#pragma once

#include <QString>

#include <utility>
#include <variant>

/// A failure with the text the user reads (after "Error: " in a result row, or
/// after a fixed prefix in a status line).
struct Error {
    QString description;
};

namespace ExpectedDetail {
// What an empty Expected holds: generic awaiting helpers need one.
template<typename E> E noResult()
{
    return E {};
}
template<> inline Error noResult<Error>()
{
    return Error { QStringLiteral("No result") };
}
} // namespace ExpectedDetail

/// A value or an error (by default an Error; a store's saves fail with a
/// SaveError). The project's one way to report failures across coroutine
/// boundaries without exceptions.
template<typename T, typename E = Error> class Expected {
public:
    /// Empty: a failure without a value (needed by generic awaiting helpers).
    Expected()
        : m_data(std::in_place_index<1>, ExpectedDetail::noResult<E>())
    {
    }
    Expected(T value)
        : m_data(std::in_place_index<0>, std::move(value))
    {
    }
    Expected(E error)
        : m_data(std::in_place_index<1>, std::move(error))
    {
    }

    bool ok() const { return m_data.index() == 0; }
    explicit operator bool() const { return ok(); }

    const T &value() const & { return std::get<0>(m_data); }
    T &value() & { return std::get<0>(m_data); }
    T &&value() && { return std::get<0>(std::move(m_data)); }
    const T &operator*() const & { return value(); }
    const T *operator->() const { return &value(); }

    const E &error() const { return std::get<1>(m_data); }

private:
    std::variant<T, E> m_data;
};

template<typename E> class Expected<void, E> {
public:
    Expected() = default;
    Expected(E error)
        : m_error(std::move(error))
        , m_failed(true)
    {
    }

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    const E &error() const { return m_error; }

private:
    E m_error {};
    bool m_failed = false;
};
