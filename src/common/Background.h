#pragma once
// One job off the window thread, with its result handed back to the owner.
//
//   m_check = runInBackground(this, [login] { return checkSqlConnection(login); },
//                             [this](const SqlCheck &r) { finishSqlCheck(r); });
//
// work runs on a thread of its own; when it returns, the thread's finished
// signal reaches done on the context's thread (a queued call), with work's
// result. When the context is gone by then, done is dropped. The thread
// deletes itself after that; the owner keeps the returned pointer (a
// QPointer) to see whether the job runs and to wait for it before it goes
// itself (waitForBackground).

#include <QObject>
#include <QPointer>
#include <QThread>

#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace dozorix {

template <class Work, class Done>
QPointer<QThread> runInBackground(QObject *context, Work work, Done done)
{
    using Result = std::invoke_result_t<Work &>;
    QThread *thread = nullptr;
    if constexpr (std::is_void_v<Result>) {
        thread = QThread::create(std::move(work));
        QObject::connect(thread, &QThread::finished, context, std::move(done));
    } else {
        auto result = std::make_shared<std::optional<Result>>();
        thread = QThread::create([work = std::move(work), result]() mutable { result->emplace(work()); });
        QObject::connect(thread, &QThread::finished, context,
                         [result, done = std::move(done)]() mutable { done(std::move(**result)); });
    }
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
    return thread;
}

// Waits for a job of runInBackground that may still run (an owner's
// destructor); its done is not called any more once the owner is gone.
inline void waitForBackground(const QPointer<QThread> &thread)
{
    if (thread)
        thread->wait();
}

} // namespace dozorix
