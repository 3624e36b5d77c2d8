#pragma once

#include <QFuture>
#include <QObject>

#include <functional>

// Calls object->method(args...) in the thread object lives in and returns a future of its result:
// at once when that is the calling thread, otherwise through the object's event loop. The
// arguments are copied, so they outlive the caller's. Methods that return futures themselves
// give a future of a future; flatten it with QFuture::unwrap().
template <typename Object, typename Method, typename... Args>
auto runInOwnThread(Object *object, Method method, Args... args) {
    return QtFuture::makeReadyFuture().then(
        object, [object, method, args...]() { return std::invoke(method, object, args...); });
}
