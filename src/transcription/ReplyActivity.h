#pragma once

#include <QMetaObject>
#include <QNetworkReply>
#include <QObject>

#include <coroutine>
#include <memory>

namespace murmurly {

// co_await ReplyActivity(reply) suspends until more bytes arrive or the reply has finished
// (whichever comes first), so that an event stream can be read line by line as it arrives.
// Resumption is posted to the event loop rather than done inside the signal, so the coroutine
// never runs nested within Qt's network code. Await a named object, not a temporary: GCC 12
// has let a temporary awaiter die across the suspension, which turned the wait into a spin.
class ReplyActivity {
public:
    explicit ReplyActivity(QNetworkReply* reply)
        : m_reply(reply) {}

    bool await_ready() const noexcept { return m_reply->isFinished(); }

    void await_suspend(std::coroutine_handle<> handle) {
        // The context object owns the two connections; deleting it (from the queued call) drops
        // them all, and the flag keeps a second signal in between from resuming twice.
        auto* context = new QObject;
        auto fired = std::make_shared<bool>(false);
        auto resumeOnce = [context, handle, fired]() {
            if (*fired) {
                return;
            }
            *fired = true;
            QMetaObject::invokeMethod(
                context,
                [context, handle]() {
                    delete context;
                    handle.resume();
                },
                Qt::QueuedConnection);
        };
        QObject::connect(m_reply, &QIODevice::readyRead, context, resumeOnce);
        QObject::connect(m_reply, &QNetworkReply::finished, context, resumeOnce);
    }

    void await_resume() const noexcept {}

private:
    QNetworkReply* m_reply; // outlives the wait: owned by the call that awaits
};

} // namespace murmurly
