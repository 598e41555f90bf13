#pragma once

#include <QString>

#include <exception>
#include <memory>

namespace murmurly {

// Base of every error the system reports. Operations that "may fail" throw a subclass; each
// component's error type carries its fixed English description, which is what reaches the user
// (composed into the pipeline's banner texts).
class Error : public std::exception {
public:
    ~Error() override = default;
    virtual QString description() const = 0;
    // A heap copy of the concrete error, so that wrappers (such as the pipeline's error) can keep it.
    virtual std::shared_ptr<const Error> clone() const = 0;

    const char* what() const noexcept override {
        m_what = description().toUtf8();
        return m_what.constData();
    }

private:
    mutable QByteArray m_what;
};

// Helper for concrete errors: implements clone() once.
template <typename Derived>
class ErrorBase : public Error {
public:
    std::shared_ptr<const Error> clone() const override {
        return std::make_shared<Derived>(static_cast<const Derived&>(*this));
    }
};

// An error from the operating system or a library (file I/O, sound server, decoder) that carries
// only its message, like a platform error's localized description.
class SystemError : public ErrorBase<SystemError> {
public:
    explicit SystemError(QString message)
        : m_message(std::move(message)) {}
    QString description() const override { return m_message; }

private:
    QString m_message;
};

} // namespace murmurly
