#pragma once

#include <QMetaObject>
#include <QObject>

#include <mutex>
#include <utility>

namespace kvr::ui {

#if defined(__SANITIZE_THREAD__)
namespace detail {
// Qt hands a posted call to the receiver's thread through its own futexes, which ThreadSanitizer cannot see,
// so the call's data, made on a worker, would look unpublished. Under it the hand-over also passes this mutex:
// held while posting, taken before the call runs and before it is freed (also when a destroyed receiver
// discards it).
inline std::recursive_mutex handoffMutex;

template <typename F> struct Handed {
    F call;
    void operator()() const
    {
        {
            std::lock_guard lock(handoffMutex);
        }
        call();
    }
    ~Handed() { std::lock_guard lock(handoffMutex); }
};
} // namespace detail
#endif

// Queues call on receiver's thread from a worker thread; a receiver destroyed first discards it.
template <typename F> void postCall(QObject* receiver, F call)
{
#if defined(__SANITIZE_THREAD__)
    std::lock_guard lock(detail::handoffMutex);
    QMetaObject::invokeMethod(receiver, detail::Handed<F> { std::move(call) }, Qt::QueuedConnection);
#else
    QMetaObject::invokeMethod(receiver, std::move(call), Qt::QueuedConnection);
#endif
}

} // namespace kvr::ui
