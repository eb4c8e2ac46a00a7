#pragma once

#include <QString>

#include <utility>
#include <variant>

/// A failure with the text the user reads (after "Error: " in a result row, or
/// after a fixed prefix in a status line).
struct Error {
    QString description;
};

/// A value or an Error. The project's one way to report failures across
/// coroutine boundaries without exceptions.
template<typename T> class Expected {
public:
    /// Empty: a failure without a value (needed by generic awaiting helpers).
    Expected()
        : m_data(std::in_place_index<1>, Error { QStringLiteral("No result") })
    {
    }
    Expected(T value)
        : m_data(std::in_place_index<0>, std::move(value))
    {
    }
    Expected(Error error)
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

    const Error &error() const { return std::get<1>(m_data); }

private:
    std::variant<T, Error> m_data;
};

template<> class Expected<void> {
public:
    Expected() = default;
    Expected(Error error)
        : m_error(std::move(error))
        , m_failed(true)
    {
    }

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    const Error &error() const { return m_error; }

private:
    Error m_error;
    bool m_failed = false;
};
