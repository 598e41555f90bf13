#pragma once

#include "common/Error.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace murmurly {

// Thrown by an operation that stopped because its token was cancelled. Callers that cancel on
// purpose catch it and stay silent; it never reaches the user as a banner.
class OperationCancelled : public ErrorBase<OperationCancelled> {
public:
    QString description() const override { return QStringLiteral("The operation was cancelled."); }
};

// Cooperative cancellation shared between the one who cancels (the pipeline) and the work being
// cancelled (a transcription call, a live-preview loop). Copies share one state, so a token can be
// handed to a coroutine by value. Thread-safe: cancel() may come from any thread.
//
// Work that waits on something that will not notice the flag by itself (a pending network reply)
// registers a callback with onCancel(); the callback runs exactly once, on the thread that calls
// cancel(), or at once if the token was already cancelled. The callback must therefore not touch
// thread-affine objects directly: post to them instead (QMetaObject::invokeMethod with a context).
class CancellationToken {
public:
    using Callback = std::function<void()>;
    using CallbackId = std::uint64_t;

    CancellationToken()
        : m_state(std::make_shared<State>()) {}

    bool isCancelled() const {
        std::lock_guard lock(m_state->mutex);
        return m_state->cancelled;
    }

    void cancel() const {
        std::map<CallbackId, Callback> callbacks;
        {
            std::lock_guard lock(m_state->mutex);
            if (m_state->cancelled) {
                return;
            }
            m_state->cancelled = true;
            callbacks.swap(m_state->callbacks);
        }
        // Outside the lock, so that a callback may query or register on this very token.
        for (auto& [id, callback] : callbacks) {
            callback();
        }
    }

    void throwIfCancelled() const {
        if (isCancelled()) {
            throw OperationCancelled();
        }
    }

    // Returns an id for removeCallback(); 0 when the callback already ran because the token was
    // cancelled before.
    CallbackId onCancel(Callback callback) const {
        {
            std::lock_guard lock(m_state->mutex);
            if (!m_state->cancelled) {
                const CallbackId id = ++m_state->nextId;
                m_state->callbacks.emplace(id, std::move(callback));
                return id;
            }
        }
        callback();
        return 0;
    }

    void removeCallback(CallbackId id) const {
        std::lock_guard lock(m_state->mutex);
        m_state->callbacks.erase(id);
    }

    // Keeps a callback registered for the life of a scope (defined below).
    class Registration;

private:
    struct State {
        std::mutex mutex;
        bool cancelled = false;
        CallbackId nextId = 0;
        std::map<CallbackId, Callback> callbacks;
    };
    std::shared_ptr<State> m_state;
};

// Keeps a callback registered for the life of a scope: what was waiting is done once the scope
// ends, so a later cancel() must not reach it.
class CancellationToken::Registration {
public:
    Registration(const CancellationToken& token, Callback callback)
        : m_token(token)
        , m_id(token.onCancel(std::move(callback))) {}
    ~Registration() {
        if (m_id != 0) {
            m_token.removeCallback(m_id);
        }
    }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

private:
    CancellationToken m_token;
    CallbackId m_id;
};

} // namespace murmurly
